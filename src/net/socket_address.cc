#include "net/socket_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/net_errors.h"

namespace pv {

bool ParseDottedIPv4(const std::string& text, in_addr& out) {
  return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

std::string DottedIPv4(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

sockaddr_in MakeSockAddr(in_addr address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr = address;
  result.sin_port = htons(port);
  return result;
}

in_addr ResolveHost(const std::string& host) {
  in_addr address{};
  if (ParseDottedIPv4(host, address)) return address;
  if (strcasecmp(host.c_str(), "LOCALHOST") == 0) {
    address.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  // The empty text is refused here: the resolver would otherwise quietly pick a local address.
  if (host.empty()) throw EIdSocketError(EHOSTUNREACH, "Host name is empty");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    int system_code = errno;
    // Resolver failures have codes of their own; the socket code says "host unreachable" and
    // the text says why.
    int code = (rc == EAI_SYSTEM && system_code != 0) ? system_code : EHOSTUNREACH;
    throw EIdSocketError(code, rc == EAI_SYSTEM ? SystemErrorText(code) : gai_strerror(rc));
  }
  sockaddr_in first{};
  std::memcpy(&first, found->ai_addr, sizeof first);
  freeaddrinfo(found);
  return first.sin_addr;
}

in_addr ResolveBindAddress(const std::string& ip) {
  if (ip.empty()) {
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    return any;
  }
  return ResolveHost(ip);
}

int OpenSocket(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) RaiseSocketError(errno);
  return fd;
}

void BindSocket(int fd, in_addr address, uint16_t port, bool reuse_address) {
  if (reuse_address) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) RaiseSocketError(errno);
  }
  sockaddr_in local = MakeSockAddr(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    RaiseSocketError(errno);
  }
}

uint16_t LocalPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) RaiseSocketError(errno);
  return PortOf(local);
}

void CloseSocket(int fd) noexcept {
  if (fd >= 0) close(fd);
}

}  // namespace pv
