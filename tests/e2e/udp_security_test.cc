// Who may speak for a session, tried as an attacker on the network would: a host that never
// logged in, forged sources (a third party's address, the server's own endpoint), and a client
// whose datagrams each cost a log line. The real server drops them all, its clients keep talking,
// its log stays small.
//
// Forged sources need a raw socket: what forges skips, saying why, when not run as root. The
// other hosts are other loopback addresses (127.0.0.2, 127.0.0.3), which are as foreign to the
// server's check as any remote address.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "support/forged_udp.h"
#include "support/sanitizer_build.h"
#include "support/udp_peer.h"

namespace pv::test {
namespace {

const Bytes kVoice = {'V', 'O', 'I', 'C', 'E'};

using UdpSecurity = UdpServerTest;

TEST_F(UdpSecurity, StrangersAndForgedSourcesGetNothingAndMoveNothing) {
  StartServer();
  Peer& alice = Join("alice");
  Peer& bob = Join("bob");
  // A host that never logged in tries every session id with pings and voice, the victim's id
  // most of all: no answer, no voice, and the victim keeps its own endpoint.
  TestUdp stranger("127.0.0.2");
  ASSERT_TRUE(stranger.Ok());
  for (uint32_t first = 1; first <= 50000; first += 200) {
    for (uint32_t id = first; id < first + 200 && id <= 50000; ++id)
      stranger.SendTo(UdpPort(), PingDatagram(static_cast<uint16_t>(id), kPingKindPing, 1));
    stranger.SendTo(UdpPort(), PingDatagram(bob.sid, kPingKindPing, 1));
    stranger.SendTo(UdpPort(), RelayDatagram(bob.sid, 1, kVoice));
    Sync(alice);
  }
  EXPECT_FALSE(stranger.Receive(Ms(0))) << "the stranger was answered";
  Talk(alice, kVoice);
  ExpectNextIs(bob, kVoice);
  EXPECT_FALSE(stranger.Receive(Ms(200))) << "the stranger heard the room";

  ForgedUdp forged;
  SKIP_UNLESS_FORGERY_POSSIBLE(forged);
  // One forged datagram with a third party's address as its source used to turn the room's
  // voice on that party. It is dropped: the third party hears nothing.
  TestUdp victim("127.0.0.3");
  ASSERT_TRUE(victim.Ok());
  ASSERT_TRUE(forged.Send("127.0.0.3", victim.Port(), UdpPort(), PingDatagram(bob.sid, kPingKindPing, 1)));
  ASSERT_TRUE(forged.Send("127.0.0.3", victim.Port(), UdpPort(), RelayDatagram(bob.sid, 1, kVoice)));
  Sync(alice);
  for (int i = 0; i < 20; ++i) Talk(alice, kVoice);
  for (int i = 0; i < 20; ++i) ExpectNextIs(bob, kVoice);
  EXPECT_FALSE(victim.Receive(Ms(200))) << "the third party received traffic";

  // Datagrams whose source is the server's own endpoint (its control address and UDP port),
  // carrying the players' ids, used to set off a relay loop through the server. They are dropped:
  // the players keep their endpoints and hear nothing of them. With the address check off the
  // same holds for the server's port on any local address: UdpSource's table in
  // tests/unit/udp_test.cc.
  Peer& carol = Join("carol");
  for (Peer* p : {&alice, &bob}) {
    ASSERT_TRUE(forged.Send("127.0.0.1", UdpPort(), UdpPort(), RelayDatagram(p->sid, 1, kVoice)));
    ASSERT_TRUE(forged.Send("127.0.0.1", UdpPort(), UdpPort(), PingDatagram(p->sid, kPingKindPing, 1)));
  }
  Sync(carol);
  ExpectNothingBut(alice, carol);
  ExpectNothingBut(bob, carol);
  // The server is idle again: a ping is answered at once, and nothing else arrives.
  Sync(alice);
  EXPECT_FALSE(alice.udp->Receive(Ms(200))) << "copies keep coming";
}

// A client's datagrams that the relay cannot use each used to cost a log line: mode-1 lists that
// run past the datagram's end, and lists naming a player whose copy cannot be sent (one that has
// never sent a datagram, so the server knows no endpoint for it). A flood of both writes five
// lines a second of each kind, then one line a second that says how many were left out.
TEST_F(UdpSecurity, DatagramFloodGrowsTheLogByAFewLinesASecond) {
  StartServer();
  Peer& flooder = Join("flooder");
  Peer& watcher = Join("watcher");
  TestClient& silent = Client("silent");
  Bytes past_end = RelayDatagramTo(flooder.sid, 1, {}, {});
  past_end[kOffRelayTargetCount] = 200;
  const Bytes unsendable = RelayDatagramTo(flooder.sid, 2, {static_cast<uint8_t>(silent.PlayerId())}, kVoice);
  // 150,000 datagrams (a sanitizer build, several times slower, a share of them) in batches of
  // 50, each followed by a ping. A batch goes out once the ping after the batch before last is
  // answered: the server always has the next batch at hand, and never more than two (fewer
  // datagrams than its socket buffer holds) wait for it, so the socket drops none of them.
  constexpr int kDatagrams = 150000 / kSlowdown;
  const Bytes ping = PingDatagram(watcher.sid, kPingKindPing, 3);
  int sent = 0, unanswered = 0;
  const auto answered = [&] { return watcher.udp->Receive(Ms(3000)) && --unanswered >= 0; };
  const size_t before = server_->Log().size();
  const auto start = std::chrono::steady_clock::now();
  const auto give_up = start + std::chrono::seconds(10);
  while (sent < kDatagrams && std::chrono::steady_clock::now() < give_up) {
    for (int i = 0; i < 25; ++i) {
      sent += flooder.udp->SendTo(UdpPort(), past_end);
      sent += flooder.udp->SendTo(UdpPort(), unsendable);
    }
    unanswered += watcher.udp->SendTo(UdpPort(), ping);
    if (unanswered == 2) {
      ASSERT_TRUE(answered()) << "a ping went unanswered";
    }
  }
  while (unanswered > 0) ASSERT_TRUE(answered()) << "a ping went unanswered";
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const size_t grown = server_->Log().size() - before;
  EXPECT_EQ(sent, kDatagrams) << "the flood took too long";
  EXPECT_LT(static_cast<double>(grown), 10240.0 * std::max(1.0, seconds))
      << sent << " datagrams in " << seconds << " s";
  // What was left out is reported within a second or so, also when the flood has stopped. The
  // counts show the flood reached the log's door: most datagrams (the relay may drop some when
  // it falls behind) are lines written or left out.
  const std::regex summary(R"(Left out (\d+) log lines "in: TUDPSender\.ProcessUDPList exception " for session )" +
                           std::to_string(flooder.sid));
  int past_end_lines = 0, unsendable_lines = 0, summaries = 0;
  uint64_t left_out = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        Sync(watcher);
        past_end_lines = server_->LogCount("in: TUDPSender.ProcessUDPList exception EIdNotEnoughDataInBuffer");
        unsendable_lines = server_->LogCount("in: TUDPSender.ProcessUDPList exception EIdSocketError");
        summaries = 0;
        left_out = 0;
        std::smatch match;
        for (const std::string& line : server_->LogLines()) {
          if (!std::regex_match(line, match, summary)) continue;
          left_out += std::stoull(match[1]);
          ++summaries;
        }
        return summaries >= 2 && 2 * (past_end_lines + unsendable_lines + left_out) >= static_cast<uint64_t>(sent);
      },
      Ms(5000), Ms(100)))
      << past_end_lines << " + " << unsendable_lines << " lines written, " << left_out << " left out in " << summaries
      << " summaries, for " << sent << " datagrams";
  const int kind_cap = 5 * (static_cast<int>(seconds) + 2);
  EXPECT_GE(past_end_lines, 1);
  EXPECT_LE(past_end_lines, kind_cap);
  EXPECT_GE(unsendable_lines, 1);
  EXPECT_LE(unsendable_lines, kind_cap);
}

}  // namespace
}  // namespace pv::test
