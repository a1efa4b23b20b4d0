#include "sessions/udp_guard.h"

#include "net/local_address.h"

namespace pv {

bool IsOwnUdpEndpoint(const TParleyvoxServer& server, const sockaddr_in& endpoint) {
  // The port first: it rules out almost every datagram without a system call.
  return ntohs(endpoint.sin_port) == server.Config.UDPPort && IsLocalAddress(endpoint.sin_addr);
}

bool MaySpeakFor(const TParleyvoxServer& server, const TServerClient& session, const sockaddr_in& source) {
  if (!server.Config.UdpFollowsTcpAddress) return true;
  // An unknown control address (0) matches no source.
  return session.TcpAddress() != 0 && source.sin_addr.s_addr == session.TcpAddress();
}

}  // namespace pv
