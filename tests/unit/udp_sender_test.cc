// ProcessUDPList run directly on an in-process server: what only a drain can meet (senders and
// recipients that went between the queueing and the drain, failed sends, broken lists) with its
// log lines, the order within a drain, the server's own endpoint as a recipient, and the relay of
// a lone datagram. Who receives what in
// each target mode is what clients meet: tests/e2e/udp_relay_test.cc.
#include "sessions/udp_sender.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "base/wire.h"
#include "sessions/datagrams.h"
#include "udp_test_util.h"

namespace pv {
namespace {

using test::RelayDatagram;
using test::RelayDatagramTo;
using test::TestUdp;
using testing::Bytes;
using testing::UdpHarness;
using Ms = std::chrono::milliseconds;

// A session with a client socket of its own that is its UDP endpoint.
struct Player {
  SessionPtr session;
  std::unique_ptr<TestUdp> udp = std::make_unique<TestUdp>();
};

class UdpSenderTest : public ::testing::Test {
 protected:
  Player& Add(uint16_t session_id, uint8_t player_index, int32_t room) {
    players_.push_back(Player{h_.AddSession(session_id, player_index, room)});
    UdpHarness::Attach(*players_.back().session, *players_.back().udp);
    return players_.back();
  }
  // Queues a datagram from `from` through UDPRead, as the listener would.
  void Send(Player& from, const Bytes& bytes) { h_.Deliver(bytes, from.udp->Port()); }
  static std::optional<Bytes> Got(Player& p) { return p.udp->Receive(Ms(1000)); }
  static bool Nothing(Player& p) { return !p.udp->Receive(Ms(20)); }

  UdpHarness h_;
  std::deque<Player> players_;
};

TEST_F(UdpSenderTest, DatagramsOfGoneAndLeavingSendersAreDroppedWithTheirLines) {
  Player& a = Add(11, 0, 0);
  Player& b = Add(22, 1, 0);
  Player& c = Add(33, 2, 0);
  Send(a, RelayDatagram(11, 1, {1}));
  Send(c, RelayDatagram(33, 1, {1}));
  h_.RemoveSession(a.session);
  c.session->Leaving = true;
  h_.Drain();
  EXPECT_TRUE(Nothing(b));
  EXPECT_EQ(h_.LogCount("Tried to send a udp packet from a destroyed client\r\n"), 1u);
  EXPECT_EQ(h_.LogCount("Tried to send a udp packet from a leaving client\r\n"), 1u);
  // A leaving recipient gets nothing either.
  c.session->Leaving = false;
  b.session->Leaving = true;
  Send(c, RelayDatagram(33, 2, {1}));
  h_.Drain();
  EXPECT_TRUE(Nothing(b));
}

// What a drain skips while the rest goes out: the server's own endpoint, a recipient that never
// sent a datagram (silently in room mode, with a line in list mode) and lists running past the end.
TEST_F(UdpSenderTest, UnsendableRecipientsAndBrokenListsAreSkippedAndTheDrainGoesOn) {
  h_.server.Config.UDPPort = h_.Port();  // the harness's own socket stands for the server's endpoint
  Player& a = Add(11, 0, 0);
  SessionPtr own = h_.AddSession(44, 1);
  own->SetUdpEndpoint(htonl(INADDR_LOOPBACK), h_.Port());
  Player& b = Add(22, 2, 0);
  SessionPtr silent = h_.AddSession(33, 3, 0, "silent");
  Bytes truncated = RelayDatagramTo(11, 3, {3, 3, 3}, {});
  truncated.pop_back();  // the list's last byte is missing
  Bytes no_count = RelayDatagram(11, 4, {});
  no_count[kOffRelayTargetMode] = kRelayModeList;
  for (const Bytes& d : {RelayDatagram(11, 1, {1}), RelayDatagramTo(11, 2, {3, 4}, {1}), truncated, no_count,
                         RelayDatagram(11, 5, {4, 5})})
    Send(a, d);
  h_.Drain();
  for (uint32_t id : {1u, 2u, 5u}) {
    auto got = Got(b);
    ASSERT_TRUE(got) << id;
    EXPECT_EQ(LoadU32(got->data() + kOffRelayPacketId), id);
  }
  EXPECT_TRUE(Nothing(b));
  EXPECT_EQ(own->Traffic.UdpPacketsOut, 0u);
  EXPECT_EQ(silent->Traffic.UdpPacketsOut, 0u);
  EXPECT_EQ(h_.server.Traffic.UdpPacketsOut, 3u);
  EXPECT_EQ(h_.LogCount("in: TUDPSender.ProcessUDPList exception EIdSocketError: "), 1u);
  EXPECT_EQ(h_.LogCount("in: TUDPSender.ProcessUDPList exception EIdNotEnoughDataInBuffer: "
                        "Not enough data in buffer.\r\n"),
            2u);
  EXPECT_EQ(h_.Queued(), 0u);
  h_.Drain();  // nothing is sent twice
  EXPECT_TRUE(Nothing(b));
}

TEST_F(UdpSenderTest, OneDrainKeepsEachSendersOrder) {
  Player& a = Add(11, 0, 0);
  Player& b = Add(22, 1, 0);
  Player& c = Add(33, 2, 0);
  // Small enough for the client socket's default receive buffer.
  constexpr uint8_t kCount = 50;
  for (uint8_t id = 1; id <= kCount; ++id) {
    Send(a, RelayDatagram(11, id, {'a', id}));
    Send(b, RelayDatagram(22, id, {'b', id}));
  }
  h_.Drain();
  uint8_t next_a = 1, next_b = 1;
  for (int i = 0; i < 2 * kCount; ++i) {
    auto got = Got(c);
    ASSERT_TRUE(got) << "datagram " << i;
    ASSERT_EQ(got->size(), 18u);
    if ((*got)[16] == 'a') {
      EXPECT_EQ((*got)[17], next_a++);
    } else {
      EXPECT_EQ((*got)[17], next_b++);
    }
  }
  EXPECT_EQ(next_a, kCount + 1);
  EXPECT_EQ(next_b, kCount + 1);
  EXPECT_EQ(c.session->Traffic.UdpPacketsOut, 2u * kCount);
  EXPECT_EQ(a.session->Traffic.UdpPacketsOut, kCount);
}

TEST_F(UdpSenderTest, LoneDatagramIsRelayedAtOnceOnlyWhileTheSendThreadIsIdleAndNothingWaits) {
  Player& a = Add(11, 0, 0);
  Player& b = Add(22, 1, 0);
  TUDPSender sender(h_.server, nullptr);
  QueuedDatagram lone{a.session, RelayDatagram(11, 2, {7, 7})};
  // A thread not yet running relays nothing.
  EXPECT_FALSE(sender.TryRelayAlone(lone, h_.Binding()));
  sender.Start();
  // A datagram still queued would be overtaken: the lone one has to wait its turn.
  Locked(h_.server.UdpSendList)->push_back(QueuedDatagram{a.session, RelayDatagram(11, 1, {1})});
  EXPECT_FALSE(sender.TryRelayAlone(lone, h_.Binding()));
  EXPECT_TRUE(Nothing(b));
  h_.Drain();
  auto first = Got(b);
  ASSERT_TRUE(first);
  EXPECT_EQ(LoadU32(first->data() + kOffRelayPacketId), 1u);
  // Idle and nothing queued: relayed now, exactly as a drain relays it.
  ASSERT_TRUE(sender.TryRelayAlone(lone, h_.Binding()));
  auto got = Got(b);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, RelayDatagram(22, 2, {7, 7}));  // the recipient's session id, the checksum summed again
  EXPECT_TRUE(Nothing(a));
  EXPECT_EQ(b.session->Traffic.UdpPacketsOut, 2u);
  EXPECT_EQ(h_.server.Traffic.UdpPacketsOut, 2u);
  EXPECT_EQ(h_.Queued(), 0u);
  // A stopped thread relays nothing more.
  sender.Terminate();
  h_.server.SystemEvent.Set();
  ASSERT_TRUE(sender.WaitFor(Ms(2000)));
  EXPECT_FALSE(sender.TryRelayAlone(lone, h_.Binding()));
  EXPECT_TRUE(Nothing(b));
}

}  // namespace
}  // namespace pv
