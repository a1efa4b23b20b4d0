// Who may speak for a session: UDPRead fed datagrams from the client's own address, from other
// addresses and from the server's own endpoint, with the address check on and off; and the
// relay, which never sends to the server's own endpoint.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "sessions/datagrams.h"
#include "udp_test_util.h"

namespace pv {
namespace {

using test::PingDatagram;
using test::RelayDatagram;
using testing::Addr;
using testing::Bytes;
using testing::UdpHarness;

struct SourceCase {
  const char* name;
  const char* ip;
  int port;  // -1: the server's own UDP port
  bool follow_tcp_address;
  bool taken;
  uint64_t wrong_source;
  uint64_t own_endpoint;
};

class UdpSource : public ::testing::TestWithParam<SourceCase> {};

// The session's control connection comes from 127.0.0.1 (the harness's sessions do).
TEST_P(UdpSource, OnlyTheControlAddressSpeaksForTheSession) {
  const SourceCase& c = GetParam();
  UdpHarness h;
  h.server.Config.UdpFollowsTcpAddress = c.follow_tcp_address;
  SessionPtr a = h.AddSession(101, 0);
  SessionPtr b = h.AddSession(202, 1);
  b->SetUdpEndpoint(htonl(INADDR_LOOPBACK), 40000);
  const uint16_t port = c.port < 0 ? static_cast<uint16_t>(h.server.Config.UDPPort) : static_cast<uint16_t>(c.port);
  const sockaddr_in from = Addr(c.ip, port);
  h.DeliverFrom(RelayDatagram(101, 1, {1, 2, 3}), from);
  h.DeliverFrom(PingDatagram(101, kPingKindPing, 1), from);
  if (c.taken) {
    EXPECT_EQ(a->UdpEndpoint(), (static_cast<uint64_t>(from.sin_addr.s_addr) << 16) | port);
    EXPECT_EQ(a->Traffic.UdpPacketsIn, 2u);
    EXPECT_EQ(h.Queued(), 1u);
    // The ping was answered (a remote test address may have no route: nothing to count then).
    if (std::string(c.ip).rfind("127.", 0) == 0) {
      EXPECT_EQ(h.server.Traffic.UdpPacketsOut, 1u);
    }
  } else {
    // Nothing at all happened for the session: no endpoint, no count, no relay, no answer.
    EXPECT_EQ(a->UdpEndpoint(), 0u);
    EXPECT_EQ(a->Traffic.UdpPacketsIn, 0u);
    EXPECT_EQ(a->LastPacketId, 0u);
    EXPECT_EQ(h.Queued(), 0u);
    EXPECT_EQ(h.server.Traffic.UdpPacketsOut, 0u);
  }
  // Every datagram still counts for the server.
  EXPECT_EQ(h.server.Traffic.UdpPacketsIn, 2u);
  EXPECT_EQ(h.server.Metrics.DroppedWrongSourceAddress, c.wrong_source);
  EXPECT_EQ(h.server.Metrics.DroppedOwnEndpoint, c.own_endpoint);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, UdpSource,
    ::testing::Values(SourceCase{"SameAddressAnyPort", "127.0.0.1", 50123, true, true, 0, 0},
                      SourceCase{"OtherLoopbackAddress", "127.0.0.2", 50123, true, false, 2, 0},
                      SourceCase{"RemoteAddress", "192.0.2.7", 50123, true, false, 2, 0},
                      SourceCase{"OtherAddressCheckOff", "127.0.0.2", 50123, false, true, 0, 0},
                      SourceCase{"OwnEndpoint", "127.0.0.1", -1, true, false, 0, 2},
                      SourceCase{"OwnPortOnOtherLocalAddress", "127.0.0.9", -1, false, false, 0, 2},
                      SourceCase{"OwnPortUnspecifiedAddress", "0.0.0.0", -1, false, false, 0, 2},
                      SourceCase{"OwnPortOnRemoteHost", "192.0.2.7", -1, false, true, 0, 0}),
    [](const ::testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

TEST(UdpGuard, RelayNeverSendsToTheServersOwnEndpoint) {
  UdpHarness h;
  test::TestUdp listener;
  ASSERT_TRUE(listener.Ok());
  // The harness's own socket stands for the server's endpoint.
  h.server.Config.UDPPort = h.Port();
  SessionPtr a = h.AddSession(101, 0);
  SessionPtr own = h.AddSession(202, 1);
  SessionPtr c = h.AddSession(303, 2);
  UdpHarness::Attach(*a, listener);
  own->SetUdpEndpoint(htonl(INADDR_LOOPBACK), h.Port());
  UdpHarness::Attach(*c, listener);
  Locked(h.server.UdpSendList)->push_back(QueuedDatagram{a, RelayDatagram(101, 1, {9})});
  h.Drain();
  EXPECT_EQ(own->Traffic.UdpPacketsOut, 0u);
  EXPECT_EQ(c->Traffic.UdpPacketsOut, 1u);
  // The other room mate still gets its copy.
  EXPECT_TRUE(listener.Receive(std::chrono::milliseconds(3000)).has_value());
}

}  // namespace
}  // namespace pv
