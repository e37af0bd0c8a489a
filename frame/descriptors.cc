#include "frame/descriptors.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

namespace plim {

namespace {

// Closes [low, high]; close_range where the kernel has it (5.9), else the open ones one by one.
void CloseRange(int low, int high) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, low, high, 0) == 0) return;
#endif
  std::vector<int> open_fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (const struct dirent* entry = readdir(dir)) {
      const int fd = atoi(entry->d_name);
      if (fd >= low && fd <= high && fd != own) open_fds.push_back(fd);
    }
    closedir(dir);
  } else {
    struct rlimit limit;
    const int top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                        ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
                        : 1024;
    for (int fd = low; fd < top && fd <= high; ++fd) open_fds.push_back(fd);
  }
  for (int fd : open_fds) std::ignore = close(fd);
}

}  // namespace

void CloseDescriptorsExcept(std::vector<int> keep) {
  std::sort(keep.begin(), keep.end());
  int low = 3;
  for (int fd : keep) {
    if (fd < low) continue;
    if (fd > low) CloseRange(low, fd - 1);
    low = fd + 1;
  }
  CloseRange(low, ~0U >> 1);
}

}  // namespace plim
