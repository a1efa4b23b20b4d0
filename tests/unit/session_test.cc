// The session record's out-queue, session number choice, the session and room limits, and the
// framing rule of a control pass.
#include <gtest/gtest.h>

#include <set>

#include "base/errors.h"
#include "protocol/dispatch.h"
#include "protocol/login.h"
#include "protocol/rooms.h"
#include "protocol/stats.h"
#include "session_fixture.h"

namespace pv {
namespace {

using std::chrono::milliseconds;

TEST(ServerClient, FlushWritesOldestFirstAndCountsEveryPacket) {
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
}

TEST(ServerClient, FailedWritesAreCountedForTheSessionOnlyAndTheQueueEmpties) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  s->Connection().Close();
  for (int i = 0; i < 3; ++i) s->Enqueue({9, 9});
  EXPECT_NO_THROW(s->Flush());
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 3u);
  EXPECT_EQ(s->Traffic.TcpBytesOut, 6u);
  EXPECT_EQ(server.Traffic.TcpPacketsOut, 0u);
  s->Flush();  // the failed packets are gone, not tried again
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 3u);
}

TEST(ServerClient, DestroyedSessionTakesNothingAndLeavesTheConnectionsSlot) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  s.Thread().SetAppData(s.Ptr());
  s->Enqueue({1});
  s->Destroy();
  EXPECT_EQ(s.Thread().AppData(), nullptr);
  s->Enqueue({2});
  s->Flush();  // neither packet goes out
  EXPECT_EQ(s->Traffic.TcpPacketsOut, 0u);
  EXPECT_EQ(s.Received(milliseconds(50)), "");
}

TEST(ServerClient, OnlyExactly120IsLegacy) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  for (const char* version : {"", "1.2.0 ", "1.2", "1.2.1", "1.3.1"}) {
    s->ClientVer = version;
    EXPECT_FALSE(s->IsLegacy()) << version;
  }
  s->ClientVer = "1.2.0";
  EXPECT_TRUE(s->IsLegacy());
}

TEST(ServerClient, PingTimeAboveItsFieldIsReportedAsTheLargestValue) {
  TParleyvoxServer server;
  test::FakeSession s(server, "a", 7, 0);
  s->PingTime = 70000;
  server.ClientList.Lock()->push_back(s.Ptr());
  uint8_t request[9] = {0xBA, 0xB0, 0, 0, 9, 0, 60, 0, 1};
  PlayerStatsReq(server, PacketView(request, sizeof request), *s);
  s->Flush();
  std::string answer = s.Received();
  ASSERT_EQ(answer.size(), 104u);
  EXPECT_EQ(LoadU16(reinterpret_cast<const uint8_t*>(answer.data()) + 20), 65535);
  server.ClientList.Lock()->clear();
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
  EXPECT_EQ(server.RoomList.Lock()->size(), 255u);
}

TEST(Framing, APassTakesOneWholePacketAfterItsFirstByte) {
  const struct {
    const char* what;
    size_t waiting;
    std::optional<uint16_t> length;
    size_t taken;
  } cases[] = {
      {"two 8-byte packets: 15 wait after the first byte", 15, 8, 7},
      {"three 75-byte packets: 150 bytes stay for the next passes", 224, 75, 74},
      {"one packet exactly as long as it says", 100, 101, 100},
      // Implausible lengths take what arrived, up to one buffer.
      {"a length below the header size", 20, 0, 20},
      {"a length beyond what arrived", 20, 9000, 20},
      {"too few bytes to hold a length", 3, std::nullopt, 3},
      {"5000 bytes at once", 4999, 9000, kPacketBufferSize - 1},
      {"nothing", 0, std::nullopt, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(BytesToTake(c.waiting, c.length), c.taken) << c.what;
}

}  // namespace
}  // namespace pv
