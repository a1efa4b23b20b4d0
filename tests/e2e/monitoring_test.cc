// The monitoring endpoint as an operator's tools meet it: /metrics read by the Prometheus
// client library's own parser while the test drives log-ins, voice, drops and a kick;
// /status.json and the status page without addresses or passwords, the page rendered by a real
// browser; hostile HTTP clients (idle, dripping, flooding) that must not hold up players or the
// stop, nor grow the server; and Listen values the server cannot use.
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <sstream>

#include "support/http_get.h"
#include "support/sanitizer_build.h"
#include "support/server_test.h"

namespace pv::test {
namespace {

using Samples = std::map<std::string, double>;

// Prints "name{sorted labels} value" per sample, as python3-prometheus-client's parser reads the
// text (the families' HELP and TYPE lines are MonitoringExposition's); exit 77 when the library is
// missing.
constexpr const char* kParserScript = R"(import sys
try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit(77)
text = open(sys.argv[1], encoding='utf-8').read()
for f in text_string_to_metric_families(text):
    for s in f.samples:
        labels = ','.join('%s="%s"' % (k, v) for k, v in sorted(s.labels.items()))
        print('%s{%s} %r' % (s.name, labels, s.value))
)";

struct Parsed {
  bool available = true;  // the parser is installed
  Samples samples;
};

Parsed ParseWithPrometheusClient(const std::string& text) {
  TempDir dir;
  dir.Write("parse.py", kParserScript);
  dir.Write("metrics.txt", text);
  ProgramResult r = RunProgram({"/usr/bin/python3", dir.File("parse.py"), dir.File("metrics.txt")});
  if (r.exit_code == 77 || r.exit_code == 127) return {false, {}};
  Parsed p;
  EXPECT_EQ(r.exit_code, 0) << "the parser refused the text:\n" << r.err << "\n" << text;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (size_t blank = line.rfind(' '); blank != std::string::npos)
      p.samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return p;
}

// Sends one request's header lines without end, never blocking; true once the server has cut
// the connection (its end of the stream arrived, or a reset), false when it is still open at the
// deadline.
bool FloodHeadersUntilCut(int fd, Ms deadline) {
  std::string lines;
  for (int i = 0; i < 500; ++i) lines += "X-Filler: aaaaaaaaaaaaaaaaaaaa\r\n";
  if (!SendAll(fd, "GET / HTTP/1.1\r\nHost: x\r\n")) return true;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLOUT | POLLRDHUP, 0};
    ::poll(&p, 1, 50);
    if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
    if ((p.revents & POLLOUT) == 0) continue;
    ssize_t n = ::send(fd, lines.data(), lines.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return true;
  }
  return false;
}

class Monitoring : public ServerTest {
 protected:
  void StartWithMonitoring(IniSettings ini = {}) {
    port_ = PickPortPair();
    ini["Monitoring"]["Listen"] = "127.0.0.1:" + std::to_string(port_);
    StartServer(std::move(ini));
    // The endpoint starts just after the start is logged, which is what StartServer waits for.
    EXPECT_TRUE(WaitUntil([&] { return Get("/metrics").status == 200; })) << "the endpoint never answered";
  }
  HttpResponse Get(const std::string& path) {
    return HttpExchange(static_cast<uint16_t>(port_),
                        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  }
  Parsed Scrape() {
    HttpResponse r = Get("/metrics");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.HasHeader("Content-Type: text/plain; version=0.0.4")) << r.headers;
    return ParseWithPrometheusClient(r.body);
  }
  uint16_t UdpPort() const { return static_cast<uint16_t>(server_->UdpPort()); }
  int port_ = 0;
};

TEST_F(Monitoring, MetricsParseAsPrometheusTextAndMoveWithTheTraffic) {
  StartWithMonitoring({{"Passwords", {{"ServerPassword", "pw"}}}, {"General", {{"MaxClients", "2"}}}});
  Parsed before = Scrape();
  if (!before.available) GTEST_SKIP() << "python3-prometheus-client is not installed (test.sh installs it)";
  EXPECT_EQ(before.samples["parleyvox_max_clients{}"], 2);
  EXPECT_EQ(before.samples["parleyvox_rooms{}"], 1);
  EXPECT_EQ(before.samples[R"(parleyvox_build_info{file_version="1.2.2.0",shell="service",version="v1.2.2 Win32 Service"})"], 1);
  // Every series is there from the start, also those no event has counted yet.
  for (const char* series :
       {R"(parleyvox_udp_datagrams_dropped_total{reason="wrong_source_address"})",
        R"(parleyvox_udp_datagrams_dropped_total{reason="own_endpoint"})", R"(parleyvox_logins_total{result="throttled"})",
        R"(parleyvox_admin_logins_total{result="throttled"})", "parleyvox_slow_clients_dropped_total{}",
        "parleyvox_connections_closed_before_login_total{}", "parleyvox_pings_sent_total{}",
        "parleyvox_clients_given_up_total{}", R"(parleyvox_listing_posts_total{result="failed",target="central"})",
        "parleyvox_uptime_seconds{}", "parleyvox_tcp_bytes_out_total{}"})
    EXPECT_EQ(before.samples.count(series), 1u) << series;

  // Log-ins: two accepted, one wrong password, one refused as full (fullness is checked first).
  auto refused_login = [&](const std::string& password, int16_t answer) {
    TestClient& refused = Client();
    refused.Send(ClientLogin("carol", password, "1.2.1"));
    EXPECT_TRUE(refused.WaitFor(answer));
  };
  TestClient& alice = Client("alice", "1.2.1", "pw");
  refused_login("PW", kPktBadServerPassword);
  TestClient& bob = Client("bob", "1.2.1", "pw");
  refused_login("pw", kPktServerFull);
  alice.Send(AdminLogin("nope"));
  EXPECT_TRUE(alice.WaitFor(kReplyBadAdminPassword));
  alice.Send(AdminLogin("vimbo"));
  EXPECT_TRUE(alice.WaitFor(kPktPlayerIsAdmin));
  // Voice: three good datagrams from alice reach bob; then a gap in the packet ids, a broken
  // checksum (both counted and relayed all the same), a forged source and an unknown session id.
  TestUdp alice_udp, bob_udp;
  bob_udp.SendTo(UdpPort(), PingDatagram(bob.SessionId(), 1, 1));
  ASSERT_TRUE(bob_udp.Receive(Ms(3000)));
  Bytes broken = RelayDatagram(alice.SessionId(), 10, {5, 6});
  broken.back() ^= 0xFF;
  for (const Bytes& datagram : {RelayDatagram(alice.SessionId(), 1, {1}), RelayDatagram(alice.SessionId(), 2, {2}),
                                RelayDatagram(alice.SessionId(), 3, {3}), RelayDatagram(alice.SessionId(), 9, {4}),
                                broken}) {
    alice_udp.SendTo(UdpPort(), datagram);
    EXPECT_TRUE(bob_udp.Receive(Ms(3000)));
  }
  // Alice's session from another host's address: only her control connection's may speak for it.
  TestUdp stranger("127.0.0.2");
  stranger.SendTo(UdpPort(), RelayDatagram(alice.SessionId(), 11, {8}));
  alice_udp.SendTo(UdpPort(), RelayDatagram(50001, 1, {7}));  // session ids end at 50000
  // A kick takes bob off the list (the kicked connection's end is
  // HostileClients.EachMisbehavingClientInTurnHoldsUpNobody's).
  alice.Send(AdminKickPlayer(bob.PlayerId()));
  EXPECT_TRUE(bob.WaitFor(LeftOf(bob.PlayerId())));

  Parsed after;
  ASSERT_TRUE(WaitUntil([&] {
    after = Scrape();
    return after.samples["parleyvox_clients{}"] == 1 &&
           after.samples[R"(parleyvox_udp_datagrams_dropped_total{reason="unknown_session"})"] == 1;
  }));
  auto delta = [&](const std::string& series) { return after.samples[series] - before.samples[series]; };
  const std::vector<std::pair<std::string, double>> moved = {
      {R"(parleyvox_logins_total{result="accepted"})", 2},
      {R"(parleyvox_logins_total{result="wrong_password"})", 1},
      {R"(parleyvox_logins_total{result="full"})", 1},
      {R"(parleyvox_admin_logins_total{result="accepted"})", 1},
      {R"(parleyvox_admin_logins_total{result="wrong_password"})", 1},
      {"parleyvox_relayed_copies_total{}", 5},
      {R"(parleyvox_udp_datagrams_dropped_total{reason="bad_packet_id"})", 1},
      {R"(parleyvox_udp_datagrams_dropped_total{reason="bad_checksum"})", 1},
      {R"(parleyvox_udp_datagrams_dropped_total{reason="unknown_session"})", 1},
      {R"(parleyvox_udp_datagrams_dropped_total{reason="wrong_source_address"})", 1},
      {R"(parleyvox_udp_datagrams_dropped_total{reason="queue_full"})", 0},
      {"parleyvox_udp_packets_in_total{}", 8},  // bob's ping, seven relay datagrams
  };
  for (const auto& [series, want] : moved) EXPECT_EQ(delta(series), want) << series;
  EXPECT_GE(delta("parleyvox_udp_packets_out_total{}"), 6);  // the ping's answer and five copies
  EXPECT_GT(delta("parleyvox_tcp_packets_in_total{}"), 6);
  EXPECT_GT(delta("parleyvox_tcp_bytes_out_total{}"), 0);
  EXPECT_GT(after.samples["parleyvox_uptime_seconds{}"], before.samples["parleyvox_uptime_seconds{}"]);
}

// Clients that never sent a datagram have no address to ping, and so are never given up.
TEST_F(Monitoring, StatusJsonAndPageShowRoomsAndPlayersWithoutAddressesOrPasswordsThenASilentClientGivenUp) {
  StartWithMonitoring({{"Channels", {{"0", "Lobby"}, {"1", "Games"}}},
                       {"Passwords", {{"ServerPassword", "hush"}}},
                       {"General", {{"Servername", "Night <Owls>"}}},
                       {"Ping", {{"IdleTimeBeforePing", "200"}, {"PingWaitTime", "200"}, {"MaxPingTries", "0"}}}});
  TestClient& alice = Client("alice", "1.2.1", "hush");
  alice.Send(AdminLogin("vimbo"));
  ASSERT_TRUE(alice.WaitFor(kPktPlayerIsAdmin));
  TestClient& bob = Client("bob", "1.2.1", "hush");
  bob.Send(ChangeRoom(2));
  ASSERT_TRUE(bob.WaitFor(kPktPlayerChangedRoom));
  TestClient& carol = Client("carol", "1.2.1", "hush");
  carol.Send(ChangeRoom(9));  // a room that does not exist
  ASSERT_TRUE(carol.WaitFor(kPktPlayerChangedRoom));

  HttpResponse json = Get("/status.json");
  EXPECT_EQ(json.status, 200);
  EXPECT_TRUE(json.HasHeader("Content-Type: application/json")) << json.headers;
  for (const char* want : {R"({"server_name":"Night <Owls>","version":"v1.2.2 Win32 Service","uptime_seconds":)",
                           R"("clients":3,"max_clients":16,"rooms":[{"id":1,"name":"Lobby","players":[{"id":1,"name":"alice","admin":true,"connected_seconds":)",
                           R"({"id":2,"name":"Games","players":[{"id":2,"name":"bob","admin":false,)",
                           R"("players_in_no_room":[{"id":3,"name":"carol","admin":false,)"})
    EXPECT_NE(json.body.find(want), std::string::npos) << want << "\n" << json.body;

  HttpResponse page = Get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_TRUE(page.HasHeader("Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'")) << page.headers;
  // The page shows the JSON's snapshot; how it escapes names and counts players is MonitoringExposition's.
  for (const char* want : {"<meta http-equiv=\"refresh\" content=\"10\">", "name=\"viewport\"", "<h2>Lobby</h2>",
                           "<td>alice <span class=\"admin\">admin</span></td>"})
    EXPECT_NE(page.body.find(want), std::string::npos) << want << "\n" << page.body;
  EXPECT_EQ(page.body.find("<script"), std::string::npos);
  for (const HttpResponse* r : {&json, &page}) {
    EXPECT_EQ(r->body.find("127.0.0.1"), std::string::npos);
    EXPECT_EQ(r->body.find("hush"), std::string::npos);
    EXPECT_EQ(r->body.find("vimbo"), std::string::npos);
  }
  EXPECT_EQ(Get("/nothing-here").status, 404);

  // A client that sent a datagram and then fell silent: pinged, and given up.
  TestClient& quiet = Client("quiet", "1.2.1", "hush");
  TestUdp udp;
  udp.SendTo(UdpPort(), PingDatagram(quiet.SessionId(), 1, 1));
  EXPECT_TRUE(quiet.WaitFor(LeftOf(quiet.PlayerId()), Ms(5000)));
  if (Parsed p = Scrape(); p.available) {
    EXPECT_GE(p.samples["parleyvox_pings_sent_total{}"], 1);
    EXPECT_EQ(p.samples["parleyvox_clients_given_up_total{}"], 1);
  }

  // The page as a real browser renders it: a screenshot among the artefacts, and its document.
  const char* chromium = "/usr/bin/chromium";
  if (::access(chromium, X_OK) != 0)
    GTEST_SKIP() << "chromium is not installed: the status page was not rendered (test.sh installs it)";
  const std::string shot = std::string(PV_ARTEFACT_DIR) + "/monitoring/status_page.png";
  std::filesystem::create_directories(std::filesystem::path(shot).parent_path());
  std::filesystem::remove(shot);
  TempDir profile;
  // A phone-sized window; root needs --no-sandbox; the profile is the test's own.
  const auto browse = [&](const std::string& what) {
    return RunProgram({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                       "--user-data-dir=" + profile.Path(), "--window-size=412,915", what,
                       "http://127.0.0.1:" + std::to_string(port_) + "/"},
                      {}, std::chrono::seconds(60));
  };
  ProgramResult r = browse("--screenshot=" + shot);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ASSERT_TRUE(std::filesystem::exists(shot)) << r.err;
  EXPECT_GT(std::filesystem::file_size(shot), 4000u) << "a blank screenshot";
  // What the browser made of the page: the rooms and players are in its document.
  ProgramResult dom = browse("--dump-dom");
  EXPECT_EQ(dom.exit_code, 0) << dom.err;
  for (const char* want : {"<h2>Lobby</h2>", "<h2>Games</h2>", "alice", "bob"})
    EXPECT_NE(dom.out.find(want), std::string::npos) << want << "\n" << dom.out;
  std::printf("status page screenshot: %s\n", shot.c_str());
}

TEST_F(Monitoring, HostileHttpClientsHoldUpNeitherPlayersNorTheStop) {
  StartWithMonitoring();
  TestClient& alice = Client("alice");
  TestClient& bob = Client("bob");
  // One that sends header lines without end: cut once it has sent 64 KB, and its lines are not
  // kept (unbounded, they grew the server by over 30 MB a second).
  const int64_t rss_before = RssKiB(server_->Pid());
  Fd flood = ConnectTcp(static_cast<uint16_t>(port_));
  EXPECT_TRUE(FloodHeadersUntilCut(flood.Get(), Ms(5000 * kSlowdown)));
  if (kRssMeaningful) {
    EXPECT_LT(RssKiB(server_->Pid()) - rss_before, 16 * 1024);
  }
  // Many ranges of one page would make a reply a thousand times the request: the whole page
  // comes once. A request pipelined behind it is not left unanswered on an open connection: the
  // answer says "Connection: close" and the connection ends at once.
  std::string ranges = "0-0";
  for (int i = 0; i < 500; ++i) ranges += ",0-";
  const auto sent_at = std::chrono::steady_clock::now();
  HttpResponse ranged = HttpExchange(static_cast<uint16_t>(port_),
                                     "GET /metrics HTTP/1.1\r\nHost: x\r\nRange: bytes=" + ranges +
                                         "\r\n\r\nGET /status.json HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - sent_at, Ms(1000 * kSlowdown));
  EXPECT_EQ(ranged.status, 200) << "no whole answer on a connection that ended";
  EXPECT_TRUE(ranged.HasHeader("Connection: close\r\n")) << ranged.headers;
  EXPECT_NE(ranged.body.find("parleyvox_uptime_seconds"), std::string::npos);
  EXPECT_LT(ranged.headers.size() + ranged.body.size(), 64u * 1024);
  // More idle connections than workers and waiting places, one that drips a request byte by
  // byte, and one that sends an oversized body.
  std::vector<Fd> idle;
  for (int i = 0; i < 16; ++i) idle.push_back(ConnectTcp(static_cast<uint16_t>(port_)));
  Fd drip = ConnectTcp(static_cast<uint16_t>(port_));
  SendAll(drip.Get(), "GET /metr");
  Fd big = ConnectTcp(static_cast<uint16_t>(port_));
  SendAll(big.Get(), "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n" + std::string(4096, 'x'));
  // Players go on: a log-in, a command, voice.
  TestClient& carol = Client("carol");
  carol.Send(ServerStatsReq());
  EXPECT_TRUE(carol.WaitFor(kPktServerStats));
  TestUdp alice_udp, bob_udp;
  bob_udp.SendTo(UdpPort(), PingDatagram(bob.SessionId(), 1, 1));
  ASSERT_TRUE(bob_udp.Receive(Ms(3000)));
  alice_udp.SendTo(UdpPort(), RelayDatagram(alice.SessionId(), 1, {1}));
  EXPECT_TRUE(bob_udp.Receive(Ms(3000)));
  // The stop ends every HTTP connection and does not wait for them.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  server_.reset();
}

TEST(MonitoringListen, AnUnusableListenValueIsAWarningAndTheServerRuns) {
  Fd taken = ListenTcp();
  const std::string busy = "127.0.0.1:" + std::to_string(LocalPortOf(taken.Get()));
  // Which texts are addresses is the unit test MonitoringListen.ParseListenAddress's; here one
  // of them, and addresses that cannot be listened on.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"nonsense", " is not an address:port"},
      {"192.0.2.7:9870", ": cannot listen on 192.0.2.7:9870"},
      {busy, ": cannot listen on " + busy},
  };
  for (const auto& [value, why] : cases) {
    ServerProcess server({{"Monitoring", {{"Listen", value}}}});
    server.SetOutputFile("output.txt");
    ASSERT_TRUE(server.Start()) << value;
    std::string expected = "pvserver: warning: [Monitoring] Listen=" + value + why + "; monitoring is off\n";
    // Nothing else: no banner (the output is no terminal), nothing of a desktop (there is no DISPLAY).
    EXPECT_TRUE(WaitUntil([&] { return server.Output() == expected; })) << server.Output();
    TestClient c;
    ASSERT_TRUE(c.Connect(static_cast<uint16_t>(server.TcpPort())));
    EXPECT_TRUE(c.Login("alice"));
    // The optional key stays where the operator wrote it and is never added elsewhere.
    EXPECT_NE(server.IniText().find("[Monitoring]\r\nListen=" + value), std::string::npos) << server.IniText();
    c.Close();
    EXPECT_EQ(server.Stop(), 0);
  }
}

TEST(StartupBanner, OnATerminalOnlyWithPortsPathsAndMonitoring) {
  int monitoring_port = PickPortPair();
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ServerProcess on_tty({{"Monitoring", {{"Listen", std::to_string(monitoring_port)}}}});
  on_tty.SetOutputFd(slave);
  ASSERT_TRUE(on_tty.Start());
  ::close(slave);
  std::string seen;
  WaitUntil([&] {
    seen += ReceiveSome(master, 4096, Ms(100));
    return seen.find("Stop it with") != std::string::npos;
  });
  const std::string dir = on_tty.Dir().Path();
  for (const std::string& want :
       {std::string("Parleyvox Server v1.2.2 Win32 Service is running."),
        "control (TCP)  127.0.0.1, port " + std::to_string(on_tty.TcpPort()),
        "voice (UDP)    127.0.0.1, port " + std::to_string(on_tty.UdpPort()), "settings       " + dir + "/pvserver.ini",
        "event log      " + dir + "/pvserver.log",
        "monitoring     http://127.0.0.1:" + std::to_string(monitoring_port) + "/",
        "Stop it with Ctrl-C or kill -TERM " + std::to_string(on_tty.Pid()) + "."})
    EXPECT_NE(seen.find(want), std::string::npos) << want << "\n" << seen;
  EXPECT_EQ(on_tty.Stop(), 0);
  ::close(master);
  // The event log is as it always was. Output to a file has no banner: MonitoringListen's cases.
  EXPECT_TRUE(InOrder(on_tty.LogLines(), kStartLines));
}

}  // namespace
}  // namespace pv::test
