#include "monitoring/connection_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace pv {

namespace {

uint16_t PortOf(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return 0;
}

// The inode of a socket, 0 for anything else.
ino_t SocketInode(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  return st.st_ino;
}

enum class Kind { kConnection, kOther, kUnknown };

// A TCP socket connected on local port `port` is a connection; any other socket (UDP, another
// port, the listener) is something else for good; one on the port whose peer is gone already (reset)
// is left for the library.
Kind KindOf(int fd, uint16_t port) {
  sockaddr_storage local{}, peer{};
  socklen_t local_length = sizeof local, peer_length = sizeof peer;
  int type = 0;
  socklen_t type_size = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_size) != 0) return Kind::kUnknown;
  if (type != SOCK_STREAM) return Kind::kOther;  // UDP ports are numbered apart from TCP's
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0) return Kind::kUnknown;
  if (PortOf(local) != port) return Kind::kOther;
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0) return Kind::kOther;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) return Kind::kUnknown;
  return Kind::kConnection;
}

// What the peer has sent on the connection, as the kernel counts it (received, read or not).
uint64_t BytesReceived(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return 0;
  // Older kernels fill less of the record; the count is then unknown.
  if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return 0;
  return info.tcpi_bytes_received;
}

// The descriptors of the process, but `skip` (the watch's own copies).
std::set<int> OpenDescriptors(const std::set<int>& skip) {
  std::set<int> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return out;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
    if (skip.count(static_cast<int>(fd)) == 0) out.insert(static_cast<int>(fd));
  }
  ::closedir(dir);
  return out;
}

}  // namespace

// ThreadSanitizer takes each descriptor for a memory cell that accept() and close() write and
// fstat(), dup() and shutdown() read, so the watch's look at descriptors other threads opened
// (a player's connection, an HTTP connection the library accepted) would be reported as a race.
// The kernel orders these calls, and the watch never uses a number past the copy it took, so
// those reports (and only those with the sweep in a stack) are left out.
#if !defined(__has_feature)
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
extern "C" const char* __tsan_default_suppressions() { return "race:pv::ConnectionWatch::Sweep\n"; }
#endif

ConnectionWatch::~ConnectionWatch() {
  for (const auto& [inode, connection] : watched_) ::close(connection.copy);
}

int ConnectionWatch::Sweep(std::chrono::steady_clock::duration limit) {
  const auto now = std::chrono::steady_clock::now();
  std::set<int> copies;
  for (const auto& [inode, connection] : watched_) copies.insert(connection.copy);
  // The connections the library still holds a descriptor of, and the other sockets still open.
  std::set<ino_t> live, others;
  for (int fd : OpenDescriptors(copies)) {
    const ino_t inode = SocketInode(fd);
    if (inode == 0) continue;
    if (others_.count(inode) != 0) {
      others.insert(inode);
      continue;
    }
    if (watched_.count(inode) != 0) {
      live.insert(inode);
      continue;
    }
    const Kind kind = KindOf(fd, port_);
    if (kind == Kind::kOther) others.insert(inode);
    if (kind != Kind::kConnection) continue;
    live.insert(inode);
    // The number may name another socket by now: the copy is kept only when it is the one
    // looked at (socket inodes are not reused while the socket lives).
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) continue;
    if (SocketInode(copy) != inode) {
      ::close(copy);
      continue;
    }
    watched_[inode] = Connection{copy, now};
  }
  others_ = std::move(others);
  int shut = 0;
  for (auto it = watched_.begin(); it != watched_.end();) {
    if (live.count(it->first) == 0) {
      // The library has closed its descriptor: the connection is over.
      ::close(it->second.copy);
      it = watched_.erase(it);
      continue;
    }
    if (now - it->second.first_seen >= limit || BytesReceived(it->second.copy) > max_bytes_) {
      // Wakes the worker blocked on it; the library closes its descriptor when it returns.
      ::shutdown(it->second.copy, SHUT_RDWR);
      ++shut;
    }
    ++it;
  }
  return shut;
}

}  // namespace pv
