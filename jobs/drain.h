// The drain: finishing a job left unfinished, then taking the queue's entries one at a time.
#ifndef PLIMD_JOBS_DRAIN_H_
#define PLIMD_JOBS_DRAIN_H_

namespace plim {

// Once in each worker, before its first drain: removes what a crash during a rewrite may have
// left behind, and forgets what an earlier worker, whose memory a new one can be forked with,
// knew of a finished job and held open.
void Recover();

// Runs the job named in the in-progress file, if any, then one job per queue entry until the
// queue holds none or cannot be taken from. Only one worker runs: the service's instance lock
// (kInstanceLock) keeps a second one from starting.
// Before each job, the settings file is read; after it, its record is appended to the history
// and the settings' hook is run. Starts no job while the pause mark exists.
// When NothingToDrain, returns at once without a lock or a read. When the
// in-progress file cannot be emptied after a job, ends with a message on stderr; the next call
// empties it without running that job again (see ForgetFiles).
// Stops short, and leaves the names where they are, when the queue could not be taken from
// (Get's message) or the in-progress file could not be emptied.
// Stops short, with a message on stderr, and leaves the names where they are when the work
// folder cannot be made safe (checked before a name leaves the queue), or when a job's history
// record or done list cannot be written: that job stays in the in-progress file and runs again
// at the next call.
// First carries over what producers have written since into replaced queue files that a
// writer held open when they were replaced (CarryOrKeepLateAppends). A queue line longer than
// kLongestLine is taken off unread with a message on stderr and a history record of its own
// (outcome "failed", its first bytes as the name, the reason as "error").
void Start();

// The mount table changed: the job files may be on another disk, or on none, or writable again.
// Forgets what was known of them (replaced queue files no longer on the files' file system, and
// a finished job whose name could not be taken out of the in-progress file, unless the files
// are still on the same file system), so that the next Start looks at them afresh.
void ForgetFiles();

// The last Start stopped short for something that may mend by itself; the worker calls it again
// later. False while the job files' folder is missing: a mount of the disk brings the next drain.
bool StoppedShort();

// Whether a replaced queue file is kept because a writer still holds it: lines may then come
// through it, carried over only by the next drain, so every trigger must reach the worker.
bool AwaitsLateLines();

// The queue file exists empty and the in-progress file is empty or absent: a trigger would
// find nothing to do. Two stats, without a lock or a read. A producer appends before it
// triggers, so a name queued before the trigger is never missed.
bool NothingToDrain();

}  // namespace plim

#endif  // PLIMD_JOBS_DRAIN_H_
