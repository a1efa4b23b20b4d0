// The session record's out-queue, session number choice, the session and room limits, and the
// framing rule of a control pass.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/errors.h"
#include "protocol/dispatch.h"
#include "protocol/login.h"
#include "protocol/rooms.h"
#include "protocol/stats.h"
#include "session_fixture.h"

namespace pv {
namespace {

using std::chrono::milliseconds;

TEST(ServerClient, FlushWritesOldestFirstCountsEveryPacketAndTriesNoneTwice) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  s->Enqueue({1, 2, 3});
  s->Enqueue({4, 5});
  s->Flush();
  EXPECT_EQ(s.Received(), "\1\2\3\4\5");
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 2u);
  EXPECT_EQ(s->Traffic.TcpBytesOut, 5u);
  EXPECT_EQ(server.Traffic.TcpPacketsOut, 2u);
  EXPECT_EQ(server.Traffic.TcpBytesOut, 5u);
  s->Flush();  // an empty queue writes nothing and counts nothing
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 2u);
  // Failed writes count for the session only; the failed packets are gone, not tried again.
  s->Connection().Close();
  for (int i = 0; i < 3; ++i) s->Enqueue({9, 9});
  EXPECT_NO_THROW(s->Flush());
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 5u);
  EXPECT_EQ(s->Traffic.TcpBytesOut, 11u);
  EXPECT_EQ(server.Traffic.TcpPacketsOut, 2u);
  s->Flush();
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 5u);
  // A destroyed session takes nothing and leaves its connection's slot.
  test::FakeSession d(server, "d", 8, 1);
  d.Thread().SetAppData(d.Ptr());
  d->Enqueue({1});
  d->Destroy();
  EXPECT_EQ(d.Thread().AppData(), nullptr);
  d->Enqueue({2});
  d->Flush();  // neither packet goes out
  EXPECT_EQ(d->Traffic.TcpPacketsOut, 0u);
  EXPECT_EQ(d.Received(milliseconds(50)), "");
}

TEST(ServerClient, WhatTheSocketDoesNotTakeStaysQueuedInOrderAndAStalledClientIsSlow) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  s.ShrinkBuffers();
  // Far more than the socket buffers hold, in packets of 1000 numbered bytes; nothing reads.
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> packet(1000, static_cast<uint8_t>(i));
    expected.append(packet.begin(), packet.end());
    s->Enqueue(packet);
  }
  EXPECT_EQ(s->SendQueued(), TServerClient::SendResult::kBytesLeft);
  EXPECT_GT(s->UnsentBytes(), 0u);
  SteadyTime now = SteadyNow();
  EXPECT_FALSE(s->IsSlowAt(now));
  EXPECT_TRUE(s->IsSlowAt(now + TServerClient::kStallLimit + milliseconds(10)));
  ASSERT_TRUE(s->StallDeadline());
  // While the socket is full, another thread's packet is only queued: no send is tried and the
  // connection's thread, which waits for the socket already, is not woken for it.
  TIdTCPConnection& connection = s->Connection();
  connection.WaitReady(false, milliseconds(0));
  s->Enqueue(std::vector<uint8_t>(1000, 200));
  expected.append(1000, static_cast<char>(200));
  s->Flush();
  EXPECT_FALSE(connection.WaitReady(false, milliseconds(0)).woken);
  // The client reads; once the connection's thread sees the socket writable, each send resumes
  // where the last one stopped.
  std::string received;
  for (int round = 0; round < 1000 && received.size() < expected.size(); ++round) {
    if (connection.WaitReady(true, milliseconds(0)).writable) s->SocketWritable();
    s->SendQueued();
    received += s.Received(milliseconds(20));
  }
  EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size() << " bytes";
  EXPECT_EQ(s->UnsentBytes(), 0u);
  EXPECT_FALSE(s->StallDeadline());
  EXPECT_FALSE(s->IsSlowAt(now + TServerClient::kStallLimit * 2));
  EXPECT_EQ(server.Traffic.TcpPacketsOut, 201u);
  EXPECT_EQ(server.Traffic.TcpBytesOut, 201000u);
}

TEST(ServerClient, AQueuePastItsBoundIsDroppedAndTheClientIsSlow) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  std::vector<uint8_t> packet(4096, 1);
  for (size_t queued = 0; queued + packet.size() <= TServerClient::kOutQueueLimit; queued += packet.size())
    s->Enqueue(packet);
  EXPECT_FALSE(s->IsSlowAt(SteadyNow()));
  s->Enqueue(packet);
  EXPECT_TRUE(s->IsSlowAt(SteadyNow()));
  EXPECT_EQ(s->UnsentBytes(), 0u);
  s->Enqueue(packet);  // a slow client takes nothing more
  EXPECT_EQ(s->UnsentBytes(), 0u);
}

TEST(ServerClient, OnlyExactly120IsLegacyAndAPingTimeAboveItsFieldIsReportedAsTheLargestValue) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  for (const char* version : {"1.2.0", "1.2.0 ", "1.2", "1.2.1", "1.3.1", ""}) {
    s->ClientVer = version;
    EXPECT_EQ(s->IsLegacy(), s->ClientVer == "1.2.0") << version;
  }
  s->PingTime = 70000;
  Locked(server.ClientList)->push_back(s.Ptr());
  uint8_t request[9] = {0xBA, 0xB0, 0, 0, 9, 0, 60, 0, 1};
  PlayerStatsReq(server, PacketView(request, sizeof request), *s);
  s->Flush();
  std::string answer = s.Received();
  ASSERT_EQ(answer.size(), 104u);
  EXPECT_EQ(LoadU16(reinterpret_cast<const uint8_t*>(answer.data()) + 20), 65535);
  Locked(server.ClientList)->clear();
}

TEST(Login, SessionIdsAreUniqueAndNoPlayerIndexIsFreeOnceAll255AreTaken) {
  TParleyvoxServer server;
  auto thread = std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(-1));
  std::set<int32_t> ids;
  std::vector<SessionPtr> clients;
  for (int i = 0; i < kMaxSessions; ++i) {
    clients.push_back(std::make_shared<TServerClient>(server, thread));
    int32_t id = ChooseSessionId(clients);
    EXPECT_GE(id, 1);
    EXPECT_LE(id, 50000);
    EXPECT_TRUE(ids.insert(id).second);
    clients.back()->SessionId = id;
    clients.back()->PlayerIndex = static_cast<uint8_t>(i);
  }
  EXPECT_EQ(ChoosePlayerIndex(clients), -1);
}

TEST(Rooms, NamesAreCutTo30AndThe256thRoomIsRefused) {
  TParleyvoxServer server;
  EXPECT_EQ(CreateRoom(server, std::string(40, 'd')).Name, std::string(30, 'd'));
  for (int i = 1; i < kMaxRooms; ++i) CreateRoom(server, "r" + std::to_string(i));
  EXPECT_THROW(CreateRoom(server, "one too many"), ERangeError);
  EXPECT_EQ(Locked(server.RoomList)->size(), 255u);
}

TEST(Framing, APacketIsWholeOnceItsHeaderAndItsLengthHaveArrived) {
  auto head = [](uint16_t length) {
    std::vector<uint8_t> bytes = {0xBA, 0xB0, 0, 0, 0, 0, 2, 0};
    StoreU16(bytes.data() + 4, length);
    return bytes;
  };
  const struct {
    const char* what;
    std::vector<uint8_t> head;
    size_t waiting;
    size_t needed;
  } cases[] = {
      {"one byte: the header first", {0xBA}, 1, 8},
      {"seven bytes: the header first", head(101), 7, 8},
      {"a login's header: all 101 bytes", head(101), 8, 101},
      {"a bare header", head(8), 8, 8},
      {"the longest packet", head(4096), 20, 4096},
      // Lengths that cannot be right take what arrived (0).
      {"a length below the header size", head(7), 8, 0},
      {"a length beyond the packet buffer", head(4097), 8, 0},
      {"a length of 0", head(0), 9, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(PacketBytesNeeded(c.head.data(), c.waiting), c.needed) << c.what;
}

}  // namespace
}  // namespace pv
