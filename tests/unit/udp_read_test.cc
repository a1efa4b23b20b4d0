// UDPRead fed datagrams as the listener thread feeds them: who may speak for a session (its own
// address, other addresses, the server's own endpoint), counters, the packet-id and checksum
// tests, pings in both directions, the endpoint that follows the client, and datagrams too short
// for what would be read from them.
#include "sessions/udp_read.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "base/date_time.h"
#include "base/wire.h"
#include "sessions/datagrams.h"
#include "udp_test_util.h"

namespace pv {
namespace {

using test::PingDatagram;
using test::RelayDatagram;
using testing::Addr;
using testing::Bytes;
using testing::UdpHarness;
using Ms = std::chrono::milliseconds;

// The session's control connection comes from 127.0.0.1 (the harness's sessions do).
TEST(UdpSource, OnlyTheControlAddressSpeaksForTheSessionAndNeverTheServersOwnEndpoint) {
  const struct {
    const char* name;
    const char* ip;
    int port;  // -1: the server's own UDP port
    bool follow_tcp_address;
    bool taken;
    uint64_t wrong_source;
    uint64_t own_endpoint;
  } cases[] = {
      {"same address, any port", "127.0.0.1", 50123, true, true, 0, 0},
      {"other loopback address", "127.0.0.2", 50123, true, false, 2, 0},
      {"remote address", "192.0.2.7", 50123, true, false, 2, 0},
      {"other address, check off", "127.0.0.2", 50123, false, true, 0, 0},
      {"own endpoint", "127.0.0.1", -1, true, false, 0, 2},
      {"own port on another local address", "127.0.0.9", -1, false, false, 0, 2},
      {"own port, unspecified address", "0.0.0.0", -1, false, false, 0, 2},
      {"own port on a remote host", "192.0.2.7", -1, false, true, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UdpHarness h;
    h.server.Config.UdpFollowsTcpAddress = c.follow_tcp_address;
    SessionPtr a = h.AddSession(101, 0);
    SessionPtr b = h.AddSession(202, 1);
    b->SetUdpEndpoint(htonl(INADDR_LOOPBACK), 40000);
    const uint16_t port = static_cast<uint16_t>(c.port < 0 ? h.server.Config.UDPPort : c.port);
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
}

class UdpReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client_.Ok());
    a_ = h_.AddSession(101, 0, 0, "alice");
  }
  void FromA(const Bytes& bytes) { h_.Deliver(bytes, client_.Port()); }

  UdpHarness h_;
  test::TestUdp client_;
  SessionPtr a_;
};

TEST_F(UdpReadTest, PacketIdGapCountsOneErrorAndEveryDatagramIsQueued) {
  for (uint32_t id : {5u, 6u, 8u, 9u}) FromA(RelayDatagram(101, id, {1, 2, 3}));
  EXPECT_EQ(a_->UdpErrors, 1u);
  EXPECT_EQ(a_->LastPacketId, 9u);
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 4u);
  EXPECT_EQ(a_->Traffic.UdpBytesIn, 4u * 19u);
  ASSERT_EQ(h_.Queued(), 4u);
  // A tested checksum field is left 0 for the send thread; id 8 failed first and kept its own.
  for (size_t i : {0u, 1u, 3u}) EXPECT_EQ(LoadU32(h_.QueuedAt(i).data() + kOffRelayChecksum), 0u);
  EXPECT_EQ(LoadU32(h_.QueuedAt(2).data() + kOffRelayPacketId), 8u);
  EXPECT_NE(LoadU32(h_.QueuedAt(2).data() + kOffRelayChecksum), 0u);
}

TEST_F(UdpReadTest, ChecksumIsTestedOnlyWhenThePacketIdFits) {
  Bytes wrong_sum = RelayDatagram(101, 1, {7, 7});
  wrong_sum[kOffRelayChecksum] ^= 0x01;
  FromA(wrong_sum);                            // first datagram: any id, the sum is wrong
  EXPECT_EQ(a_->UdpErrors, 1u);
  FromA(RelayDatagram(101, 2, {7, 7}));        // in sequence and right
  EXPECT_EQ(a_->UdpErrors, 1u);
  Bytes gap_and_wrong = RelayDatagram(101, 9, {7, 7});
  gap_and_wrong[kOffRelayChecksum + 3] ^= 0x80;
  FromA(gap_and_wrong);                        // at most one error per datagram
  EXPECT_EQ(a_->UdpErrors, 2u);
  EXPECT_EQ(h_.Queued(), 3u);
  EXPECT_EQ(h_.QueuedAt(0).size(), wrong_sum.size());
}

TEST_F(UdpReadTest, PacketIdsWrapFromTheLargestToZero) {
  FromA(RelayDatagram(101, 4294967295u, {}));
  FromA(RelayDatagram(101, 0, {}));
  EXPECT_EQ(a_->UdpErrors, 0u);
  // 0 also means "none yet", so the next id passes whatever it is.
  FromA(RelayDatagram(101, 77, {}));
  EXPECT_EQ(a_->UdpErrors, 0u);
  FromA(RelayDatagram(101, 79, {}));
  EXPECT_EQ(a_->UdpErrors, 1u);
}

TEST_F(UdpReadTest, AClientsPingIsAnsweredAtOnceFromTheReceivingSocketAndAnyPingAbove4IsAnAnswer) {
  FromA(PingDatagram(101, kPingKindPing, 3));
  auto answer = client_.Receive(Ms(2000));
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, BuildPingDatagram(101, kPingKindAnswer, 3));
  EXPECT_EQ(client_.LastSourcePort(), h_.Port());
  EXPECT_EQ(h_.server.Traffic.UdpPacketsOut, 1u);
  EXPECT_EQ(h_.server.Traffic.UdpBytesOut, 12u);
  EXPECT_EQ(h_.server.Traffic.UdpPacketsIn, 1u);
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 1u);
  EXPECT_EQ(a_->Traffic.UdpPacketsOut, 0u);  // the answer is the server's, not a relay to the session
  EXPECT_EQ(h_.Queued(), 0u);
  // A value above 4 answers the server's ping whatever its kind.
  a_->PingTries = 2;
  a_->PingSentTick = TickCount().value - 40;
  a_->PingPending = true;
  FromA(PingDatagram(101, kPingKindPing, kServerPingValue));
  EXPECT_GE(a_->PingTime, 40u);
  EXPECT_LT(a_->PingTime, 10000u);
  EXPECT_FALSE(a_->PingPending);
  EXPECT_EQ(a_->PingTries, 0);
  EXPECT_EQ(a_->PingSentTick, 0u);
  // An answer with no ping outstanding keeps PingTime but clears the tries.
  a_->PingTime = 55;
  a_->PingTries = 3;
  FromA(PingDatagram(101, kPingKindAnswer, 1));
  EXPECT_EQ(a_->PingTime, 55u);
  EXPECT_EQ(a_->PingTries, 0);
  FromA(PingDatagram(101, 9, 1));  // unknown kind: counted, nothing else
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 4u);
  // None of the last three was answered.
  EXPECT_FALSE(client_.Receive(Ms(20)));
  EXPECT_EQ(h_.server.Traffic.UdpPacketsOut, 1u);
}

// Even 4 bytes, just enough to name the session, move the endpoint and count as activity.
TEST_F(UdpReadTest, UnknownMagicMovesTheEndpointOnly) {
  test::TestUdp moved;
  ASSERT_TRUE(moved.Ok());
  const SteadyTime before = a_->LastActivitySteady();
  h_.Deliver({0x34, 0x12, 101, 0}, moved.Port());
  EXPECT_EQ(a_->UdpPort(), moved.Port());
  EXPECT_EQ(a_->UdpIP(), "127.0.0.1");
  EXPECT_GT(a_->LastActivitySteady(), before);
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 0u);
  EXPECT_EQ(a_->Traffic.UdpBytesIn, 0u);
  EXPECT_EQ(h_.Queued(), 0u);
  EXPECT_EQ(h_.server.Traffic.UdpPacketsIn, 1u);
  EXPECT_EQ(h_.server.Traffic.UdpBytesIn, 4u);
  // The next datagram from the first port takes the endpoint back.
  FromA(RelayDatagram(101, 1, {}));
  EXPECT_EQ(a_->UdpPort(), client_.Port());
}

TEST_F(UdpReadTest, UnknownAndLeavingSessionsAreRefusedAfterTheServerCounted) {
  FromA(RelayDatagram(999, 1, {1}));
  EXPECT_EQ(h_.server.Traffic.UdpPacketsIn, 1u);
  EXPECT_EQ(h_.Queued(), 0u);
  a_->Leaving = true;
  FromA(RelayDatagram(101, 1, {1}));
  FromA(PingDatagram(101, kPingKindPing, 1));
  EXPECT_EQ(h_.LogCount("ALERT UDP: Incoming traffic from leaving client :alice\r\n"), 2u);
  EXPECT_EQ(h_.server.Traffic.UdpPacketsIn, 3u);
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 0u);
  EXPECT_EQ(a_->UdpPort(), 0);
  EXPECT_EQ(h_.Queued(), 0u);
  EXPECT_FALSE(client_.Receive(Ms(20)));
}

TEST_F(UdpReadTest, AFloodingSessionFillsOnlyItsShareOfTheQueueUntilTheNextDrain) {
  SessionPtr b = h_.AddSession(102, 1);
  SessionPtr c = h_.AddSession(103, 2);
  auto from = [&](uint16_t session_id, uint16_t port, int count) {
    for (int i = 1; i <= count; ++i) h_.Deliver(RelayDatagram(session_id, static_cast<uint32_t>(i), {}), port);
  };
  // Alone, a sender may hold half of the 2048 places.
  from(101, client_.Port(), 3000);
  ASSERT_EQ(h_.Queued(), 1024u);
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 3000u);  // received and counted, not relayed
  // The others still get in while it floods on; their shares shrink as senders join, and the
  // whole queue still holds no more than 2048.
  from(102, 40002, 10);
  EXPECT_EQ(h_.Queued(), 1034u);
  from(101, client_.Port(), 100);
  EXPECT_EQ(h_.Queued(), 1034u);
  from(102, 40002, 1000);
  EXPECT_EQ(h_.Queued(), 1024u + 682u);  // b: 2048 / 3 with two senders
  from(103, 40003, 1000);
  EXPECT_EQ(h_.Queued(), 2048u);
  // A drain gives every sender its share again.
  h_.Drain();
  from(103, 40003, 1);
  from(101, client_.Port(), 1);
  EXPECT_EQ(h_.Queued(), 2u);
}

TEST_F(UdpReadTest, TheQueueHoldsLessWhenEachDatagramGoesToMoreClients) {
  // With 64 clients a datagram stands for 63 copies: 16384 / 63 = 260 of them fill the queue,
  // half of them one sender's.
  for (uint16_t i = 1; i < 64; ++i) h_.AddSession(static_cast<uint16_t>(200 + i), static_cast<uint8_t>(i));
  for (uint32_t id = 1; id <= 300; ++id) FromA(RelayDatagram(101, id, {}));
  EXPECT_EQ(h_.Queued(), 130u);
  for (uint16_t i = 1; i < 64; ++i)
    for (uint32_t id = 1; id <= 5; ++id) h_.Deliver(RelayDatagram(static_cast<uint16_t>(200 + i), id, {}), 40000 + i);
  EXPECT_EQ(h_.Queued(), 260u);
}

TEST_F(UdpReadTest, ShortDatagramsAreCountedAndDropped) {
  // Under AddressSanitizer each of these sits in a buffer of exactly its size.
  Bytes relay = RelayDatagram(101, 1, {});
  Bytes ping = PingDatagram(101, kPingKindPing, 1);
  std::vector<Bytes> shorts = {{}, {0xBA}, {0xBA, 0xB0, 101}, Bytes(relay.begin(), relay.begin() + 15),
                               Bytes(ping.begin(), ping.begin() + 7)};
  for (const Bytes& b : shorts) FromA(b);
  EXPECT_EQ(h_.server.Traffic.UdpPacketsIn, shorts.size());
  EXPECT_EQ(h_.server.Traffic.UdpBytesIn, 0u + 1 + 3 + 15 + 7);
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 0u);
  EXPECT_EQ(h_.Queued(), 0u);
  EXPECT_FALSE(client_.Receive(Ms(20)));
  // A ping of 8 bytes has every field the server reads.
  FromA(Bytes(ping.begin(), ping.begin() + 8));
  EXPECT_TRUE(client_.Receive(Ms(2000)));
}

}  // namespace
}  // namespace pv
