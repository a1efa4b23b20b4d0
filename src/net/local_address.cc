#include "net/local_address.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket_address.h"

namespace pv {

bool IsLoopbackAddress(in_addr address) { return (ntohl(address.s_addr) >> 24) == 127; }

bool IsLocalHostAddress(in_addr address) { return ntohl(address.s_addr) == INADDR_LOOPBACK; }

uint32_t IPv4OrZero(const std::string& dotted) {
  in_addr address{};
  return ParseDottedIPv4(dotted, address) ? address.s_addr : 0;
}

bool IsLocalAddress(in_addr address) {
  if (address.s_addr == htonl(INADDR_ANY) || IsLoopbackAddress(address)) return true;
  // The kernel knows the host's addresses as they are now: binding to one it does not hold
  // fails with EADDRNOTAVAIL. Port 0 leaves every port free.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Without a socket the answer is unknown; taken as local, so a doubtful datagram is dropped
  // rather than let through to loop.
  if (fd < 0) return true;
  sockaddr_in probe{};
  probe.sin_family = AF_INET;
  probe.sin_addr = address;
  probe.sin_port = 0;
  bool local = ::bind(fd, reinterpret_cast<const sockaddr*>(&probe), sizeof probe) == 0 || errno != EADDRNOTAVAIL;
  ::close(fd);
  return local;
}

}  // namespace pv
