// The server's life as an operator meets it: start-up lines, the configuration file created on
// first start, failed start-ups, and a clean stop on SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "support/server_process.h"

namespace pv::test {
namespace {

const std::vector<std::string> kStartLines = {
    "----Entering server init----", "Created Threadlists", "Done reading ini file", "UDP+TCP created",
    "Creating ping thread",         "Created ping thread", "Creating UDPsender thread", "Created UDPsender thread",
    "Activated tcp/udp",            "Started Ping Thread", "----Parleyvox server started----"};

const std::vector<std::string> kStopLines = {
    "----Entering Server_DeInit ---- ", "Server_DeInit -- pingpong term sent",
    "Server_DeInit -- UDPThread term + event sent", "Server_DeInit -- Slept 2 secs", "Server_DeInit -- Stopped TCP",
    "Server_DeInit -- Stopped UDP", "----Parleyvox server shutdown----"};

// True when `want` appears in `lines` in this order (other lines may come in between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
  size_t at = 0;
  for (const auto& line : lines)
    if (at < want.size() && line == want[at]) ++at;
  return at == want.size();
}

bool TcpConnects(const std::string& ip, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool UdpPortTaken(int port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0;
  ::close(fd);
  return taken;
}

TEST(Startup, StartWritesItsLinesInOrderAndStopEndsCleanly) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  auto lines = server.LogLines();
  EXPECT_TRUE(InOrder(lines, kStartLines));
  EXPECT_TRUE(TcpConnects("127.0.0.1", server.TcpPort()));
  EXPECT_TRUE(UdpPortTaken(server.UdpPort()));
  EXPECT_EQ(server.Stop(), 0);
  lines = server.LogLines();
  EXPECT_TRUE(InOrder(lines, kStopLines));
  EXPECT_EQ(lines.back(), "----Parleyvox server shutdown----");
}

TEST(Startup, AddressSettingBindsOnlyThatAddress) {
  ServerProcess server;  // the harness sets IP=127.0.0.1
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(TcpConnects("127.0.0.1", server.TcpPort()));
  EXPECT_FALSE(TcpConnects("127.0.0.2", server.TcpPort()));
  EXPECT_EQ(server.Stop(), 0);
}

TEST(Startup, BusyTcpPortFailsWithOneFatalLine) {
  int port = PickPortPair();
  ASSERT_NE(port, 0);
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  ServerProcess server({{"Networking", {{"TCPPort", std::to_string(port)}}}});
  EXPECT_FALSE(server.Start());
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(10)), 1);
  auto lines = server.LogLines();
  EXPECT_EQ(lines.back(), "FATAL ERROR: Unable to initialize communication");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("FATAL ERROR", 0) == 0; }), 1);
  ::close(blocker);
}

TEST(Startup, FirstStartCreatesTheFileWithEveryDefault) {
  if (!PortPairFree(8765)) GTEST_SKIP() << "the default ports are taken on this machine";
  ServerProcess server({}, {}, /*write_ini=*/false);
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.IniText(),
            "[Version]\r\nServerVersion=v1.2.2\r\n[Passwords]\r\nServerPassword=\r\nAdminPassword=vimbo\r\n"
            "[General]\r\nServername=Parleyvox Server\r\nMaxClients=16\r\n[Networking]\r\nTCPPort=8765\r\nIP=\r\n"
            "[Ping]\r\nMaxPingTries=3\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n[WebStatus]\r\nActive=0\r\n"
            "ParleyvoxSite_Active=0\r\nParleyvoxSite_DisplayInWebList=0\r\nWebPostURL=http://\r\n"
            "WebPostLinkUrl=http://www.parleyvox.example/\r\n");
  EXPECT_EQ(server.Stop(), 0);
}

TEST(Startup, UnwritableFolderFailsWithOneFatalLineAfterTheFirst) {
  // A missing sub-folder named by -INI= cannot be written by anyone, root included.
  TempDir dir;
  int code = RunServerOnce(dir, {"-INI=missing/pvserver.ini"}, std::chrono::seconds(20));
  EXPECT_EQ(code, 1);
  std::string log = dir.Read("pvserver.log");
  auto first = log.find("----Entering server init----");
  auto fatal = log.find("FATAL ERROR: Unable to create config file");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(fatal, std::string::npos);
  EXPECT_LT(first, fatal);
  EXPECT_EQ(log.find("FATAL ERROR", fatal + 1), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  EXPECT_EQ(log.find("\r\n", fatal), log.size() - 2);  // the last line
}

TEST(Startup, LargestTcpPortOverflowsTheUdpPortAndFails) {
  TempDir dir;
  dir.Write("pvserver.ini", "[Version]\r\nServerVersion=v1.2.2\r\n[Networking]\r\nTCPPort=2147483647\r\n");
  EXPECT_EQ(RunServerOnce(dir, {}, std::chrono::seconds(20)), 1);
  std::string log = dir.Read("pvserver.log");
  EXPECT_NE(log.find("| FATAL ERROR: Unable to create config file\r\n"), std::string::npos);
}

TEST(Startup, LogSwitchChoosesTheLogFile) {
  ServerProcess server({}, {"-log=other.log"});
  server.SetLogName("other.log");
  ASSERT_TRUE(server.Start());
  EXPECT_FALSE(server.Dir().Exists("pvserver.log"));
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace pv::test
