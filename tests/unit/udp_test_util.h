// An in-process server for the UDP paths: no threads, no listeners, sessions made by hand.
// UDPRead is fed datagrams as the listener thread feeds them (bytes, source and whether they came alone),
// and ProcessUDPList is run directly, sending from the harness's own bound socket. Clients are
// TestUdp sockets on 127.0.0.1. The event log goes to a file of the harness's own.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/server.h"
#include "net/socket_handle.h"
#include "net/tcp_server.h"
#include "session_fixture.h"
#include "sessions/udp_read.h"
#include "sessions/udp_sender.h"
#include "support/test_udp.h"

namespace pv::testing {

using Bytes = std::vector<uint8_t>;

inline sockaddr_in Addr(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  a.sin_port = htons(port);
  return a;
}

class UdpHarness {
 public:
  UdpHarness() : binding_("127.0.0.1", 0) { binding_.Open(); }

  // A logged-in session in ClientList. Its connection is a closed one from 127.0.0.1 (where the
  // harness's datagrams come from): nothing here writes to it.
  SessionPtr AddSession(uint16_t session_id, uint8_t player_index, int32_t room_index = 0,
                        const std::string& name = "") {
    auto connection = std::make_shared<TIdTCPConnection>(-1, "127.0.0.1");
    peers_.push_back(std::make_shared<TIdPeerThread>(nullptr, connection));
    auto session = std::make_shared<TServerClient>(server, peers_.back());
    session->SessionId = session_id;
    session->PlayerIndex = player_index;
    session->RoomIndex = room_index;
    session->ClientName = name.empty() ? "p" + std::to_string(player_index + 1) : name;
    Locked(server.ClientList)->push_back(session);
    return session;
  }
  // Removed and destroyed, as the server ends a session.
  void RemoveSession(const SessionPtr& session) {
    std::erase(*Locked(server.ClientList), session);
    session->Destroy();
  }
  // The session's UDP endpoint is `udp`, as if it had sent a datagram from there.
  static void Attach(TServerClient& session, const test::TestUdp& udp) {
    session.SetUdpEndpoint(htonl(INADDR_LOOPBACK), udp.Port());
  }

  // Hands `bytes` to UDPRead as received from 127.0.0.1:from_port. The bytes are copied into a
  // buffer of exactly their size, so a read past the end shows under AddressSanitizer.
  void Deliver(const Bytes& bytes, uint16_t from_port) { DeliverFrom(bytes, Addr("127.0.0.1", from_port)); }
  // The same from any source address.
  void DeliverFrom(const Bytes& bytes, const sockaddr_in& from) {
    auto exact = std::make_unique<uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    std::copy(bytes.begin(), bytes.end(), exact.get());
    UDPRead(server, nullptr, TIdReceivedDatagram{exact.get(), bytes.size(), from, false}, binding_);
  }
  void Drain() { ProcessUDPList(server, &binding_); }
  size_t Queued() { return Locked(server.UdpSendList)->size(); }
  Bytes QueuedAt(size_t i) { return Locked(server.UdpSendList)->at(i).bytes; }
  uint16_t Port() const { return binding_.Port(); }
  TIdSocketHandle& Binding() { return binding_; }

  size_t LogCount(const std::string& line) const {
    std::string text = log_.Text();
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  }

  TParleyvoxServer server;

 private:
  test::LogCapture log_;
  TIdSocketHandle binding_;
  std::vector<std::shared_ptr<TIdPeerThread>> peers_;
};

}  // namespace pv::testing
