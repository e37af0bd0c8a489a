// The worker process: drains the queue at start and again for every trigger byte "1", and starts
// a new listener when its listener ends.
#ifndef PLIMD_FRAME_WORKER_H_
#define PLIMD_FRAME_WORKER_H_

namespace plim {

// Finishes the job a dead worker left (Recover, then a drain), then reads trigger bytes from
// `pipe_read` and drains once for each "1"; triggers that arrive during a drain wait in the pipe
// and are not merged. A drain that stopped short for something that may mend by itself (see
// StoppedShort) is tried again 10 s later, then after pauses doubling up to five minutes, until
// one succeeds; a trigger tries again at once. When the pipe hangs up, the listener has ended:
// the worker drains for the triggers it left in the pipe and starts a new one on a fresh pipe,
// also in the middle of a job. Never returns.
void RunWorker(int pipe_read);

}  // namespace plim

#endif  // PLIMD_FRAME_WORKER_H_
