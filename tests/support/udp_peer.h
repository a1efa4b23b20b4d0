// A client as the UDP end-to-end tests use it (its control connection and its UDP socket), and
// the fixture of those tests: a server of the test's own with such clients logged in to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sessions/datagrams.h"
#include "support/server_test.h"
#include "support/test_udp.h"

namespace pv::test {

struct Peer {
  std::string name;
  std::unique_ptr<TestClient> tcp = std::make_unique<TestClient>();
  std::unique_ptr<TestUdp> udp = std::make_unique<TestUdp>();
  uint16_t sid = 0;
  int player_id = 0;
  uint32_t next_id = 1;  // of its next relay datagram
};

class UdpServerTest : public ServerTest {
 protected:
  void TearDown() override {
    peers_.clear();
    ServerTest::TearDown();
  }
  uint16_t UdpPort() const { return static_cast<uint16_t>(server_->UdpPort()); }
  // A logged-in client, moved to room `room_id` unless 0, whose UDP endpoint the server knows
  // (its ping was answered).
  Peer& Join(const std::string& name, int room_id = 0) {
    peers_.push_back(std::make_unique<Peer>());
    Peer& p = *peers_.back();
    p.name = name;
    EXPECT_TRUE(p.udp->Ok());
    EXPECT_TRUE(p.tcp->Connect(static_cast<uint16_t>(server_->TcpPort())));
    EXPECT_TRUE(p.tcp->Login(name));
    p.sid = p.tcp->SessionId();
    p.player_id = p.tcp->PlayerId();
    if (room_id != 0) {
      p.tcp->Send(ChangeRoom(room_id));
      EXPECT_TRUE(p.tcp->WaitFor([&](const ServerPacket& m) {
        return m.Code == kPktPlayerChangedRoom && ParsePlayerChangedRoom(m).PlayerId == p.player_id;
      }));
    }
    Sync(p);
    return p;
  }
  // A ping and its answer: every datagram that reached the server's socket before it has been
  // handled (one socket, one listener, in arrival order).
  void Sync(Peer& p) {
    EXPECT_TRUE(p.udp->SendTo(UdpPort(), PingDatagram(p.sid, kPingKindPing, 3)));
    auto answer = p.udp->Receive(Ms(3000));
    ASSERT_TRUE(answer) << p.name << " got no answer to its ping";
    EXPECT_EQ(*answer, BuildPingDatagram(p.sid, kPingKindAnswer, 3)) << p.name;
  }
  void Send(Peer& from, const Bytes& datagram) { EXPECT_TRUE(from.udp->SendTo(UdpPort(), datagram)); }
  // A relay datagram to `from`'s room, and one to the players listed.
  void Talk(Peer& from, const Bytes& payload) { Send(from, RelayDatagram(from.sid, from.next_id++, payload)); }
  void TalkTo(Peer& from, const Bytes& player_ids, const Bytes& payload) {
    Send(from, RelayDatagramTo(from.sid, from.next_id++, player_ids, payload));
  }
  // `p`'s next datagram is a relayed copy of `payload`: nothing (a flood, a stray answer, a copy
  // that should not be) came first. The copy's header is the relay's, whose bytes
  // tests/unit/udp_test.cc pins down. False when it is not (a failure is recorded).
  static bool ExpectNextIs(Peer& p, const Bytes& payload) {
    auto got = p.udp->Receive(Ms(3000));
    if (!got || got->size() < kRelayHeaderSize) {
      ADD_FAILURE() << p.name << " heard no relayed copy";
      return false;
    }
    const Bytes heard(got->begin() + kRelayHeaderSize, got->end());
    EXPECT_EQ(heard, payload) << p.name << " heard something else";
    return heard == payload;
  }

  // A datagram that must not have reached `p` is checked with a marker that `via` sends to `p`
  // alone: it must be the next datagram `p` receives, since the server relays in arrival order
  // and loopback keeps the order of one socket pair.
  void ExpectNothingBut(Peer& p, Peer& via) {
    const Bytes marker = {'M', 'A', 'R', 'K'};
    TalkTo(via, {static_cast<uint8_t>(p.player_id)}, marker);
    ExpectNextIs(p, marker);
  }

  std::vector<std::unique_ptr<Peer>> peers_;
};

}  // namespace pv::test
