// Ping supervision as clients meet it, with short timings: 300 ms of silence before a ping, and
// 400 ms of wait for its answer. How an answer keeps a client (the server's own ping echoed back
// counts as one) is tests/unit/ping_supervision_test.cc's and tests/unit/udp_test.cc's.
#include "support/server_test.h"

namespace pv::test {
namespace {

class Supervision : public ServerTest {
 protected:
  // The next ping of the server's own (kind 1, value 200), skipping the answers to the
  // client's pings.
  std::optional<Bytes> NextServerPing(Ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (int i = 0; i < 100 && std::chrono::steady_clock::now() < end; ++i) {
      auto got = udp_.Receive(std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()));
      if (!got) return std::nullopt;
      if (got->size() == 12 && (*got)[0] == 0xBB && (*got)[1] == 0xAA && (*got)[6] == 1 && (*got)[7] == 200) return got;
    }
    return std::nullopt;
  }

  TestUdp udp_;
};

TEST_F(Supervision, ASilentClientIsPingedFromTheServerPortAndAfterMaxPingTriesPlusOnePingsTold) {
  constexpr int kMaxTries = 1;
  StartServer({{"Ping", {{"IdleTimeBeforePing", "300"}, {"PingWaitTime", "400"},
                         {"MaxPingTries", std::to_string(kMaxTries)}}}});
  TestClient& quiet = Client("quiet");
  // One datagram from the client's UDP socket (a client ping, which the server answers) tells
  // the server where the client is.
  ASSERT_TRUE(udp_.SendTo(static_cast<uint16_t>(server_->UdpPort()), PingDatagram(quiet.SessionId(), 1, 3)));
  ASSERT_TRUE(NextServerPing(Ms(3000)));
  EXPECT_EQ(udp_.LastSourcePort(), server_->UdpPort());
  // The PlayerLeft's bytes (reason 2, in the session's own header): PingSessions in
  // tests/unit/ping_supervision_test.cc.
  ASSERT_TRUE(quiet.WaitFor(LeftOf(quiet.PlayerId()), Ms(5000), "PlayerLeft for itself"));
  // Every ping came before the give-up (they wait in the socket already), and none follows it:
  // the window spans three sweeps of 500 ms, in which a client still supervised would be pinged.
  int pings = 1;
  while (pings < 10 && NextServerPing(Ms(1500))) ++pings;
  EXPECT_EQ(pings, kMaxTries + 1);
  // The connection stays open (the session stays listed: PingSessions in the unit tests).
  EXPECT_FALSE(quiet.IsClosedByServer(Ms(100)));
}

}  // namespace
}  // namespace pv::test
