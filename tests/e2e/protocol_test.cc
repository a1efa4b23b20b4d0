// The control protocol as clients meet it: login and its refusals, ServerInfo, joins and leaves,
// rooms, framing, and a server that keeps serving while one client misbehaves.
#include <future>
#include <latch>
#include <set>

#include "support/server_test.h"

namespace pv::test {
namespace {

using Protocol = ServerTest;

TEST_F(Protocol, LoginAcceptedCarriesTheNameAndTheNextPacketTheSessionId) {
  StartServer({{"General", {{"Servername", "Test Server"}}}});
  TestClient& a = Client("alice");
  ASSERT_TRUE(a.LoginAnswer());
  const ServerPacket& answer = *a.LoginAnswer();
  EXPECT_EQ(answer.Code, kPktLoginAccepted);
  EXPECT_EQ(answer.SessionId, 0);
  EXPECT_EQ(ParseLoginAccepted(answer).ServerName, "Test Server");
  EXPECT_NE(a.SessionId(), 0);
  EXPECT_LE(a.SessionId(), 50000);
  EXPECT_EQ(a.PlayerId(), 1);
  ASSERT_TRUE(a.LoginServerInfo());
  EXPECT_EQ(a.LoginServerInfo()->Rooms.size(), 1u);
  EXPECT_EQ(a.LoginServerInfo()->Rooms[0].Name, "Default");
}

TEST_F(Protocol, ServerFullRefusesAndTheSlotIsReusedAfterALeave) {
  StartServer({{"General", {{"MaxClients", "2"}}}});
  TestClient& a = Client("a");
  Client("b");
  TestClient& c = Client();
  c.Send(ClientLogin("c", "", "1.2.1"));
  auto full = c.WaitFor(kPktServerFull);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->Length, 8);
  EXPECT_EQ(full->SessionId, 0);
  EXPECT_TRUE(c.IsClosedByServer());
  a.Send(Leave());
  EXPECT_TRUE(a.IsClosedByServer());
  TestClient& d = Client();
  EXPECT_TRUE(server_->WaitForLog("Distroying client a[1]"));
  EXPECT_TRUE(d.Login("d"));
  EXPECT_EQ(d.PlayerId(), 1);
}

TEST_F(Protocol, LoginsRacingForTheLastSlotsNeverExceedMaxClients) {
  constexpr int kMax = 3, kRacers = 12;
  StartServer({{"General", {{"MaxClients", std::to_string(kMax)}}}});
  std::vector<TestClient*> racers;
  for (int i = 0; i < kRacers; ++i) racers.push_back(&Client());
  // Every login leaves at the same moment, each from a thread of its own.
  std::latch go(kRacers);
  std::vector<std::future<int16_t>> answers;
  for (int i = 0; i < kRacers; ++i) {
    answers.push_back(std::async(std::launch::async, [&, i] {
      go.arrive_and_wait();
      racers[i]->Send(ClientLogin("r" + std::to_string(i), "", "1.2.1"));
      auto answer = racers[i]->WaitFor(
          [](const ServerPacket& p) { return p.Code == kPktLoginAccepted || p.Code == kPktServerFull; }, kDefaultWait,
          "answer to ClientLogin");
      return answer ? answer->Code : int16_t{0};
    }));
  }
  std::set<uint16_t> session_ids;
  int accepted = 0, full = 0;
  for (int i = 0; i < kRacers; ++i) {
    int16_t code = answers[i].get();
    if (code == kPktLoginAccepted) {
      ++accepted;
      session_ids.insert(racers[i]->SessionId());
    }
    full += code == kPktServerFull;
  }
  EXPECT_EQ(accepted, kMax);
  EXPECT_EQ(full, kRacers - kMax);
  EXPECT_EQ(session_ids.size(), static_cast<size_t>(kMax));
}

TEST_F(Protocol, WrongServerPasswordIsRefusedAndLetterCaseCounts) {
  StartServer({{"Passwords", {{"ServerPassword", "Secret"}}}});
  TestClient& bad = Client();
  bad.Send(ClientLogin("x", "secret", "1.2.1"));
  auto refused = bad.WaitFor(kPktBadServerPassword);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->Length, 8);
  EXPECT_TRUE(bad.IsClosedByServer());
  TestClient& good = Client("y", "1.2.1", "Secret");
  EXPECT_EQ(good.PlayerId(), 1);
  EXPECT_EQ(server_->Log().find("Created client x"), std::string::npos);
}

TEST_F(Protocol, PlayerIdsAreTheSmallestFreeAndJoinsGoToTheOthersOnly) {
  StartServer();
  TestClient& a = Client("a");
  TestClient& b = Client("b");
  auto joined = a.WaitFor(kPktPlayerJoined);
  ASSERT_TRUE(joined);
  EXPECT_EQ(ParsePlayerJoined(*joined).PlayerId, 2);
  EXPECT_EQ(ParsePlayerJoined(*joined).RoomId, 1);
  EXPECT_EQ(ParsePlayerJoined(*joined).ClientName, "b");
  EXPECT_EQ(joined->SessionId, a.SessionId());
  EXPECT_EQ(Client("c").PlayerId(), 3);
  b.Send(Leave());
  ASSERT_TRUE(a.WaitFor(LeftOf(2)));
  EXPECT_TRUE(b.IsClosedByServer());
  TestClient& d = Client("d");
  EXPECT_EQ(d.PlayerId(), 2);
  EXPECT_EQ(Count(d.CollectAll(std::chrono::milliseconds(200)), kPktPlayerJoined), 0);
}

TEST_F(Protocol, ServerInfoLayoutByClientVersion) {
  StartServer();
  TestClient& modern = Client("m", "");  // any version but exactly "1.2.0"
  TestClient& legacy = Client("l", "1.2.0");
  modern.Send(ClientReady());
  auto info = modern.WaitFor(kPktServerInfo);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Length, 12 + 32 + 2 * 34);  // one room, two players
  EXPECT_EQ(info->Raw.size(), info->Length);
  EXPECT_EQ(info->SessionId, modern.SessionId());
  legacy.Send(ClientReady());
  auto old_info = legacy.WaitFor(kPktServerInfoLegacy);
  ASSERT_TRUE(old_info);
  EXPECT_EQ(old_info->Length, 12 + 32 + 2 * 33);
}

TEST_F(Protocol, RefusedReadyClosesAndEveryoneHearsTheLeave) {
  StartServer();
  TestClient& a = Client("a");
  TestClient& b = Client("b");
  b.Send(ClientReady(1));
  auto refused = b.WaitFor(-5);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->Length, 8);
  EXPECT_TRUE(b.WaitFor(LeftOf(2)));
  EXPECT_TRUE(b.IsClosedByServer());
  EXPECT_TRUE(a.WaitFor(LeftOf(2)));
}

TEST_F(Protocol, LeaveAndDroppedConnectionEachGiveOnePlayerLeft) {
  StartServer();
  TestClient& a = Client("a");
  TestClient& b = Client("b");
  TestClient& c = Client("c");
  b.Send(Leave());
  auto b_sees = b.CollectAll(std::chrono::milliseconds(300));
  EXPECT_EQ(Count(b_sees, kPktPlayerLeft), 1);
  c.Close();
  ASSERT_TRUE(server_->WaitForLog("Distroying client c[3]"));
  auto a_sees = a.CollectAll(std::chrono::milliseconds(300));
  int left_b = 0, left_c = 0;
  for (auto& p : a_sees)
    if (p.Code == kPktPlayerLeft) {
      auto msg = ParsePlayerLeft(p);
      EXPECT_EQ(msg.LeaveReason, 0);
      left_b += msg.PlayerId == 2;
      left_c += msg.PlayerId == 3;
    }
  EXPECT_EQ(left_b, 1);
  EXPECT_EQ(left_c, 1);
}

TEST_F(Protocol, RoomChangeIsBroadcastEvenForAnUnknownRoom) {
  StartServer();
  TestClient& a = Client("a");
  TestClient& b = Client("b");
  a.Send(ChangeRoom(9));
  for (TestClient* c : {&a, &b}) {
    auto moved = c->WaitFor(kPktPlayerChangedRoom);
    ASSERT_TRUE(moved);
    EXPECT_EQ(ParsePlayerChangedRoom(*moved).PlayerId, 1);
    EXPECT_EQ(ParsePlayerChangedRoom(*moved).RoomId, 9);
  }
  b.Send(ClientReady());
  auto info = b.WaitFor(kPktServerInfo);
  ASSERT_TRUE(info);
  EXPECT_EQ(ParseServerInfo(*info).Players[0].RoomId, 9);
}

TEST_F(Protocol, RoomCommandsNeedAnAdministrator) {
  StartServer();
  TestClient& a = Client("a");
  for (const Bytes& command : {AdminCreateRoom("x"), AdminDeleteRoom(1), AdminSaveAsDefaultChannels(),
                               AdminKickPlayer(1), AdminChangeServerPassword("p"), AdminChangeAdminPassword("p")}) {
    a.Send(command);
    EXPECT_TRUE(a.WaitFor(-100));
  }
}

TEST_F(Protocol, RoomsAreCreatedDeletedReusedAndSaved) {
  StartServer({{"Channels", {{"0", "Lobby"}, {"1", "Games"}, {"3", "Music"}}}});
  TestClient& admin = Admin();
  TestClient& other = Client("other");
  ASSERT_TRUE(other.LoginServerInfo());
  EXPECT_EQ(other.LoginServerInfo()->Rooms.size(), 2u);
  admin.Send(AdminCreateRoom("lobby"));
  EXPECT_TRUE(admin.WaitFor(-111));
  admin.Send(AdminCreateRoom("Third"));
  auto created = other.WaitFor(kPktRoomCreated);
  ASSERT_TRUE(created);
  EXPECT_EQ(ParseRoomCreated(*created).RoomId, 3);
  EXPECT_EQ(ParseRoomCreated(*created).Name, "Third");
  admin.Send(AdminDeleteRoom(7));
  EXPECT_TRUE(admin.WaitFor(-120));
  admin.Send(AdminDeleteRoom(2));
  auto deleted = other.WaitFor(kPktRoomDeleted);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(ParseRoomDeleted(*deleted), 2);
  admin.Send(AdminCreateRoom("Fourth"));
  auto reused = other.WaitFor(kPktRoomCreated);
  ASSERT_TRUE(reused);
  EXPECT_EQ(ParseRoomCreated(*reused).RoomId, 2);
  other.Send(ClientReady());
  auto info = other.WaitFor(kPktServerInfo);
  ASSERT_TRUE(info);
  auto rooms = ParseServerInfo(*info).Rooms;
  ASSERT_EQ(rooms.size(), 3u);
  EXPECT_EQ(rooms.back().Name, "Fourth");  // the freed index is listed last
  admin.Send(AdminSaveAsDefaultChannels());
  EXPECT_TRUE(admin.WaitFor(150));
  std::string ini = server_->IniText();
  EXPECT_NE(ini.find("[Channels]\r\n0=Lobby\r\n1=Third\r\n2=Fourth\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("Music"), std::string::npos);
}

TEST_F(Protocol, AnonymousConnectionIsClosedByAnyCodeButLogin) {
  StartServer();
  TestClient& c = Client();
  c.Send(ServerStatsReq());
  EXPECT_TRUE(c.IsClosedByServer());
  EXPECT_EQ(server_->Log().find("Distroying client"), std::string::npos);
}

TEST_F(Protocol, UnknownCodeIsCountedAndIgnored) {
  StartServer();
  TestClient& a = Client("a");
  a.Send(ServerStatsReq());
  auto before = a.WaitFor(kPktServerStats);
  ASSERT_TRUE(before);
  a.Send(RawCommand(999, {1, 2, 3}));
  a.Send(ServerStatsReq());
  auto after = a.WaitFor(kPktServerStats);
  ASSERT_TRUE(after);
  EXPECT_EQ(ParseServerStats(*after).Traffic.TcpPacketsIn - ParseServerStats(*before).Traffic.TcpPacketsIn, 2u);
  EXPECT_EQ(ParseServerStats(*after).Traffic.TcpBytesIn - ParseServerStats(*before).Traffic.TcpBytesIn, 11u + 8u);
}

TEST_F(Protocol, PacketsSentTogetherAreAllAnswered) {
  StartServer();
  TestClient& a = Client("a");
  Bytes two = ServerStatsReq();
  Bytes ready = ClientReady();
  two.insert(two.end(), ready.begin(), ready.end());
  a.Send(two);
  EXPECT_TRUE(a.WaitFor(kPktServerStats));
  EXPECT_TRUE(a.WaitFor(kPktServerInfo));
  Bytes one = PlayerStatsReq(1), three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), one.begin(), one.end());
  a.Send(three);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(a.WaitFor(kPktPlayerStats));
}

TEST_F(Protocol, GarbageFromOneClientLeavesTheOthersServed) {
  StartServer();
  TestClient& good = Client("good");
  TestClient& bad = Client("bad");
  bad.Send(Bytes{0xFF});                                   // truncated
  bad.Send(Bytes(10000, 0x5A));                            // 10000 bytes at once
  Bytes long_text = AdminCreateRoom("x");
  long_text[8] = 255;                                      // a length byte of 255
  bad.Send(long_text);
  Bytes random(300);
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>(i * 37 + 11);
  bad.Send(random);
  good.Send(ClientReady());
  EXPECT_TRUE(good.WaitFor(kPktServerInfo));
  TestClient& late = Client("late");
  EXPECT_GT(late.PlayerId(), 0);
}

}  // namespace
}  // namespace pv::test
