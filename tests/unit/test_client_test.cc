// The test client library: its stream splitter, its command builders against literal bytes, its
// reading of server packets against the server's builders, and its connection and UDP helpers
// against a small loopback peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "protocol/packets.h"
#include "sessions/datagrams.h"
#include "support/client_packets.h"
#include "support/packet_stream.h"
#include "support/test_client.h"
#include "support/test_udp.h"

namespace pv::test {
namespace {

TEST(PacketSplitter, TwoPacketsInOneChunk) {
  Bytes a = BuildPlayerLeft(7, 2, LeaveReason::kLeft);
  Bytes b = BuildRoomCreated(7, 3, "Games");
  Bytes chunk = a;
  chunk.insert(chunk.end(), b.begin(), b.end());
  PacketSplitter s;
  s.Feed(chunk.data(), chunk.size());
  EXPECT_EQ(s.Next(), a);
  EXPECT_EQ(s.Next(), b);
  EXPECT_FALSE(s.Next());
  EXPECT_EQ(s.Buffered(), 0u);
}

TEST(PacketSplitter, PacketSplitAcrossChunks) {
  Bytes a = BuildServerInfo(9, 1, {{1, "Lobby"}}, {{1, 1, false, "Ann"}}, false);
  Bytes b = BuildCommandReply(9, kReplyNotAdmin);
  PacketSplitter s;
  // Cut inside the Length field itself, then inside the body, then feed the rest with b.
  s.Feed(a.data(), 5);
  EXPECT_FALSE(s.Next());
  s.Feed(a.data() + 5, 20);
  EXPECT_FALSE(s.Next());
  Bytes rest(a.begin() + 25, a.end());
  rest.insert(rest.end(), b.begin(), b.begin() + 3);
  s.Feed(rest.data(), rest.size());
  EXPECT_EQ(s.Next(), a);
  EXPECT_FALSE(s.Next());
  s.Feed(b.data() + 3, b.size() - 3);
  EXPECT_EQ(s.Next(), b);
}

TEST(PacketSplitter, LengthBelowHeaderStillMovesOn) {
  Bytes bad = {0xBA, 0xB0, 0, 0, 0, 0, 1, 0};
  Bytes good = BuildRoomDeleted(1, 2);
  bad.insert(bad.end(), good.begin(), good.end());
  PacketSplitter s;
  s.Feed(bad.data(), bad.size());
  EXPECT_EQ(s.Next()->size(), 8u);
  EXPECT_EQ(s.Next(), good);
}

TEST(ClientPackets, CommandsMatchTheirLayouts) {
  Bytes login = ClientLogin("Ann", "pw", "1.2.0");
  ASSERT_EQ(login.size(), kClientLoginSize);
  EXPECT_EQ(Bytes(login.begin(), login.begin() + 12),
            (Bytes{0xBA, 0xB0, 0, 0, 101, 0, 1, 0, 3, 'A', 'n', 'n'}));
  EXPECT_EQ(login[39], 2);
  EXPECT_EQ(login[70], 5);
  EXPECT_EQ(login[71], '1');
  EXPECT_EQ(ClientReady(1), (Bytes{0xBA, 0xB0, 0, 0, 10, 0, 2, 0, 0, 1}));
  EXPECT_EQ(ChangeRoom(9), (Bytes{0xBA, 0xB0, 0, 0, 9, 0, 50, 0, 9}));
  EXPECT_EQ(Leave(), (Bytes{0xBA, 0xB0, 0, 0, 8, 0, 51, 0}));
  EXPECT_EQ(PlayerStatsReq(3), (Bytes{0xBA, 0xB0, 0, 0, 9, 0, 60, 0, 3}));
  EXPECT_EQ(ServerStatsReq(), (Bytes{0xBA, 0xB0, 0, 0, 8, 0, 70, 0}));
  EXPECT_EQ(AdminDeleteRoom(2), (Bytes{0xBA, 0xB0, 0, 0, 9, 0, 120, 0, 2}));
  EXPECT_EQ(AdminKickPlayer(4), (Bytes{0xBA, 0xB0, 0, 0, 9, 0, 130, 0, 4}));
  EXPECT_EQ(AdminSaveAsDefaultChannels(), (Bytes{0xBA, 0xB0, 0, 0, 8, 0, 150, 0}));
  EXPECT_EQ(RawCommand(999, {1, 2}), (Bytes{0xBA, 0xB0, 0, 0, 10, 0, 0xE7, 0x03, 1, 2}));
}

TEST(ClientPackets, ServerReadsWhatTheClientWrites) {
  auto view = [](const Bytes& b) { return PacketView(b.data(), b.size()); };
  Bytes login = ClientLogin("Ann", "secret", "1.2.0");
  LoginRequest r = ParseClientLogin(view(login));
  EXPECT_EQ(r.Name, "Ann");
  EXPECT_EQ(r.Password, "secret");
  EXPECT_EQ(r.Version, "1.2.0");
  EXPECT_TRUE(ParseClientReadyRefused(view(ClientReady(1))));
  EXPECT_FALSE(ParseClientReadyRefused(view(ClientReady())));
  EXPECT_EQ(ParseAdminLogin(view(AdminLogin("vimbo"))), "vimbo");
  EXPECT_EQ(ParseAdminCreateRoom(view(AdminCreateRoom("Music"))), "Music");
  EXPECT_EQ(ParseAdminChangeServerPassword(view(AdminChangeServerPassword("x"))), "x");
  EXPECT_EQ(ParseAdminChangeAdminPassword(view(AdminChangeAdminPassword("y"))), "y");
}

TEST(ClientPackets, ReadsEveryServerPacket) {
  auto info = ParseServerInfo(MakeServerPacket(BuildServerInfo(
      5, 2, {{1, "Lobby"}, {4, "Music"}}, {{1, 4, true, "Ann"}, {2, 1, false, "Bob"}}, false)));
  EXPECT_FALSE(info.Legacy);
  EXPECT_EQ(info.PlayerId, 2);
  ASSERT_EQ(info.Rooms.size(), 2u);
  EXPECT_EQ(info.Rooms[1].RoomId, 4);
  EXPECT_EQ(info.Rooms[1].Name, "Music");
  ASSERT_EQ(info.Players.size(), 2u);
  EXPECT_TRUE(info.Players[0].IsAdmin);
  EXPECT_EQ(info.Players[1].ClientName, "Bob");
  auto legacy = ParseServerInfo(MakeServerPacket(
      BuildServerInfo(5, 1, {}, {{1, 3, true, "Ann"}, {2, 1, false, "Bo"}}, true)));
  EXPECT_TRUE(legacy.Legacy);
  ASSERT_EQ(legacy.Players.size(), 2u);
  EXPECT_EQ(legacy.Players[1].ClientName, "Bo");
  EXPECT_FALSE(legacy.Players[0].IsAdmin);

  ServerPacket joined = MakeServerPacket(BuildPlayerJoined(5, 3, 1, "Cy"));
  EXPECT_EQ(joined.SessionId, 5);
  EXPECT_EQ(joined.Code, kPktPlayerJoined);
  EXPECT_EQ(ParsePlayerJoined(joined).ClientName, "Cy");
  EXPECT_EQ(ParsePlayerLeft(MakeServerPacket(BuildPlayerLeft(5, 3, LeaveReason::kKicked)))
                .LeaveReason, 4);
  EXPECT_EQ(ParseRoomCreated(MakeServerPacket(BuildRoomCreated(5, 6, "Den"))).Name, "Den");
  EXPECT_EQ(ParseLoginAccepted(MakeServerPacket(BuildLoginAccepted("S"))).Tail,
            (Bytes{0, 2, 1, 2}));

  PlayerStatsData d;
  d.PacketLoss = 12.5f;
  d.UdpIP = "127.0.0.1";
  d.UdpPort = 4000;
  d.ClientVer = "1.3";
  d.TcpBytesIn = 77;
  d.PlayerId = 9;
  for (bool legacy_stats : {true, false}) {
    PlayerStatsMsg m =
        ParsePlayerStats(MakeServerPacket(BuildPlayerStats(5, d, legacy_stats, true)));
    EXPECT_EQ(m.Legacy, legacy_stats);
    EXPECT_EQ(m.Stats.PacketLoss, 12.5f);
    EXPECT_EQ(m.Stats.UdpIP, "127.0.0.1");
    EXPECT_EQ(m.Stats.ClientVer, legacy_stats ? "" : "1.3");
    EXPECT_EQ(m.Stats.TcpBytesIn, 77u);
    EXPECT_EQ(m.Stats.PlayerId, 9);
  }
  ServerStatsData s;
  s.UdpBytesIn = 1234;
  s.ServerVersion = "v1.2.2 Win32";
  ServerStatsData got = ParseServerStats(MakeServerPacket(BuildServerStats(5, s)));
  EXPECT_EQ(got.UdpBytesIn, 1234u);
  EXPECT_EQ(got.ServerVersion, "v1.2.2 Win32");
}

// A one-connection TCP peer on 127.0.0.1 standing in for the server.
class LoopbackPeer {
 public:
  LoopbackPeer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 1);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackPeer() {
    CloseConnection();
    ::close(listen_fd_);
  }
  uint16_t Port() const { return port_; }
  void Accept() {
    conn_fd_ = ::accept(listen_fd_, nullptr, nullptr);
    // Reads give up after a while, so a client that never sends cannot hang the test.
    timeval tv{3, 0};
    ::setsockopt(conn_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  void Write(const Bytes& b) {
    ASSERT_EQ(::send(conn_fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
  }
  Bytes Read(size_t n) {
    Bytes b(n);
    size_t got = 0;
    while (got < n) {
      ssize_t r = ::recv(conn_fd_, b.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    b.resize(got);
    return b;
  }
  void CloseConnection() {
    if (conn_fd_ >= 0) ::close(conn_fd_);
    conn_fd_ = -1;
  }

 private:
  int listen_fd_ = -1;
  int conn_fd_ = -1;
  uint16_t port_ = 0;
};

TEST(TestClient, LogsInAndRemembersSessionAndPlayer) {
  LoopbackPeer peer;
  TestClient client;
  ASSERT_TRUE(client.Connect(peer.Port()));
  peer.Accept();
  std::thread server([&] {
    EXPECT_EQ(peer.Read(kClientLoginSize), ClientLogin("Ann", "", "1.2.1"));
    peer.Write(BuildLoginAccepted("Srv"));
    EXPECT_EQ(peer.Read(10), ClientReady());
    // ServerInfo and a notification in one write, the notification first.
    Bytes both = BuildPlayerJoined(4321, 2, 1, "Bob");
    Bytes info = BuildServerInfo(4321, 1, {}, {{1, 1, false, "Ann"}}, false);
    both.insert(both.end(), info.begin(), info.end());
    peer.Write(both);
  });
  bool ok = client.Login("Ann", "", "1.2.1");
  server.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(client.SessionId(), 4321);
  EXPECT_EQ(client.PlayerId(), 1);
  EXPECT_EQ(ParseLoginAccepted(*client.LoginAnswer()).ServerName, "Srv");
  // The notification that came before ServerInfo is still queued.
  auto joined = client.WaitFor(kPktPlayerJoined, Ms(500));
  ASSERT_TRUE(joined);
  EXPECT_EQ(ParsePlayerJoined(*joined).ClientName, "Bob");
  EXPECT_FALSE(client.IsClosedByServer(Ms(50)));
  peer.CloseConnection();
  EXPECT_TRUE(client.IsClosedByServer(Ms(2000)));
}

TEST(TestClient, WaitForGivesUpAtTheDeadlineAndCollectAllTakesTheRest) {
  LoopbackPeer peer;
  TestClient client;
  ASSERT_TRUE(client.Connect(peer.Port()));
  peer.Accept();
  peer.Write(BuildCommandReply(3, kReplyNotAdmin));
  EXPECT_FALSE(client.TryWaitFor([](const ServerPacket& p) { return p.Code == 99; }, Ms(100)));
  auto all = client.CollectAll(Ms(50));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].Code, kReplyNotAdmin);
  EXPECT_FALSE(client.Next(Ms(20)));
  client.Close();
  EXPECT_FALSE(client.IsClosedByServer(Ms(20)));
}

TEST(TestUdp, RelayAndPingDatagramsTravelIntact) {
  TestUdp a, b;
  ASSERT_TRUE(a.Ok() && b.Ok());
  Bytes relay = RelayDatagramTo(77, 5, {2, 3}, {0xAA, 0xBB});
  EXPECT_EQ(relay.size(), 16u + 1 + 2 + 2);
  EXPECT_EQ(relay[4], relay.size());
  EXPECT_TRUE(RelayChecksumValid(relay));
  relay[20] ^= 1;
  EXPECT_FALSE(RelayChecksumValid(relay));
  ASSERT_TRUE(a.SendTo(b.Port(), RelayDatagram(77, 5, {1, 2, 3})));
  auto got = b.Receive(Ms(2000));
  ASSERT_TRUE(got);
  EXPECT_TRUE(RelayChecksumValid(*got));
  EXPECT_EQ(b.LastSourcePort(), a.Port());
  EXPECT_EQ(PingDatagram(0x1234, 1, 200), BuildPingDatagram(0x1234, 1, 200));
  EXPECT_FALSE(b.Receive(Ms(20)));
}

}  // namespace
}  // namespace pv::test
