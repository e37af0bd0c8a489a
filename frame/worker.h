// The worker process: drains the queue at start and again for every trigger byte "1".
#ifndef PLIMD_FRAME_WORKER_H_
#define PLIMD_FRAME_WORKER_H_

namespace plim {

// Drains the queue once, then reads trigger bytes from `pipe_read` one at a time and drains
// again for each "1"; triggers that arrive during a drain wait in the pipe and are not merged.
// Returns only if the pipe fails, which holding its write end too should rule out.
void rpcread(int& pipe_read);

}  // namespace plim

#endif  // PLIMD_FRAME_WORKER_H_
