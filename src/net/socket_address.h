// IPv4 addresses and sockets as the transport opens them. Every failure raises EIdSocketError.
// Thread rules: none (plain functions; the look-up is safe from any thread).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace pv {

// True when `text` is a dotted IPv4 address ("10.0.0.1"); stores it in `out`.
bool ParseDottedIPv4(const std::string& text, in_addr& out);
// "a.b.c.d" of an address.
std::string DottedIPv4(const in_addr& address);
sockaddr_in MakeSockAddr(in_addr address, uint16_t port);
inline uint16_t PortOf(const sockaddr_in& address) { return ntohs(address.sin_port); }

// The address of a host as datagrams are sent to it: a dotted address is used as it is;
// "LOCALHOST" in any letter case is 127.0.0.1; any other text, the empty one included, is
// looked up, and a failed look-up raises EIdSocketError.
in_addr ResolveHost(const std::string& host);
// The local address of a binding: empty means every local interface, anything else as above.
in_addr ResolveBindAddress(const std::string& ip);

// Where a listener binds: an address (empty: every local interface, else as ResolveBindAddress
// takes it) and a port (0: one the system chooses).
struct BindAddress {
  std::string ip;
  uint16_t port = 0;
};

// A new IPv4 socket of `type` (SOCK_STREAM or SOCK_DGRAM), closed on exec.
int OpenSocket(int type);
// Binds `fd` to the address and port; `reuse_address` sets SO_REUSEADDR first.
void BindSocket(int fd, in_addr address, uint16_t port, bool reuse_address);
// The local port a socket is bound to (the chosen one after binding to port 0).
uint16_t LocalPort(int fd);
// Closes a descriptor, retrying nothing (a close interrupted by a signal has still closed it).
void CloseSocket(int fd) noexcept;

}  // namespace pv
