// Ping supervision as clients meet it, with short timings: 300 ms of silence before a ping, and
// 400 ms of wait for its answer unless a test needs longer.
#include "support/server_test.h"

namespace pv::test {
namespace {

constexpr Ms kFirstPingWait{3000};

class Supervision : public ServerTest {
 protected:
  // A server that pings after 300 ms of silence and waits `wait` ms for the answer, and a client
  // it may ping: one datagram from the client's UDP socket (a client ping, which the server
  // answers) tells the server where the client is.
  TestClient& StartWithAnnouncedClient(int max_ping_tries, int wait, const std::string& name) {
    StartServer({{"Ping", {{"IdleTimeBeforePing", "300"}, {"PingWaitTime", std::to_string(wait)},
                           {"MaxPingTries", std::to_string(max_ping_tries)}}}});
    TestClient& c = Client(name);
    EXPECT_TRUE(udp_.SendTo(static_cast<uint16_t>(server_->UdpPort()), PingDatagram(c.SessionId(), 1, 3)));
    return c;
  }
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
  TestClient& quiet = StartWithAnnouncedClient(kMaxTries, 400, "quiet");
  ASSERT_TRUE(NextServerPing(kFirstPingWait));
  EXPECT_EQ(udp_.LastSourcePort(), server_->UdpPort());
  auto left = quiet.WaitFor(LeftOf(quiet.PlayerId()), Ms(5000), "PlayerLeft for itself");
  ASSERT_TRUE(left);
  EXPECT_EQ(left->SessionId, quiet.SessionId());
  EXPECT_EQ(ParsePlayerLeft(*left).LeaveReason, 2);
  // Every ping came before the give-up (they wait in the socket already), and none follows it:
  // the window spans three sweeps of 500 ms, in which a client still supervised would be pinged.
  int pings = 1;
  while (pings < 10 && NextServerPing(Ms(1500))) ++pings;
  EXPECT_EQ(pings, kMaxTries + 1);
  // The session stays: it is still listed and its connection open.
  EXPECT_FALSE(quiet.IsClosedByServer(Ms(100)));
  TestClient& other = Client("other");
  other.Send(PlayerStatsReq(quiet.PlayerId()));
  auto stats = other.WaitFor(kPktPlayerStats);
  ASSERT_TRUE(stats);
  EXPECT_EQ(ParsePlayerStats(*stats).Stats.PlayerId, quiet.PlayerId());
}

TEST_F(Supervision, ClientThatEchoesThePingIsKept) {
  // A long wait for the answer: a loaded machine may delay the echo, and a round trip longer
  // than the wait would count as a lost ping.
  TestClient& echo = StartWithAnnouncedClient(0, 5000, "echo");
  for (int round = 0; round < 3; ++round) {
    auto ping = NextServerPing(kFirstPingWait);
    ASSERT_TRUE(ping) << "round " << round;
    ASSERT_TRUE(udp_.SendTo(static_cast<uint16_t>(server_->UdpPort()), *ping));
  }
  // With MaxPingTries 0 one unanswered ping would have ended it.
  EXPECT_FALSE(echo.TryWaitFor(LeftOf(echo.PlayerId()), Ms(100)));
}

}  // namespace
}  // namespace pv::test
