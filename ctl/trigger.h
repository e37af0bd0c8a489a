// The trigger datagram that asks the service to work through its queue.
#ifndef PLIMD_CTL_TRIGGER_H_
#define PLIMD_CTL_TRIGGER_H_

namespace plim {

enum class TriggerResult {
  kSent,           // on its way; UDP says no more
  kNobodyListens,  // the loopback answered that no socket is bound to the port
  kFailed,         // the datagram could not be sent; errno tells why
};

// Sends one datagram "1" to `port` on 127.0.0.1.
TriggerResult SendTrigger(unsigned short port);

}  // namespace plim

#endif  // PLIMD_CTL_TRIGGER_H_
