#include "bench/harness.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

namespace bench {

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Fail(const std::string& what) {
  fprintf(stderr, "plimd_bench: %s: %s\n", what.c_str(), strerror(errno));
  exit(1);
}

pid_t Spawn(const std::vector<std::string>& argv, int out, int err) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(out >= 0 ? out : null, STDOUT_FILENO);
    dup2(err >= 0 ? err : null, STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Run(const std::vector<std::string>& argv, int out, int err) {
  return Wait(Spawn(argv, out, err));
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno != EINTR) break;
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  plim::ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() ? ReadAll(fd.get()) : std::string();
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
  plim::ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd.valid() || !plim::WriteAll(fd.get(), text)) Fail("cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  const std::string text = ReadFile(from);
  if (text.empty()) Fail("cannot read " + from);
  WriteFile(to, text, mode);
}

void MakeDirectories(const std::string& path) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    if (mkdir(path.substr(0, end).c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + path);
    if (end == std::string::npos) return;
  }
}

}  // namespace bench
