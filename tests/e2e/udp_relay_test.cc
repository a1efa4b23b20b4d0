// Voice traffic as clients meet it: the real server relays datagrams to room mates or to listed
// players, each copy with the recipient's own session id and checksum; pings are answered; the
// endpoint follows the client; statistics show the loss; bad datagrams leave the server serving.
//
// A datagram that must not arrive is checked with a marker: a later datagram to the same
// client, which has to be the next thing it receives, since the server relays in arrival order
// and loopback keeps the order of one socket pair.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "base/crc32.h"
#include "base/wire.h"
#include "sessions/datagrams.h"
#include "support/server_process.h"
#include "support/test_client.h"
#include "support/udp_peer.h"

namespace pv::test {
namespace {

const Bytes kMarker = {'M', 'A', 'R', 'K'};

class UdpRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    IniSettings rooms{{"Channels", {{"0", "Lobby"}, {"1", "Side"}, {"2", "Back"}}}};
    server_ = std::make_unique<ServerProcess>(rooms);
    ASSERT_TRUE(server_->Start());
  }
  void TearDown() override {
    peers_.clear();
    EXPECT_EQ(server_->Stop(), 0);
  }
  // A logged-in client in room `room_id` whose UDP endpoint the server knows (its ping was
  // answered).
  Peer& Join(const std::string& name, int room_id = 1) {
    peers_.push_back(std::make_unique<Peer>());
    Peer& p = *peers_.back();
    p.LogIn(server_->TcpPort(), name);
    if (room_id != 1) {
      p.tcp->Send(ChangeRoom(room_id));
      EXPECT_TRUE(p.tcp->WaitFor([&](const ServerPacket& m) {
        return m.Code == kPktPlayerChangedRoom && ParsePlayerChangedRoom(m).PlayerId == p.player_id;
      }));
    }
    Send(p, PingDatagram(p.sid, kPingKindPing, 1));
    auto answer = Hear(p);
    EXPECT_TRUE(answer && *answer == BuildPingDatagram(p.sid, kPingKindAnswer, 1)) << name;
    return p;
  }
  void Send(Peer& from, const Bytes& d) { EXPECT_TRUE(from.udp->SendTo(static_cast<uint16_t>(server_->UdpPort()), d)); }
  void SendRoom(Peer& from, const Bytes& payload) { Send(from, RelayDatagram(from.sid, from.next_id++, payload)); }
  void SendTo(Peer& from, const Bytes& ids, const Bytes& payload) {
    Send(from, RelayDatagramTo(from.sid, from.next_id++, ids, payload));
  }
  static std::optional<Bytes> Hear(Peer& p) { return p.udp->Receive(Ms(3000)); }
  // `via` sends a marker to `p` alone; it must be the next datagram `p` receives.
  void ExpectNothingBut(Peer& p, Peer& via) {
    SendTo(via, {static_cast<uint8_t>(p.player_id)}, kMarker);
    auto next = Hear(p);
    ASSERT_TRUE(next) << p.name << " got no marker";
    EXPECT_EQ(Bytes(next->begin() + kRelayHeaderSize, next->end()), kMarker) << p.name << " got something else first";
  }
  static void ExpectCopyFor(const Peer& p, const std::optional<Bytes>& got, const Bytes& payload) {
    ASSERT_TRUE(got) << p.name;
    ASSERT_GE(got->size(), kRelayHeaderSize);
    EXPECT_EQ(LoadU16(got->data() + kOffSessionId), p.sid) << p.name;
    EXPECT_TRUE(RelayChecksumValid(*got)) << p.name;
    EXPECT_EQ(Bytes(got->begin() + kRelayHeaderSize, got->end()), payload) << p.name;
  }
  PlayerStatsData StatsOf(Peer& asker, const Peer& target) {
    asker.tcp->Send(PlayerStatsReq(target.player_id));
    auto stats = asker.tcp->WaitFor(kPktPlayerStats);
    return stats ? ParsePlayerStats(*stats).Stats : PlayerStatsData{};
  }

  std::unique_ptr<ServerProcess> server_;
  std::vector<std::unique_ptr<Peer>> peers_;
};

TEST_F(UdpRelay, RoomModeReachesTheOtherRoomMatesOnly) {
  Peer& a = Join("a", 3);
  Peer& b = Join("b", 3);
  Peer& c = Join("c", 3);
  Peer& d = Join("d", 1);
  const Bytes payload = {'v', 'o', 'i', 'c', 'e', 0, 1, 2};
  Bytes sent = RelayDatagram(a.sid, a.next_id++, payload, 0x42);
  Send(a, sent);
  for (Peer* p : {&b, &c}) {
    auto got = Hear(*p);
    ExpectCopyFor(*p, got, payload);
    ASSERT_TRUE(got);
    EXPECT_EQ(LoadU16(got->data() + kOffLength), sent.size());
    EXPECT_EQ((*got)[kOffRelayTargetMode], kRelayModeRoom);
    EXPECT_EQ((*got)[kOffRelayOpaque], 0x42);
    EXPECT_EQ(LoadU32(got->data() + kOffRelayPacketId), 1u);
  }
  ExpectNothingBut(a, b);
  ExpectNothingBut(d, b);
}

TEST_F(UdpRelay, ListModeReachesListedPlayersWhateverTheirRoomWithoutTheList) {
  Peer& a = Join("a");
  Peer& b = Join("b");
  Peer& c = Join("c");
  Peer& d = Join("d", 2);
  const Bytes payload = {1, 2, 3, 4, 5};
  // D is listed twice, and 200 is nobody's PlayerId.
  const auto d_id = static_cast<uint8_t>(d.player_id);
  const Bytes listed = {static_cast<uint8_t>(b.player_id), d_id, d_id, 200};
  Bytes sent = RelayDatagramTo(a.sid, a.next_id++, listed, payload);
  Send(a, sent);
  for (Peer* p : {&b, &d}) {
    auto got = Hear(*p);
    ExpectCopyFor(*p, got, payload);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), sent.size() - 1 - listed.size());
    EXPECT_EQ(LoadU16(got->data() + kOffLength), got->size());
    EXPECT_EQ((*got)[kOffRelayTargetMode], kRelayModeRoom);
  }
  ExpectNothingBut(a, b);
  ExpectNothingBut(c, b);
  ExpectNothingBut(d, b);  // one copy, though listed twice
}

TEST_F(UdpRelay, SelfOnlyListsEmptyListsAndOtherModesReachNobody) {
  Peer& a = Join("a");
  Peer& b = Join("b");
  SendTo(a, {static_cast<uint8_t>(a.player_id)}, {1});
  SendTo(a, {}, {2});
  Bytes mode2 = RelayDatagram(a.sid, a.next_id++, {3});
  mode2[kOffRelayTargetMode] = 2;
  StoreU32(mode2.data() + kOffRelayChecksum, 0);
  StoreU32(mode2.data() + kOffRelayChecksum, Crc32(mode2.data(), mode2.size()));
  Send(a, mode2);
  ExpectNothingBut(a, b);
  ExpectNothingBut(b, a);
}

TEST_F(UdpRelay, TheEndpointFollowsANewPort) {
  Peer& a = Join("a");
  Peer& b = Join("b");
  TestUdp moved;
  ASSERT_TRUE(moved.Ok());
  EXPECT_TRUE(moved.SendTo(static_cast<uint16_t>(server_->UdpPort()), RelayDatagram(a.sid, a.next_id++, {7})));
  ExpectCopyFor(b, Hear(b), {7});
  SendRoom(b, {8});
  auto got = moved.Receive(Ms(3000));
  ASSERT_TRUE(got);
  EXPECT_EQ(LoadU16(got->data() + kOffSessionId), a.sid);
  b.tcp->Send(AdminLogin("vimbo"));  // only administrators see the address in statistics
  ASSERT_TRUE(b.tcp->WaitFor(kPktPlayerIsAdmin));
  PlayerStatsData stats = StatsOf(b, a);
  EXPECT_EQ(stats.UdpPort, moved.Port());
  EXPECT_EQ(stats.UdpIP, "127.0.0.1");
  EXPECT_FALSE(a.udp->Receive(Ms(100)));  // the old port hears nothing more
}

TEST_F(UdpRelay, PacketIdGapAndBadChecksumShowAsLossAndAreRelayedAnyway) {
  Peer& a = Join("a");
  Peer& b = Join("b");
  for (uint32_t id : {5u, 6u, 8u, 9u}) Send(a, RelayDatagram(a.sid, id, {static_cast<uint8_t>(id)}));
  Bytes wrong = RelayDatagram(a.sid, 10, {10});
  wrong[kOffRelayChecksum] ^= 0xFF;
  Send(a, wrong);
  for (uint8_t id : {5, 6, 8, 9, 10}) ExpectCopyFor(b, Hear(b), {id});
  PlayerStatsData stats = StatsOf(b, a);
  EXPECT_EQ(stats.Traffic.UdpPacketsIn, 6u);  // the first ping and five relay datagrams
  EXPECT_FLOAT_EQ(stats.PacketLoss, 2.0f / 6.0f * 100.0f);
  PlayerStatsData of_b = StatsOf(a, b);
  EXPECT_EQ(of_b.Traffic.UdpPacketsOut, 5u);
  EXPECT_EQ(of_b.Traffic.UdpBytesOut, 5u * 17u);
}

TEST_F(UdpRelay, DatagramsOfAKickedOrGoneClientAreDropped) {
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
  SendRoom(b, {1});
  ExpectNothingBut(c, admin);
  // A client that has gone is unknown: its datagram is dropped without a word.
  c.tcp->Send(Leave());
  ASSERT_TRUE(server_->WaitForLog("Distroying client c[3]"));
  SendRoom(c, {2});
  ExpectNothingBut(d, admin);
  EXPECT_EQ(server_->Log().find("leaving client :c"), std::string::npos);
}

TEST_F(UdpRelay, EveryQueuedDatagramIsSentWithoutWaitingForMoreTraffic) {
  Peer& a = Join("a");
  Peer& b = Join("b");
  // One at a time: each must arrive before the next is sent, so a lost wake-up shows as a
  // datagram that never comes.
  for (uint8_t i = 0; i < 100; ++i) {
    SendRoom(a, {i});
    auto got = Hear(b);
    ASSERT_TRUE(got) << "datagram " << int{i};
    EXPECT_EQ((*got)[kRelayHeaderSize], i);
  }
  // Bursts: the first of a burst comes alone and is relayed by the listener itself, the rest
  // come together and go to the send thread, some while it relays; the order holds across.
  for (int burst = 0; burst < 10; ++burst) {
    for (uint8_t i = 0; i < 20; ++i) {
      SendRoom(a, {i});
      if (i % 7 == 6) std::this_thread::sleep_for(Ms(1));
    }
    for (uint8_t i = 0; i < 20; ++i) {
      auto got = Hear(b);
      ASSERT_TRUE(got) << "burst " << burst << " datagram " << int{i};
      EXPECT_EQ((*got)[kRelayHeaderSize], i);
    }
  }
  // The send thread tells when it starts and when it has stopped.
  EXPECT_EQ(server_->Stop(), 0);
  const std::string log = server_->Log();
  EXPECT_NE(log.find(" | UDPSender.Execute\r\n"), std::string::npos);
  EXPECT_NE(log.find(" | UDPSender.Terminated\r\n"), std::string::npos);
}

// Short datagrams meet UDPRead (tests/unit/udp_read_test.cc) and random ones the UDP fuzz target;
// here the running server takes the bad ones that reach its send thread and goes on serving.
TEST_F(UdpRelay, BadDatagramsLeaveTheServerServingOthers) {
  Peer& a = Join("a");
  Peer& b = Join("b");
  Bytes list = RelayDatagramTo(a.sid, 1, {2, 2, 2}, {});
  Send(a, Bytes(list.begin(), list.end() - 1));  // the list runs past the end
  Bytes no_count = RelayDatagram(a.sid, 2, {});
  no_count[kOffRelayTargetMode] = kRelayModeList;
  Send(a, no_count);
  // The largest datagram is relayed whole; a larger one never reaches the server's handler.
  Bytes big_payload(kMaxDatagramSize - kRelayHeaderSize, 0x33);
  Send(a, RelayDatagram(a.sid, 3, big_payload));
  Send(a, RelayDatagram(a.sid, 4, Bytes(big_payload.size() + 1, 0x44)));
  ExpectCopyFor(b, Hear(b), big_payload);
  ExpectNothingBut(b, a);
  EXPECT_TRUE(server_->WaitForLog(
      "in: TUDPSender.ProcessUDPList exception EIdNotEnoughDataInBuffer: Not enough data in buffer."));
  SendRoom(b, {0x55});
  ExpectCopyFor(a, Hear(a), {0x55});
  Peer& late = Join("late");
  EXPECT_EQ(late.player_id, 3);
}

}  // namespace
}  // namespace pv::test
