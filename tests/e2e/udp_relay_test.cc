// Voice traffic as clients meet it: the real server relays datagrams to room mates or to listed
// players (the copies' bytes are tests/unit/udp_test.cc's); pings are answered; the endpoint
// follows the client; statistics show the loss; bad datagrams leave the server serving.
#include <gtest/gtest.h>

#include <thread>

#include "base/wire.h"
#include "support/udp_peer.h"

namespace pv::test {
namespace {

class UdpRelay : public UdpServerTest {
 protected:
  void SetUp() override { StartServer({{"Channels", {{"0", "Lobby"}, {"1", "Side"}, {"2", "Back"}}}}); }
  PlayerStatsData StatsOf(Peer& asker, const Peer& target) {
    asker.tcp->Send(PlayerStatsReq(target.player_id));
    auto stats = asker.tcp->WaitFor(kPktPlayerStats);
    return stats ? ParsePlayerStats(*stats).Stats : PlayerStatsData{};
  }
};

TEST_F(UdpRelay, EachTargetModeReachesWhomItNamesAndStatisticsShowLossAndTheEndpoint) {
  Peer& a = Join("a", 3);
  Peer& b = Join("b", 3);
  Peer& c = Join("c", 3);
  Peer& d = Join("d");
  // Room mode: the other room mates.
  const Bytes voice = {'v', 'o', 'i', 'c', 'e', 0, 1, 2};
  Talk(a, voice);
  for (Peer* p : {&b, &c}) ExpectNextIs(*p, voice);
  ExpectNothingBut(a, b);
  ExpectNothingBut(d, b);

  // List mode: the players listed whatever their room, once each (d is listed twice, and 200 is
  // nobody's PlayerId), without the list.
  const auto d_id = static_cast<uint8_t>(d.player_id);
  TalkTo(a, {static_cast<uint8_t>(b.player_id), d_id, d_id, 200}, {1, 2, 3, 4, 5});
  for (Peer* p : {&b, &d}) ExpectNextIs(*p, {1, 2, 3, 4, 5});
  for (Peer* p : {&a, &c, &d}) ExpectNothingBut(*p, b);

  // A list of the sender alone, an empty list and an unknown mode reach nobody.
  TalkTo(a, {static_cast<uint8_t>(a.player_id)}, {1});
  TalkTo(a, {}, {2});
  Bytes mode2 = RelayDatagram(a.sid, a.next_id++, {3});
  mode2[kOffRelayTargetMode] = 2;
  SealRelay(mode2);
  Send(a, mode2);
  ExpectNothingBut(a, b);
  for (Peer* p : {&b, &c, &d}) ExpectNothingBut(*p, a);

  // Two newcomers in a room of their own: a gap in the packet ids and a bad checksum show as
  // loss in the sender's statistics, and both datagrams are relayed anyway.
  Peer& e = Join("e", 2);
  Peer& f = Join("f", 2);
  for (uint32_t id : {5u, 6u, 8u, 9u}) Send(e, RelayDatagram(e.sid, id, {static_cast<uint8_t>(id)}));
  Bytes wrong = RelayDatagram(e.sid, 10, {10});
  wrong[kOffRelayChecksum] ^= 0xFF;
  Send(e, wrong);
  for (uint8_t id : {5, 6, 8, 9, 10}) ExpectNextIs(f, {id});
  PlayerStatsData stats = StatsOf(f, e);
  EXPECT_EQ(stats.Traffic.UdpPacketsIn, 6u);  // the first ping and five relay datagrams
  EXPECT_FLOAT_EQ(stats.PacketLoss, 2.0f / 6.0f * 100.0f);
  EXPECT_EQ(stats.UdpPort, 0);  // f is no administrator yet: no address
  PlayerStatsData of_f = StatsOf(e, f);
  EXPECT_EQ(of_f.Traffic.UdpPacketsOut, 5u);
  EXPECT_EQ(of_f.Traffic.UdpBytesOut, 5u * 17u);

  // The endpoint follows a new port.
  TestUdp moved;
  ASSERT_TRUE(moved.Ok());
  EXPECT_TRUE(moved.SendTo(UdpPort(), RelayDatagram(e.sid, 11, {7})));
  ExpectNextIs(f, {7});
  Talk(f, {8});
  auto got = moved.Receive(Ms(3000));
  ASSERT_TRUE(got);
  EXPECT_EQ(LoadU16(got->data() + kOffSessionId), e.sid);
  f.tcp->Send(AdminLogin("vimbo"));  // only administrators see the address in statistics
  ASSERT_TRUE(f.tcp->WaitFor(kPktPlayerIsAdmin));
  stats = StatsOf(f, e);
  EXPECT_EQ(stats.UdpPort, moved.Port());
  EXPECT_EQ(stats.UdpIP, "127.0.0.1");
  EXPECT_FALSE(e.udp->Receive(Ms(100)));  // the old port hears nothing more
}

// Short datagrams and unknown sessions meet UDPRead and broken target lists the send thread in
// tests/unit/udp_test.cc, random ones the UDP fuzz target; here the running server drops the
// datagrams of a kicked client and those too large, and goes on serving the others, in order.
TEST_F(UdpRelay, DroppedAndBadDatagramsLeaveTheOthersServedInOrder) {
  Peer& admin = Join("admin");
  Peer& b = Join("b");
  Peer& c = Join("c");
  Peer& d = Join("d");
  admin.tcp->Send(AdminLogin("vimbo"));
  ASSERT_TRUE(admin.tcp->WaitFor(kPktPlayerIsAdmin));
  // A kicked client is relayed nothing more: it is leaving until it has been told, and gone
  // right after.
  admin.tcp->Send(AdminKickPlayer(b.player_id));
  ASSERT_TRUE(c.tcp->WaitFor(kPktPlayerLeft));
  Talk(b, {1});
  ExpectNothingBut(c, admin);
  // The largest datagram is relayed whole; a larger one never reaches the server's handler.
  Bytes big_payload(kMaxDatagramSize - kRelayHeaderSize, 0x33);
  Send(d, RelayDatagram(d.sid, 3, big_payload));
  Send(d, RelayDatagram(d.sid, 4, Bytes(big_payload.size() + 1, 0x44)));
  ExpectNextIs(admin, big_payload);
  ExpectNothingBut(admin, d);
  Talk(admin, {0x55});
  ExpectNextIs(d, {0x55});

  // One at a time: each must arrive before the next is sent, so a lost wake-up of the send
  // thread shows as a datagram that never comes.
  for (uint8_t i = 0; i < 100; ++i) {
    Talk(d, {i});
    ASSERT_TRUE(ExpectNextIs(admin, {i})) << "datagram " << int{i};
  }
  // Bursts: the first of a burst comes alone and is relayed by the listener itself, the rest
  // come together and go to the send thread, some while it relays; the order holds across.
  for (int burst = 0; burst < 10; ++burst) {
    for (uint8_t i = 0; i < 20; ++i) {
      Talk(d, {i});
      if (i % 7 == 6) std::this_thread::sleep_for(Ms(1));
    }
    for (uint8_t i = 0; i < 20; ++i) {
      ASSERT_TRUE(ExpectNextIs(admin, {i})) << "burst " << burst << " datagram " << int{i};
    }
  }
  Peer& late = Join("late");
  EXPECT_EQ(late.player_id, 2);
}

}  // namespace
}  // namespace pv::test
