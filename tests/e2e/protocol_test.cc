// The control protocol as clients meet it: login and its refusals, ServerInfo, joins and leaves,
// rooms, framing, and a server that keeps serving while one client misbehaves.
#include <future>
#include <latch>
#include <set>

#include "support/server_test.h"

namespace pv::test {
namespace {

using Protocol = ServerTest;

// One session's life as it and the others see it: the login's answer, player ids, joins and
// leaves, a refused ClientReady and a room change.
TEST_F(Protocol, LoginIdsJoinsLeavesAndRoomChangesAsEveryoneSeesThem) {
  StartServer({{"General", {{"Servername", "Test Server"}}}});
  TestClient& a = Client("alice");
  ASSERT_TRUE(a.LoginAnswer());
  EXPECT_EQ(ParseLoginAccepted(*a.LoginAnswer()).ServerName, "Test Server");
  EXPECT_EQ(a.PlayerId(), 1);

  // Player ids are the smallest free; a join goes to the others only.
  TestClient& b = Client("b");
  auto joined = a.WaitFor(kPktPlayerJoined);
  ASSERT_TRUE(joined);
  EXPECT_EQ(ParsePlayerJoined(*joined).PlayerId, 2);
  EXPECT_EQ(ParsePlayerJoined(*joined).RoomId, 1);
  EXPECT_EQ(joined->SessionId, a.SessionId());
  EXPECT_EQ(Client("c").PlayerId(), 3);
  // A leave is told once, to the leaver too (a reset is hostile_clients_test.cc's), and frees its id.
  b.Send(Leave());
  auto left = a.WaitFor(LeftOf(2));
  ASSERT_TRUE(left);
  EXPECT_EQ(ParsePlayerLeft(*left).LeaveReason, 0);
  EXPECT_TRUE(b.IsClosedByServer());
  EXPECT_EQ(Count(b.CollectAll(Ms(0)), kPktPlayerLeft), 1);
  TestClient& d = Client("d");
  EXPECT_EQ(d.PlayerId(), 2);
  EXPECT_EQ(Count(d.CollectAll(Ms(200)), kPktPlayerJoined), 0);
  EXPECT_EQ(Count(a.CollectAll(Ms(0)), kPktPlayerLeft), 0);

  // A refused ClientReady closes the connection, and everyone hears the leave.
  TestClient& e = Client("e");
  e.Send(ClientReady(1));
  EXPECT_TRUE(e.WaitFor(-5));
  EXPECT_TRUE(e.WaitFor(LeftOf(4)));
  EXPECT_TRUE(e.IsClosedByServer());
  EXPECT_TRUE(a.WaitFor(LeftOf(4)));

  // A room change is told to everyone, even one to a room that does not exist.
  a.Send(ChangeRoom(9));
  for (TestClient* c : {&a, &d}) {
    auto moved = c->WaitFor(kPktPlayerChangedRoom);
    ASSERT_TRUE(moved);
    EXPECT_EQ(ParsePlayerChangedRoom(*moved).PlayerId, 1);
    EXPECT_EQ(ParsePlayerChangedRoom(*moved).RoomId, 9);
  }
  auto info = d.AskServerInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Players[0].PlayerId, 1);
  EXPECT_EQ(info->Players[0].RoomId, 9);
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
      racers[i]->Login("r" + std::to_string(i));
      return racers[i]->LoginAnswer() ? racers[i]->LoginAnswer()->Code : int16_t{0};
    }));
  }
  std::set<uint16_t> session_ids;
  std::vector<TestClient*> in;
  int full = 0;
  for (int i = 0; i < kRacers; ++i) {
    int16_t code = answers[i].get();
    if (code == kPktLoginAccepted) {
      in.push_back(racers[i]);
      session_ids.insert(racers[i]->SessionId());
    }
    if (code == kPktServerFull) {
      ++full;
      EXPECT_TRUE(racers[i]->IsClosedByServer());
    }
  }
  EXPECT_EQ(in.size(), static_cast<size_t>(kMax));
  EXPECT_EQ(full, kRacers - kMax);
  EXPECT_EQ(session_ids.size(), in.size());
  // That a leave frees its slot is Pvctl.RefusalsExitOneWithTheReason's: its runs one after
  // another on a server of three slots.
}

// What each connection sends is carried out or refused on its own and harms no other: rooms an
// administrator creates, deletes, reuses and saves, commands another client may not give, packets
// sent together, an anonymous connection's first command that is not a login, and garbage.
TEST_F(Protocol, EachConnectionsCommandsAreCarriedOutOrRefusedAndItsGarbageHarmsNoOther) {
  StartServer({{"Channels", {{"0", "Lobby"}, {"1", "Games"}, {"3", "Music"}}}});
  TestClient& admin = Admin();
  // What the others hear of rooms made and deleted, and the reuse of a freed id, are
  // Pvctl.ReadCommandsWithoutAdministratorLoginThenAdministratorCommandsAsOtherClientsSeeThem's.
  for (const Bytes& command : {AdminCreateRoom("Third"), AdminDeleteRoom(2), AdminCreateRoom("Fourth"),
                               AdminSaveAsDefaultChannels()})
    admin.Send(command);
  EXPECT_TRUE(admin.WaitFor(150));
  TestClient& a = Client("a");
  const auto& info = a.LoginServerInfo();
  ASSERT_TRUE(info);
  ASSERT_EQ(info->Rooms.size(), 3u);
  EXPECT_EQ(info->Rooms.back().RoomId, 2);
  EXPECT_EQ(info->Rooms.back().Name, "Fourth");  // the freed id is listed last
  std::string ini = server_->IniText();
  EXPECT_NE(ini.find("[Channels]\r\n0=Lobby\r\n1=Third\r\n2=Fourth\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("Music"), std::string::npos);

  for (const Bytes& command : {AdminCreateRoom("x"), AdminDeleteRoom(1), AdminSaveAsDefaultChannels(),
                               AdminKickPlayer(1), AdminChangeServerPassword("p"), AdminChangeAdminPassword("p")}) {
    a.Send(command);
    EXPECT_TRUE(a.WaitFor(-100));
  }
  a.Send(Together({ServerStatsReq(), ClientReady()}));
  EXPECT_TRUE(a.WaitFor(kPktServerStats));
  EXPECT_TRUE(a.WaitFor(kPktServerInfo));
  a.Send(Repeated(PlayerStatsReq(1), 3));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(a.WaitFor(kPktPlayerStats));

  TestClient& anonymous = Client();
  anonymous.Send(ServerStatsReq());
  EXPECT_TRUE(anonymous.IsClosedByServer());
  EXPECT_EQ(server_->Log().find("Distroying client"), std::string::npos);

  TestClient& bad = Client("bad");
  bad.Send(Bytes{0xFF});                                   // truncated
  bad.Send(Bytes(10000, 0x5A));                            // 10000 bytes at once
  Bytes long_text = AdminCreateRoom("x");
  long_text[8] = 255;                                      // a length byte of 255
  bad.Send(long_text);
  Bytes random(300);
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>(i * 37 + 11);
  bad.Send(random);
  EXPECT_TRUE(a.AskServerInfo());
  TestClient& late = Client("late");
  EXPECT_GT(late.PlayerId(), 0);
}

}  // namespace
}  // namespace pv::test
