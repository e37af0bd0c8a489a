#include "ctl/udp_port.h"

#include <ctype.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "joblist/text_lines.h"

namespace plim {

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The names in the folder `path` that are numbers: PIDs or descriptors.
std::vector<std::string> NumberedEntries(const std::string& path, bool* readable) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  *readable = dir != nullptr;
  if (dir == nullptr) return names;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) names.push_back(name);
  }
  closedir(dir);
  return names;
}

// The inodes of the sockets that the process `pid` has open; `*readable` false when its
// descriptors cannot be read.
std::set<unsigned long long> SocketInodes(const std::string& proc, const std::string& pid,
                                          bool* readable) {
  std::set<unsigned long long> inodes;
  const std::string fds = proc + "/" + pid + "/fd";
  for (const std::string& fd : NumberedEntries(fds, readable)) {
    char target[64];
    const ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
    unsigned long long inode = 0;
    if (n > 0 && (target[n] = '\0', sscanf(target, "socket:[%llu]", &inode) == 1)) {
      inodes.insert(inode);
    }
  }
  return inodes;
}

// The sockets on `port` in the listener's network namespace, over IPv4 and IPv6.
std::vector<UdpSocket> SocketsOn(const std::string& proc, pid_t listener, unsigned short port) {
  std::vector<UdpSocket> found;
  for (const char* table : {"udp", "udp6"}) {
    std::string text = ReadText(proc + "/" + std::to_string(listener) + "/net/" + table);
    if (text.empty()) text = ReadText(proc + "/net/" + table);
    for (const UdpSocket& socket : ParseProcNetUdp(text)) {
      if (socket.port == port) found.push_back(socket);
    }
  }
  return found;
}

// Fills in the process that has the socket `inode` open, if one that can be seen has.
void FindProcess(const std::string& proc, unsigned long long inode, PortHolder* holder) {
  bool readable = false;
  for (const std::string& pid : NumberedEntries(proc, &readable)) {
    bool fds_readable = false;
    if (SocketInodes(proc, pid, &fds_readable).count(inode) == 0) continue;
    holder->pid = static_cast<pid_t>(atoi(pid.c_str()));
    holder->comm = ReadText(proc + "/" + pid + "/comm");
    if (!holder->comm.empty() && holder->comm.back() == '\n') holder->comm.pop_back();
    return;
  }
}

}  // namespace

std::vector<UdpSocket> ParseProcNetUdp(const std::string& text) {
  std::vector<UdpSocket> sockets;
  std::string_view lines = text;
  for (std::string_view view; TakeLine(&lines, &view);) {
    const std::string line(view);
    char local[64];
    unsigned port = 0;
    unsigned long uid = 0;
    unsigned long long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (sscanf(line.c_str(), " %*[0-9]: %63s %*s %*s %*s %*s %*s %lu %*s %llu", local, &uid,
               &inode) != 3) {
      continue;
    }
    const char* colon = strrchr(local, ':');
    if (colon == nullptr || sscanf(colon + 1, "%x", &port) != 1 || port > 0xffff) continue;
    sockets.push_back({static_cast<unsigned short>(port), static_cast<uid_t>(uid), inode});
  }
  return sockets;
}

PortHolder CheckListenerPort(pid_t listener, unsigned short port, const std::string& proc) {
  PortHolder holder;
  bool readable = false;
  const std::set<unsigned long long> own = SocketInodes(proc, std::to_string(listener), &readable);
  const std::vector<UdpSocket> on_port = SocketsOn(proc, listener, port);
  const auto listeners = [&](const UdpSocket& s) {
    return readable ? own.count(s.inode) != 0 : s.uid == 0;
  };
  holder.waiting = std::none_of(on_port.begin(), on_port.end(), listeners);
  if (!holder.waiting) return holder;
  for (const UdpSocket& socket : on_port) {
    holder.uid_known = true;
    holder.uid = socket.uid;
    FindProcess(proc, socket.inode, &holder);
    if (holder.pid != 0) break;
  }
  return holder;
}

}  // namespace plim
