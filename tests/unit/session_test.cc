// The session record's out-queue, player and session number choice, rooms, and the framing rule
// of a control pass.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "base/errors.h"
#include "core/server.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "protocol/dispatch.h"
#include "protocol/login.h"
#include "protocol/rooms.h"
#include "protocol/stats.h"
#include "sessions/server_client.h"

namespace pv {
namespace {

// A session whose connection is one end of a socket pair; the test reads the other end.
struct SessionOnSocketPair {
  TParleyvoxServer server;
  int peer_fd = -1;
  std::shared_ptr<TIdPeerThread> thread;
  SessionPtr session;

  SessionOnSocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer_fd = fds[1];
    thread = std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(fds[0]));
    session = std::make_shared<TServerClient>(server, thread);
  }
  ~SessionOnSocketPair() { ::close(peer_fd); }
  std::vector<uint8_t> ReadAvailable() {
    std::vector<uint8_t> out(4096);
    ssize_t n = ::recv(peer_fd, out.data(), out.size(), MSG_DONTWAIT);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }
};

TEST(ServerClient, FlushWritesOldestFirstAndCountsEveryPacket) {
  SessionOnSocketPair s;
  s.session->Enqueue({1, 2, 3});
  s.session->EnqueueBytes(std::vector<uint8_t>{4, 5}.data(), 2);
  s.session->Flush();
  EXPECT_EQ(s.ReadAvailable(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(s.session->TcpPacketsOut, 2u);
  EXPECT_EQ(s.session->TcpBytesOut, 5u);
  EXPECT_EQ(s.server.TcpPacketsOut, 2u);
  EXPECT_EQ(s.server.TcpBytesOut, 5u);
  EXPECT_EQ(s.session->QueuedPackets(), 0u);
  s.session->Flush();  // an empty queue writes nothing and counts nothing
  EXPECT_EQ(s.session->TcpPacketsOut, 2u);
}

TEST(ServerClient, FailedWritesAreCountedForTheSessionOnlyAndTheQueueEmpties) {
  SessionOnSocketPair s;
  s.session->Connection().Close();
  for (int i = 0; i < 3; ++i) s.session->Enqueue({9, 9});
  EXPECT_NO_THROW(s.session->Flush());
  EXPECT_EQ(s.session->TcpPacketsOut, 3u);
  EXPECT_EQ(s.session->TcpBytesOut, 6u);
  EXPECT_EQ(s.server.TcpPacketsOut, 0u);
  EXPECT_EQ(s.session->QueuedPackets(), 0u);
}

TEST(ServerClient, DestroyedSessionTakesNothingAndLeavesTheConnectionsSlot) {
  SessionOnSocketPair s;
  s.thread->SetAppData(s.session);
  s.session->Enqueue({1});
  s.session->Destroy();
  EXPECT_EQ(s.thread->AppData(), nullptr);
  EXPECT_EQ(s.session->QueuedPackets(), 0u);  // dropped unsent
  s.session->Enqueue({2});
  s.session->Flush();
  EXPECT_EQ(s.session->QueuedPackets(), 0u);
  EXPECT_TRUE(s.ReadAvailable().empty());
}

TEST(ServerClient, UdpEndpointIsKeptWholeAndUnknownUntilSet) {
  SessionOnSocketPair s;
  EXPECT_EQ(s.session->UdpIP(), "");
  EXPECT_EQ(s.session->UdpPort(), 0);
  s.session->SetUdpEndpoint(htonl(0x7F000001), 4000);
  EXPECT_EQ(s.session->UdpIP(), "127.0.0.1");
  EXPECT_EQ(s.session->UdpPort(), 4000);
}

TEST(Login, PlayerIndexIsTheSmallestFreeAndSessionIdsAreUnique) {
  TParleyvoxServer server;
  std::vector<SessionPtr> clients;
  std::vector<std::shared_ptr<TIdPeerThread>> threads;
  for (int i = 0; i < 3; ++i) {
    threads.push_back(std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(-1)));
    int index = ChoosePlayerIndex(clients);
    EXPECT_EQ(index, i);
    clients.push_back(std::make_shared<TServerClient>(server, threads.back()));
    clients.back()->PlayerIndex = static_cast<uint8_t>(index);
  }
  EXPECT_EQ(ChoosePlayerIndex(clients), 3);
  clients.erase(clients.begin() + 1);
  EXPECT_EQ(ChoosePlayerIndex(clients), 1);

  std::set<int32_t> ids;
  std::vector<SessionPtr> many;
  for (int i = 0; i < 200; ++i) {
    threads.push_back(std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(-1)));
    many.push_back(std::make_shared<TServerClient>(server, threads.back()));
    int32_t id = ChooseSessionId(many);
    EXPECT_GE(id, 1);
    EXPECT_LE(id, 50000);
    many.back()->SessionId = id;
    EXPECT_TRUE(ids.insert(id).second);
  }
}

TEST(Login, NoIndexIsFreeOnceEveryOneOf255IsTaken) {
  TParleyvoxServer server;
  std::vector<SessionPtr> clients;
  auto thread = std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(-1));
  for (int i = 0; i < kMaxSessions; ++i) {
    clients.push_back(std::make_shared<TServerClient>(server, thread));
    clients.back()->PlayerIndex = static_cast<uint8_t>(i);
  }
  EXPECT_EQ(ChoosePlayerIndex(clients), -1);
}

TEST(Rooms, FreedIndexIsReusedAndTheNewRoomListedLast) {
  TParleyvoxServer server;
  for (auto name : {"a", "b", "c"}) CreateRoom(server, name);
  {
    auto rooms = server.RoomList.Lock();
    rooms->erase(rooms->begin() + 1);
  }
  RoomRecord d = CreateRoom(server, std::string(40, 'd'));
  EXPECT_EQ(d.RoomId(), 2);
  EXPECT_EQ(d.Name, std::string(30, 'd'));
  auto rooms = server.RoomList.Lock();
  EXPECT_EQ(rooms->back().Name, d.Name);
}

TEST(Rooms, The256thRoomIsRefused) {
  TParleyvoxServer server;
  for (int i = 0; i < kMaxRooms; ++i) CreateRoom(server, "r" + std::to_string(i));
  EXPECT_THROW(CreateRoom(server, "one too many"), ERangeError);
  EXPECT_EQ(server.RoomList.Lock()->size(), 255u);
}

TEST(Framing, WholePacketsAreTakenOneAtATime) {
  // Two 8-byte packets arrived together: after the first byte, 15 wait and Length says 8.
  EXPECT_EQ(BytesToTake(15, uint16_t{8}), 7u);
  // Three 75-byte packets: the first is taken, 150 bytes stay for the next passes.
  EXPECT_EQ(BytesToTake(224, uint16_t{75}), 74u);
  // A single packet, exactly as long as it says.
  EXPECT_EQ(BytesToTake(100, uint16_t{101}), 100u);
}

TEST(Framing, ImplausibleLengthsTakeWhatArrivedUpToOneBuffer) {
  EXPECT_EQ(BytesToTake(20, uint16_t{0}), 20u);     // Length below the header size
  EXPECT_EQ(BytesToTake(20, uint16_t{9000}), 20u);  // Length beyond what arrived
  EXPECT_EQ(BytesToTake(3, std::nullopt), 3u);      // too few bytes to hold a Length
  EXPECT_EQ(BytesToTake(4999, uint16_t{9000}), kPacketBufferSize - 1);  // 5000 bytes at once
  EXPECT_EQ(BytesToTake(0, std::nullopt), 0u);
}

}  // namespace
}  // namespace pv

namespace pv {
namespace {

TEST(PlayerStats, PingTimeAboveTheFieldIsReportedAsItsLargestValue) {
  SessionOnSocketPair s;
  s.session->PlayerIndex = 0;
  s.session->SessionId = 7;
  s.session->PingTime = 70000;
  s.server.ClientList.Lock()->push_back(s.session);
  uint8_t request[9] = {0xBA, 0xB0, 0, 0, 9, 0, 60, 0, 1};
  PlayerStatsReq(s.server, PacketView(request, sizeof request), *s.session);
  s.session->Flush();
  auto answer = s.ReadAvailable();
  ASSERT_EQ(answer.size(), 104u);
  EXPECT_EQ(LoadU16(answer.data() + 20), 65535);
  s.server.ClientList.Lock()->clear();
}

}  // namespace
}  // namespace pv
