// The UDP paths on an in-process server: no threads, no listeners, sessions made by hand, clients
// that are TestUdp sockets on 127.0.0.1, the event log in a file of the harness's own. UDPRead is
// fed datagrams as the listener feeds them: who may speak for a session, counters, the packet-id
// and checksum tests, pings, the endpoint, the queue's shares, datagrams too short. ProcessUDPList
// runs directly: the copies' exact bytes, what only a drain meets (senders and recipients gone
// since the queueing, failed sends, broken lists) with its log lines, the order within a drain,
// and the relay of a lone datagram. Who receives what is what clients meet: tests/e2e/udp_relay_test.cc.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/wire.h"
#include "core/server.h"
#include "net/socket_handle.h"
#include "net/tcp_server.h"
#include "session_fixture.h"
#include "sessions/datagrams.h"
#include "sessions/udp_read.h"
#include "sessions/udp_sender.h"
#include "support/test_udp.h"

namespace pv {
namespace {

using Bytes = std::vector<uint8_t>;
using test::PingDatagram;
using test::RelayDatagram;
using test::RelayDatagramTo;
using test::TestUdp;
using Ms = std::chrono::milliseconds;

sockaddr_in Addr(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  a.sin_port = htons(port);
  return a;
}

class UdpHarness {
 public:
  UdpHarness() : binding_("127.0.0.1", 0) { binding_.Open(); }

  // A logged-in session in ClientList. Its connection is a closed one from 127.0.0.1 (where the
  // harness's datagrams come from): nothing here writes to it.
  SessionPtr AddSession(uint16_t session_id, uint8_t player_index, int32_t room_index = 0,
                        const std::string& name = "") {
    auto connection = std::make_shared<TIdTCPConnection>(-1, "127.0.0.1");
    peers_.push_back(std::make_shared<TIdPeerThread>(nullptr, connection));
    auto session = std::make_shared<TServerClient>(server, peers_.back());
    session->SessionId = session_id;
    session->PlayerIndex = player_index;
    session->RoomIndex = room_index;
    session->ClientName = name.empty() ? "p" + std::to_string(player_index + 1) : name;
    Locked(server.ClientList)->push_back(session);
    return session;
  }

  // Hands `bytes` to UDPRead as received from 127.0.0.1:from_port. The bytes are copied into a
  // buffer of exactly their size, so a read past the end shows under AddressSanitizer.
  void Deliver(const Bytes& bytes, uint16_t from_port) { DeliverFrom(bytes, Addr("127.0.0.1", from_port)); }
  // The same from any source address.
  void DeliverFrom(const Bytes& bytes, const sockaddr_in& from) {
    auto exact = std::make_unique<uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    std::copy(bytes.begin(), bytes.end(), exact.get());
    UDPRead(server, nullptr, TIdReceivedDatagram{exact.get(), bytes.size(), from, false}, binding_);
  }
  void Drain() { ProcessUDPList(server, &binding_); }
  size_t Queued() { return Locked(server.UdpSendList)->size(); }
  Bytes QueuedAt(size_t i) { return Locked(server.UdpSendList)->at(i).bytes; }
  uint16_t Port() const { return binding_.Port(); }
  TIdSocketHandle& Binding() { return binding_; }

  size_t LogCount(const std::string& line) const {
    std::string text = log_.Text();
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  }

  TParleyvoxServer server;

 private:
  test::LogCapture log_;
  TIdSocketHandle binding_;
  std::vector<std::shared_ptr<TIdPeerThread>> peers_;
};

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

// A gap alone, a bad checksum alone, and both, as a client's loss: udp_relay_test.cc.
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
  EXPECT_EQ(a_->Traffic.UdpPacketsIn, 3u);
  EXPECT_EQ(a_->Traffic.UdpBytesIn, 3u * 18u);
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
  // The answer's bytes are what every end-to-end UDP test's Sync checks (support/udp_peer.h).
  ASSERT_TRUE(client_.Receive(Ms(2000)));
  EXPECT_EQ(client_.LastSourcePort(), h_.Port());
  EXPECT_EQ(h_.server.Traffic.UdpPacketsOut, 1u);
  EXPECT_EQ(h_.server.Traffic.UdpBytesOut, 12u);
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

// A session with a client socket of its own that is its UDP endpoint, as if it had sent a
// datagram from there.
struct Player {
  SessionPtr session;
  std::unique_ptr<TestUdp> udp = std::make_unique<TestUdp>();
};

class UdpSenderTest : public ::testing::Test {
 protected:
  Player& Add(uint16_t session_id, uint8_t player_index, int32_t room) {
    players_.push_back(Player{h_.AddSession(session_id, player_index, room)});
    players_.back().session->SetUdpEndpoint(htonl(INADDR_LOOPBACK), players_.back().udp->Port());
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
  std::erase(*Locked(h_.server.ClientList), a.session);  // a ends as the server ends a session
  a.session->Destroy();
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
  for (const Bytes& d : {RelayDatagram(11, 1, {1}, 0x42), RelayDatagramTo(11, 2, {3, 4}, {1}), truncated, no_count,
                         RelayDatagram(11, 9, {4, 5})})
    Send(a, d);
  h_.Drain();
  // Each copy carries the recipient's session id, its own length and checksum (also after a gap
  // in the packet ids, whose checksum field was left as sent), and the sender's packet id and
  // byte 7; a listed copy is in room mode without its list.
  for (const Bytes& copy : {RelayDatagram(22, 1, {1}, 0x42), RelayDatagram(22, 2, {1}), RelayDatagram(22, 9, {4, 5})})
    EXPECT_EQ(Got(b), copy);
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

TEST_F(UdpSenderTest, OneDrainKeepsTheArrivalOrder) {
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
  // In arrival order across senders too: ExpectNothingBut's markers in support/udp_peer.h rely on it.
  for (uint8_t id = 1; id <= kCount; ++id) {
    EXPECT_EQ(Got(c), RelayDatagram(33, id, {'a', id}));
    EXPECT_EQ(Got(c), RelayDatagram(33, id, {'b', id}));
  }
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
  h_.Drain();
  EXPECT_EQ(Got(b), RelayDatagram(22, 1, {1}));
  // Idle and nothing queued: relayed now, exactly as a drain relays it.
  ASSERT_TRUE(sender.TryRelayAlone(lone, h_.Binding()));
  EXPECT_EQ(Got(b), RelayDatagram(22, 2, {7, 7}));  // the recipient's session id, the checksum summed again
  // A stopped thread relays nothing more.
  sender.Terminate();
  h_.server.SystemEvent.Set();
  ASSERT_TRUE(sender.WaitFor(Ms(2000)));
  EXPECT_FALSE(sender.TryRelayAlone(lone, h_.Binding()));
  EXPECT_TRUE(Nothing(b));
}

}  // namespace
}  // namespace pv
