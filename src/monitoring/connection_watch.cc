#include "monitoring/connection_watch.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "base/printf.h"

namespace pv {

namespace {

uint16_t PortOf(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return 0;
}

// "fd/peer-port/peer-address-bytes": enough to tell two connections on one descriptor apart.
std::string ConnectionKey(int fd, const sockaddr_storage& peer, socklen_t length) {
  std::string key = Printf("%d/%u/", fd, static_cast<unsigned>(PortOf(peer)));
  key.append(reinterpret_cast<const char*>(&peer), length);
  return key;
}

struct Connection {
  int fd;
  std::string key;
};

// The process's connected TCP sockets whose local port is `port` (the listener itself has no
// peer and is left out).
std::vector<Connection> ConnectionsOnPort(uint16_t port) {
  std::vector<Connection> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return out;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t local_length = sizeof local, peer_length = sizeof peer;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &local_length) != 0) continue;
    if (PortOf(local) != port) continue;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) continue;
    out.push_back(Connection{static_cast<int>(fd), ConnectionKey(static_cast<int>(fd), peer, peer_length)});
  }
  ::closedir(dir);
  return out;
}

}  // namespace

int ConnectionWatch::Sweep(std::chrono::steady_clock::duration limit) {
  const auto now = std::chrono::steady_clock::now();
  std::map<std::string, std::chrono::steady_clock::time_point> seen;
  int shut = 0;
  for (const Connection& c : ConnectionsOnPort(port_)) {
    auto known = first_seen_.find(c.key);
    auto since = known == first_seen_.end() ? now : known->second;
    seen[c.key] = since;
    if (now - since >= limit) {
      // Wakes the worker blocked on it; the library closes the descriptor when it returns.
      ::shutdown(c.fd, SHUT_RDWR);
      ++shut;
    }
  }
  first_seen_ = std::move(seen);
  return shut;
}

}  // namespace pv
