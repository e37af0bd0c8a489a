// Waiting for an exclusive flock, and telling who holds it when the wait grows long.
#ifndef PLIMD_JOBLIST_LOCK_WAIT_H_
#define PLIMD_JOBLIST_LOCK_WAIT_H_

namespace plim {

// Seconds of waiting for a lock before WaitForLock says who holds it.
inline constexpr unsigned kLockPatience = 10;

// Takes an exclusive flock on `fd`, waiting for as long as another process holds it. Once the
// wait has lasted kLockPatience seconds, says on stderr, once, which process holds the lock on
// `path`, and goes on waiting. A flock that fails for any other reason than the lock being held
// leaves `fd` unlocked.
void WaitForLock(int fd, const char* path);

// Seconds the service waits for the folder lock before it goes on without it.
inline constexpr unsigned kServiceLockPatience = 3;

// WaitForLock for at most `seconds`: then says on stderr which process holds the lock on `path`
// and returns without it.
void WaitForLockAtMost(int fd, const char* path, unsigned seconds);

}  // namespace plim

#endif  // PLIMD_JOBLIST_LOCK_WAIT_H_
