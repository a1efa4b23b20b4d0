// The monitoring endpoint's pieces one by one: the Listen value, the exposition of a snapshot
// (names, escaping, families), the connection watch on loopback sockets, the banner's text, and
// the JSON writer and pvctl's text form beneath them.
#include <gtest/gtest.h>

#include <cmath>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "app/banner.h"
#include "base/json_writer.h"
#include "monitoring/connection_watch.h"
#include "monitoring/exposition.h"
#include "monitoring/http_endpoint.h"
#include "pvctl/output.h"
#include "support/loopback_sockets.h"

namespace pv {
namespace {

TEST(MonitoringListen, ParseListenAddress) {
  const std::pair<const char*, ListenAddress> good[] = {
      {"127.0.0.1:9870", {"127.0.0.1", 9870}}, {"9870", {"127.0.0.1", 9870}}, {":9870", {"127.0.0.1", 9870}},
      {"0.0.0.0:1", {"0.0.0.0", 1}}, {"[::1]:65535", {"::1", 65535}}, {"monitor.lan:80", {"monitor.lan", 80}}};
  for (const auto& [text, want] : good) {
    ListenAddress a;
    ASSERT_TRUE(ParseListenAddress(text, a)) << text;
    EXPECT_EQ(a.host, want.host) << text;
    EXPECT_EQ(a.port, want.port) << text;
  }
  for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:98x",
                          "::1:9870", "[::1]9870", "[]:9870", "[::1:9870"}) {
    ListenAddress a;
    EXPECT_FALSE(ParseListenAddress(bad, a)) << bad;
  }
  EXPECT_EQ((ListenAddress{"::1", 9870}).Text(), "[::1]:9870");
}

MonitoringSnapshot Sample() {
  MonitoringSnapshot s;
  s.server_name = "Caf\xe9 \"Night\"";
  s.version = "v1.2.2 Win32";
  s.file_version = "1.2.2.0 Debug";
  s.desktop = true;
  s.max_clients = 16;
  s.uptime_seconds = 3723.25;
  s.rooms = {{1, "Lobby"}, {3, "A&B"}};
  s.players = {{1, "alice", 1, true, 65}, {2, "<bob>", 3, false, 5}, {4, "ghost", 2, false, 0}};
  s.counters.assign(CounterTable().size(), 0);
  s.counters[0] = 5000000000ULL;  // past 32 bits: exported as it is
  return s;
}

TEST(MonitoringExposition, MetricsStatusJsonAndPageOfOneSnapshot) {
  std::string text = MetricsText(Sample());
  const std::vector<std::string> wanted = {
      "# HELP parleyvox_clients Clients logged in.\n# TYPE parleyvox_clients gauge\nparleyvox_clients 3.000\n",
      "parleyvox_uptime_seconds 3723.250\n",
      "# TYPE parleyvox_tcp_packets_in_total counter\nparleyvox_tcp_packets_in_total 5000000000\n",
      "# TYPE parleyvox_logins_total counter\nparleyvox_logins_total{result=\"accepted\"} 0\n"
      "parleyvox_logins_total{result=\"wrong_password\"} 0\n",
      "parleyvox_build_info{version=\"v1.2.2 Win32\",file_version=\"1.2.2.0 Debug\",shell=\"desktop\"} 1\n",
  };
  for (const std::string& w : wanted) EXPECT_NE(text.find(w), std::string::npos) << w << "\n" << text;
  // Each family's HELP and TYPE appear once, however many series it has.
  const std::string type = "# TYPE parleyvox_udp_datagrams_dropped_total";
  EXPECT_NE(text.find(type), std::string::npos);
  EXPECT_EQ(text.find(type), text.rfind(type));
  EXPECT_EQ(text.back(), '\n');
  std::string json = StatusJson(Sample());
  EXPECT_EQ(json,
            R"({"server_name":"Caf\u00e9 \"Night\"","version":"v1.2.2 Win32","uptime_seconds":3723,"clients":3,)"
            R"("max_clients":16,"rooms":[{"id":1,"name":"Lobby","players":[{"id":1,"name":"alice","admin":true,)"
            R"("connected_seconds":65}]},{"id":3,"name":"A&B","players":[{"id":2,"name":"<bob>","admin":false,)"
            R"("connected_seconds":5}]}],"players_in_no_room":[{"id":4,"name":"ghost","admin":false,)"
            R"("connected_seconds":0}]})"
            "\n");
  std::string page = StatusPage(Sample());
  for (const char* want : {"<title>Caf&#233; &quot;Night&quot;</title>", "<h1>Caf&#233; &quot;Night&quot;</h1>",
                           "<h2>A&amp;B</h2>", "<td>&lt;bob&gt;</td>", "<td>0:01:05</td>", "up 1:02:03",
                           "<h2>In no listed room</h2>", "3 of 16 players"})
    EXPECT_NE(page.find(want), std::string::npos) << want << "\n" << page;
  EXPECT_EQ(page.find("<bob>"), std::string::npos);
  MonitoringSnapshot empty = Sample();
  empty.players.clear();
  std::string quiet = StatusPage(empty);
  EXPECT_NE(quiet.find("<p class=\"empty\">nobody</p>"), std::string::npos);
  EXPECT_EQ(quiet.find("In no listed room"), std::string::npos);
}

// A connection that sends too much is ended too: Monitoring.HostileHttpClientsHoldUpNeitherPlayersNorTheStop.
TEST(MonitoringConnectionWatch, EndsConnectionsOnItsPortOnceTheyAreTooOld) {
  using test::Fd;
  // A listener and one connection to it, both ends in this process, as the endpoint has them.
  Fd listener = test::ListenTcp(0, 4);
  const uint16_t port = test::LocalPortOf(listener.Get());
  Fd client = test::ConnectTcp(port);
  Fd served{::accept(listener.Get(), nullptr, nullptr)};
  test::TcpPair elsewhere = test::MakeTcpPair();  // another port: never touched
  ConnectionWatch watch(port, 1 << 20);
  EXPECT_EQ(watch.Sweep(std::chrono::hours(1)), 0);  // young: left alone
  bool eof = false;
  EXPECT_EQ(test::ReceiveSome(client.Get(), 16, std::chrono::milliseconds(0), &eof), "");
  EXPECT_FALSE(eof);
  // Once older than the limit it is shut down, and its peer sees the end.
  EXPECT_TRUE(test::WaitUntil([&] { return watch.Sweep(std::chrono::milliseconds(50)) == 1; }));
  test::ReceiveSome(client.Get(), 16, std::chrono::milliseconds(1000), &eof);
  EXPECT_TRUE(eof);
  // The listener still accepts, the other connection still works.
  EXPECT_GE(test::ConnectTcp(port).Get(), 0);
  EXPECT_TRUE(test::SendAll(elsewhere.client.Get(), "x"));
  EXPECT_EQ(test::ReceiveSome(elsewhere.server.Get(), 16, std::chrono::milliseconds(1000)), "x");
  // Once the library closes its descriptor the watch forgets the connection and closes its copy;
  // the number, given to another socket (here the other port's), is not touched.
  EXPECT_EQ(watch.Watched(), 1u);
  const int number = served.Get();
  served.Reset();
  ASSERT_EQ(::dup2(elsewhere.server.Get(), number), number);
  Fd reused(number);
  EXPECT_EQ(watch.Sweep(std::chrono::steady_clock::duration::zero()), 0);
  EXPECT_EQ(watch.Watched(), 0u);
  EXPECT_TRUE(test::SendAll(elsewhere.client.Get(), "y"));
  EXPECT_EQ(test::ReceiveSome(reused.Get(), 16, std::chrono::milliseconds(1000)), "y");
}

TEST(StartupBanner, Text) {
  BannerFacts f;
  f.version = "v1.2.2 Win32 Service";
  f.tcp_port = 8765;
  f.udp_port = 8766;
  f.ini_path = "/opt/pv/pvserver.ini";
  f.log_path = "pvserver.log";
  f.pid = 42;
  EXPECT_EQ(BannerText(f, "/srv"),
            "Parleyvox Server v1.2.2 Win32 Service is running.\n"
            "  control (TCP)  every address, port 8765\n"
            "  voice (UDP)    every address, port 8766\n"
            "  settings       /opt/pv/pvserver.ini\n"
            "  event log      /srv/pvserver.log\n"
            "Stop it with Ctrl-C or kill -TERM 42.\n");
  // The address and monitoring lines are StartupBanner.OnATerminalOnlyWithPortsPathsAndMonitoring's.
  f.log_path = "/var/log/pv.log";
  f.desktop = true;
  std::string text = BannerText(f, "/srv");
  for (const char* want : {"event log      /var/log/pv.log\n", "kill -TERM 42, or Exit in the tray menu.\n"})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
}

// Beneath them: JSON documents stay valid, and pvctl's text form never passes control characters
// to the operator's terminal, whatever bytes a player put in a name. Quotes, a Latin-1 letter and
// the commas of nested objects and arrays are in the status document above.
TEST(JsonWriter, JsonQuoteEscapesEveryUnsafeByte) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"back\\slash", R"("back\\slash")"},
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x1b[2J\n", R"("\u001b[2J\u000a")"},
      {"\x7f", R"("\u007f")"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(JsonQuote(in), want);
}

// A peer's float may be NaN or infinite, which JSON cannot say.
TEST(JsonWriter, NumbersNullAndEmptyArrays) {
  JsonWriter w;
  w.BeginArray().Number(-2).Null().Double(12.345).BeginArray().EndArray();
  w.Double(std::nan("")).Double(HUGE_VAL).Double(-HUGE_VAL).EndArray();
  EXPECT_EQ(w.Text(), "[-2,null,12.35,[],null,null,null]");
}

// The table's alignment is Pvctl.ReadCommandsWithoutAdministratorLoginThenAdministratorCommandsAsOtherClientsSeeThem's.
TEST(PvctlOutput, SafeTextAndDurations) {
  EXPECT_EQ(ctl::SafeText(std::string("a\x1b[31m\tb\x9b" "c\xe9", 11)), "a?[31m?b?c\xe9");
  EXPECT_EQ(ctl::FormatDuration(0), "0:00:00");
  EXPECT_EQ(ctl::FormatDuration(3723999), "1:02:03");
  EXPECT_EQ(ctl::FormatDuration(86399000), "23:59:59");
}

}  // namespace
}  // namespace pv
