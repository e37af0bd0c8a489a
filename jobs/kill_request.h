// An operator's request to end the job in progress (plimctl kill): the job's name in a file of
// root's under /run, and the signal kKillSignal to the worker, which takes it through the same
// descriptor as SIGCHLD while a program runs and otherwise leaves it pending. The worker compares
// the name with the job it runs when it acts, so a request that comes late cannot end the next
// job.
#ifndef PLIMD_JOBS_KILL_REQUEST_H_
#define PLIMD_JOBS_KILL_REQUEST_H_

#include <signal.h>

#include <string>

namespace plim {

inline constexpr int kKillSignal = SIGUSR1;

// Replaces the request file `path` (through a rename) by one that names `name`, the caller's
// alone (mode 0600). On failure returns false with errno set.
bool WriteKillRequest(const std::string& path, const std::string& name);

// Whether the file `path` asks to end the job `name`: a regular file, not a link, of the
// caller's own user that no one else can write, holding exactly the name.
bool KillRequestNames(const std::string& path, const std::string& name);

// From now on, kKillSignal may end the job `raw` (as queued); removes a request left from before.
void AcceptKillRequests(const std::string& raw);

// The job has ended: no request can end anything until the next AcceptKillRequests. Removes the
// request, which has been acted upon or came too late.
void RefuseKillRequests();

// Whether the request file names the job that AcceptKillRequests named; false between jobs.
bool KillRequested();

}  // namespace plim

#endif  // PLIMD_JOBS_KILL_REQUEST_H_
