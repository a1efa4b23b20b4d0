// Ping supervision as clients meet it, with short timings: 300 ms of silence before a ping and
// 400 ms of wait for its answer.
//
// Pings need the server to know the client's UDP address, which it learns from the client's
// datagrams: each test first makes its address known with a datagram of its own.
#include "support/server_test.h"

namespace pv::test {
namespace {

constexpr Ms kFirstPingWait{3000};

class Supervision : public ServerTest {
 protected:
  void StartPinging(int max_ping_tries, int idle_time = 300, int wait = 400) {
    StartServer({{"Ping", {{"IdleTimeBeforePing", std::to_string(idle_time)}, {"PingWaitTime", std::to_string(wait)},
                           {"MaxPingTries", std::to_string(max_ping_tries)}}}});
  }
  // One datagram from the client's UDP socket (a client ping, which the server answers), so
  // the server can learn where the client is.
  void Announce(TestClient& c, TestUdp& udp) {
    ASSERT_TRUE(udp.SendTo(static_cast<uint16_t>(server_->UdpPort()), PingDatagram(c.SessionId(), 1, 3)));
  }
  // The next ping of the server's own (kind 1, value 200), skipping the answers to the
  // client's pings.
  std::optional<Bytes> NextServerPing(TestUdp& udp, Ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (int i = 0; i < 100 && std::chrono::steady_clock::now() < end; ++i) {
      auto got = udp.Receive(std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()));
      if (!got) return std::nullopt;
      if (got->size() == 12 && (*got)[0] == 0xBB && (*got)[1] == 0xAA && (*got)[6] == 1 && (*got)[7] == 200) return got;
    }
    return std::nullopt;
  }
};

TEST_F(Supervision, ASilentClientIsPingedFromTheServerPortAndAfterMaxPingTriesPlusOnePingsTold) {
  constexpr int kMaxTries = 1;
  StartPinging(kMaxTries);
  TestClient& other = Client("other");
  TestClient& quiet = Client("quiet");
  TestUdp udp;
  Announce(quiet, udp);
  ASSERT_TRUE(NextServerPing(udp, kFirstPingWait));
  EXPECT_EQ(udp.LastSourcePort(), server_->UdpPort());
  auto left = quiet.WaitFor(LeftOf(quiet.PlayerId()), Ms(5000), "PlayerLeft for itself");
  ASSERT_TRUE(left);
  EXPECT_EQ(left->SessionId, quiet.SessionId());
  EXPECT_EQ(ParsePlayerLeft(*left).LeaveReason, 2);
  // Every ping came before the give-up (they wait in the socket already), and none follows it:
  // the window spans three sweeps of 500 ms, in which a client still supervised would be pinged.
  int pings = 1;
  while (pings < 10 && NextServerPing(udp, Ms(1500))) ++pings;
  EXPECT_EQ(pings, kMaxTries + 1);
  // The session stays: it is still listed and its connection open.
  EXPECT_FALSE(quiet.IsClosedByServer(Ms(100)));
  other.Send(PlayerStatsReq(quiet.PlayerId()));
  auto stats = other.WaitFor(kPktPlayerStats);
  ASSERT_TRUE(stats);
  EXPECT_EQ(ParsePlayerStats(*stats).Stats.PlayerId, quiet.PlayerId());
}

TEST_F(Supervision, ClientThatEchoesThePingIsKept) {
  // A long wait for the answer: a loaded machine may delay the echo, and a round trip longer
  // than the wait would count as a lost ping.
  constexpr int kWait = 5000;
  StartPinging(0, 300, kWait);
  TestClient& echo = Client("echo");
  TestUdp udp;
  Announce(echo, udp);
  for (int round = 0; round < 3; ++round) {
    auto ping = NextServerPing(udp, kFirstPingWait);
    ASSERT_TRUE(ping) << "round " << round;
    ASSERT_TRUE(udp.SendTo(static_cast<uint16_t>(server_->UdpPort()), *ping));
  }
  // With MaxPingTries 0 one unanswered ping would have ended it.
  EXPECT_FALSE(echo.TryWaitFor(LeftOf(echo.PlayerId()), Ms(100)));
}

}  // namespace
}  // namespace pv::test
