// The server's life as an operator meets it: start-up lines, the configuration file created on
// first start, failed start-ups, and a clean stop on SIGTERM.
#include <gtest/gtest.h>

#include "support/ini_files.h"
#include "support/loopback_sockets.h"
#include "support/server_process.h"

namespace pv::test {
namespace {

// Asked for help or the version, the program answers and starts nothing: no log, no listener.
TEST(Startup, HelpAndVersionAreAnsweredAndNothingStarts) {
  for (const char* arg : {"--help", "-h", "--version"}) {
    SCOPED_TRACE(arg);
    ServerProcess server({}, {arg});
    server.SetOutputFile("output.txt");
    EXPECT_FALSE(server.Start());
    EXPECT_EQ(server.WaitExit(std::chrono::seconds(10)), 0);
    EXPECT_NE(server.Output().find(arg == std::string("--version") ? "pvserver 1.2.2.0" : "Usage: pvserver [-INI=name]"),
              std::string::npos)
        << server.Output();
    EXPECT_FALSE(server.Dir().Exists("pvserver.log"));
  }
}

// A first start without a file, whose listeners on every address the default TCP port (held here,
// or by another program) keeps from starting; a configuration file that cannot be written (in a
// missing sub-folder named by -INI=, which nobody can write to, root included) or loaded (a TCP
// port whose UDP port overflows); and a TCP port another program holds: the start-up ends with
// exit code 1 and one fatal line, the last. The first start's file, written before the listeners
// start, beside the program, holds every default.
TEST(Startup, FailuresEndWithOneFatalLineAfterTheFirst) {
  const int port = PickPortPair();
  ASSERT_NE(port, 0);
  Fd blocker = ListenTcp(static_cast<uint16_t>(port));
  ASSERT_GE(blocker.Get(), 0);
  Fd default_port = ListenTcp(8765);
  const struct {
    IniSettings ini;
    std::vector<std::string> args;
    std::string fatal;
    bool write_ini = true;
  } cases[] = {
      {{}, {}, "FATAL ERROR: Unable to initialize communication", false},
      {{}, {"-INI=missing/pvserver.ini"}, "FATAL ERROR: Unable to create config file"},
      {{{"Networking", {{"TCPPort", "2147483647"}}}}, {}, "FATAL ERROR: Unable to create config file"},
      {{{"Networking", {{"TCPPort", std::to_string(port)}}}}, {}, "FATAL ERROR: Unable to initialize communication"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + ::testing::PrintToString(c.ini));
    ServerProcess server(c.ini, c.args, c.write_ini);
    server.SetOutputFile("output.txt");
    EXPECT_FALSE(server.Start());
    EXPECT_EQ(server.WaitExit(std::chrono::seconds(10)), 1);
    std::string log = server.Log();
    auto first = log.find("----Entering server init----");
    auto fatal = log.find("| " + c.fatal + "\r\n");
    ASSERT_NE(fatal, std::string::npos);
    EXPECT_LT(first, fatal);  // also when the first line is missing
    EXPECT_EQ(server.LogCount("FATAL ERROR"), 1);
    EXPECT_EQ(log.find("\r\n", fatal), log.size() - 2);  // the last line, ended by CR LF
    // The operator (and a service manager's journal) sees the reason on stderr too.
    EXPECT_NE(server.Output().find(c.fatal + "\n"), std::string::npos);
    if (!c.write_ini) {
      EXPECT_EQ(server.IniText(), kFirstStartFile);
    }
  }
}

// Started as a notify-type service with a log named on the command line: the start lines go in
// order to that log; only the address set is bound (the harness sets IP=127.0.0.1); the
// configuration file lives in PARLEYVOX_HOME (here an older layout, which the server rewrites
// there; what a rewrite keeps and adds is ConfigFile's); the manager's socket hears READY=1 once
// the start line is written and STOPPING=1 when SIGTERM begins the shut-down, which ends cleanly.
TEST(Startup, AsAServiceItLogsWhereToldBindsTheAddressSetAndTheManagerHearsReadyAndStopping) {
  ServerProcess server({{"Version", {{"ServerVersion", "v1.2.1"}}}}, {"-log=other.log"});
  server.SetLogName("other.log");
  server.UseHome("home");
  Fd manager = BindUnixDatagram(server.Dir().File("notify"));
  ASSERT_GE(manager.Get(), 0);
  server.SetEnv("NOTIFY_SOCKET", server.Dir().File("notify"));
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(ReceiveSome(manager.Get(), 64, std::chrono::seconds(5)), "READY=1");
  EXPECT_FALSE(server.Dir().Exists("pvserver.log"));
  EXPECT_TRUE(InOrder(server.LogLines(), kStartLines));
  const auto port = static_cast<uint16_t>(server.TcpPort());
  EXPECT_GE(ConnectTcp(port, "127.0.0.1").Get(), 0);
  EXPECT_LT(ConnectTcp(port, "127.0.0.2").Get(), 0);
  EXPECT_NE(server.IniText().find("ServerVersion=v1.2.2"), std::string::npos) << server.IniText();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(ReceiveSome(manager.Get(), 64, std::chrono::seconds(1)), "STOPPING=1");
  EXPECT_EQ(ReceiveSome(manager.Get(), 64, std::chrono::milliseconds(0)), "");
  auto lines = server.LogLines();
  EXPECT_TRUE(InOrder(lines, kStopLines));
  EXPECT_TRUE(InOrder(lines, {"UDPSender.Execute", "UDPSender.Terminated"}));  // the send thread's start and end
  EXPECT_EQ(lines.back(), "----Parleyvox server shutdown----");
}

}  // namespace
}  // namespace pv::test
