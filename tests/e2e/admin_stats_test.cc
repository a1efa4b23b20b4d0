// Administrator commands and statistics as clients meet them.
#include <sys/stat.h>

#include <regex>

#include "support/server_test.h"

namespace pv::test {
namespace {

class AdminStats : public ServerTest {
 protected:
  void SetUp() override { StartServer(); }
  // Whether the configuration file comes to hold `line`.
  bool IniGets(const std::string& line) {
    return WaitUntil([&] { return server_->IniText().find(line) != std::string::npos; }, std::chrono::seconds(3));
  }
};

// A current client and a 1.2.0 one ask for statistics, log in as administrators, and one of them
// causes failures at will.
TEST_F(AdminStats, StatisticsAndAdminLoginsInTheLayoutOfEachClientVersion) {
  TestClient& a = Client("a");
  TestClient& legacy = Client("old", "1.2.0");
  ASSERT_TRUE(a.LoginServerInfo() && legacy.LoginServerInfo());
  EXPECT_FALSE(a.LoginServerInfo()->Legacy);
  EXPECT_TRUE(legacy.LoginServerInfo()->Legacy);
  a.Send(PlayerStatsReq(1));
  auto own = a.WaitFor(kPktPlayerStats);
  ASSERT_TRUE(own);
  auto msg = ParsePlayerStats(*own);
  EXPECT_EQ(msg.Stats.Traffic.TcpPacketsIn, 1u);  // its ClientReady; the login is not the session's, this one not yet
  EXPECT_LT(msg.Stats.ConnectionTime, 60000u);
  legacy.Send(PlayerStatsReq(1));
  EXPECT_TRUE(legacy.WaitFor(kPktPlayerStatsLegacy));
  a.Send(PlayerStatsReq(5));
  EXPECT_TRUE(a.WaitFor(-60));

  // ServerStats count the traffic; an unknown code is counted and ignored.
  a.Send(ServerStatsReq());
  auto first = a.WaitFor(kPktServerStats);
  ASSERT_TRUE(first);
  auto s1 = ParseServerStats(*first);
  EXPECT_LT(s1.Uptime, 60000u);
  a.Send(RawCommand(999, {1, 2, 3}));
  a.Send(ServerStatsReq());
  auto second = a.WaitFor(kPktServerStats);
  ASSERT_TRUE(second);
  auto s2 = ParseServerStats(*second);
  EXPECT_EQ(s2.Traffic.TcpPacketsIn - s1.Traffic.TcpPacketsIn, 2u);
  EXPECT_EQ(s2.Traffic.TcpBytesIn - s1.Traffic.TcpBytesIn, 11u + 8u);
  EXPECT_EQ(s2.Traffic.TcpPacketsOut - s1.Traffic.TcpPacketsOut, 1u);  // the first ServerStats
  EXPECT_EQ(s2.Traffic.TcpBytesOut - s1.Traffic.TcpBytesOut, 75u);

  // The administrator login is answered by the client's version.
  a.Send(AdminLogin("vimbo"));
  EXPECT_TRUE(a.WaitFor(IsAdminOf(1)));
  legacy.Send(AdminLogin("vimbo"));
  EXPECT_TRUE(legacy.WaitFor(100));
  EXPECT_TRUE(a.WaitFor(IsAdminOf(2)));  // the current client hears of the other administrator
  EXPECT_EQ(Count(legacy.CollectAll(Ms(300)), kPktPlayerIsAdmin), 0);
  a.Send(AdminLogin("vimbo"));  // logging in again repeats the announcement
  EXPECT_TRUE(a.WaitFor(IsAdminOf(1)));

  // Failures a client causes at will are logged a few times a second, then counted.
  constexpr int kRequests = 300;
  ASSERT_TRUE(a.SendNow(Repeated(PlayerStatsReq(0), kRequests)));  // player 0: a range error each
  a.Send(ServerStatsReq());
  EXPECT_TRUE(a.WaitFor(kPktServerStats));
  const std::regex left_out_line(R"(Left out (\d+) log lines "in: TCPServerExecute excption " for session )");
  int written = 0, left_out = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        written = server_->LogCount("in: TCPServerExecute excption ERangeError");
        left_out = 0;
        std::smatch match;
        for (const std::string& line : server_->LogLines())
          if (std::regex_search(line, match, left_out_line)) left_out += std::stoi(match[1]);
        return written + left_out == kRequests;
      },
      std::chrono::seconds(5)))
      << written << " written, " << left_out << " left out";
  EXPECT_LE(written, 20);  // five a second
}

// Password changes take effect and reach the file, or only take effect when it cannot be
// written; then kicks (what everyone hears of a kick, and the kicked connection's end, are
// hostile_clients_test.cc's).
TEST_F(AdminStats, PasswordChangesAndKicks) {
  TestClient& admin = Admin();
  admin.Send(AdminChangeServerPassword("Door"));
  EXPECT_TRUE(admin.WaitFor(140));
  TestClient& refused = Client();
  refused.Send(ClientLogin("x", "door", "1.2.1"));  // letter case counts
  EXPECT_TRUE(refused.WaitFor(kPktBadServerPassword));
  EXPECT_TRUE(refused.IsClosedByServer());
  EXPECT_EQ(server_->Log().find("Created client x"), std::string::npos);

  admin.Send(AdminChangeAdminPassword("New"));
  EXPECT_TRUE(admin.WaitFor(160));
  // Administrators keep their rights. The new password in force, the old one refused, and both
  // changes written to the file are pvctl_test.cc's and login_security_test.cc's.
  admin.Send(AdminCreateRoom("still admin"));
  EXPECT_TRUE(admin.WaitFor(kPktRoomCreated));

  admin.Send(AdminChangeServerPassword(""));  // an empty password removes it
  EXPECT_TRUE(admin.WaitFor(140));
  Client("open", "1.2.1", "anything");
  EXPECT_TRUE(IniGets("ServerPassword=\r\n"));

  // A file that cannot be written: the password changes all the same, and one line says why.
  ASSERT_EQ(::chmod(server_->Dir().File("pvserver.ini").c_str(), 0444), 0);
  admin.Send(AdminChangeServerPassword("Locked"));
  EXPECT_TRUE(admin.WaitFor(140));
  ASSERT_TRUE(server_->WaitForLog("in: TCPServerExecute excption "));
  EXPECT_EQ(server_->LogCount("in: TCPServerExecute excption "), 1);
  EXPECT_EQ(server_->LogCount("Unable to write to"), 1);
  TestClient& refused_again = Client();
  refused_again.Send(ClientLogin("x", "", "1.2.1"));
  EXPECT_TRUE(refused_again.WaitFor(kPktBadServerPassword));
  Client("y2", "1.2.1", "Locked");
  ::chmod(server_->Dir().File("pvserver.ini").c_str(), 0644);

  // A kick of player 0 is logged and leaves the connection usable: a kick of the kicker itself is
  // carried out (a kick of nobody is refused: Pvctl.RefusalsExitOneWithTheReason).
  TestClient& watcher = Client("watcher", "1.2.1", "Locked");
  admin.Send(AdminKickPlayer(0));
  EXPECT_TRUE(server_->WaitForLog("in: TCPServerExecute excption ERangeError: Range check error"));
  admin.Send(AdminKickPlayer(1));
  EXPECT_TRUE(watcher.WaitFor(LeftOf(1)));
}

}  // namespace
}  // namespace pv::test
