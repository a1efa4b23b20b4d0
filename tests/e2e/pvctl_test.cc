// pvctl against a running server: every command in both output forms, the administrator
// commands' effects as other clients see them, and the exit codes and messages for refusals,
// usage errors and servers that are not there or do not answer.
#include <fcntl.h>
#include <pty.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "support/sanitizer_build.h"
#include "support/server_test.h"

namespace pv::test {
namespace {

using Args = std::vector<std::string>;

// The passwords pvctl reads from the environment are cleared unless a test sets them.
ProgramResult RunPvctl(int port, Args args, const EnvChanges& env = {}) {
  args.insert(args.begin(), {PV_PVCTL_BINARY, "--port", std::to_string(port)});
  EnvChanges all = {{"PVCTL_SERVER_PASSWORD", std::nullopt},
                    {"PVCTL_ADMIN_PASSWORD", std::nullopt},
                    {"PVCTL_NEW_PASSWORD", std::nullopt}};
  for (const auto& [name, value] : env) all[name] = value;
  return RunProgram(std::move(args), all);
}

// The blank-separated words of the text table's row that starts with `first`.
std::vector<std::string> RowOf(const std::string& table, const std::string& first) {
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string w; words >> w;) row.push_back(w);
    if (!row.empty() && row[0] == first) return row;
  }
  return {};
}

// pvctl run with `args` against a stand-in server of the test's own, which hands its one
// accepted connection to `serve`.
ProgramResult AgainstStandIn(const std::function<void(int)>& serve, const Args& args = {"info"}) {
  Fd listener = ListenTcp();
  std::thread stand_in([&] {
    Fd peer(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    serve(peer.Get());
  });
  ProgramResult r = RunPvctl(LocalPortOf(listener.Get()), args);
  stand_in.join();
  return r;
}

std::string DescribeRun(const Args& args, const ProgramResult& r) {
  std::string cmd;
  for (const auto& a : args) cmd += a + " ";
  return "pvctl " + cmd + "-> exit " + std::to_string(r.exit_code) + "\nstdout: " + r.out + "\nstderr: " + r.err;
}

class Pvctl : public ServerTest {
 protected:
  ProgramResult Run(const Args& args, const EnvChanges& env = {}) { return RunPvctl(server_->TcpPort(), args, env); }
  // Runs pvctl and expects this exit code and exactly these outputs.
  void Expect(const Args& args, const EnvChanges& env, int exit_code, const std::string& out,
              const std::string& err = "") {
    ProgramResult r = Run(args, env);
    EXPECT_EQ(r.exit_code, exit_code) << DescribeRun(args, r);
    EXPECT_EQ(r.out, out) << DescribeRun(args, r);
    EXPECT_EQ(r.err, err) << DescribeRun(args, r);
  }
  const EnvChanges kAdmin = {{"PVCTL_ADMIN_PASSWORD", "vimbo"}};
};

TEST_F(Pvctl, ReadCommandsWithoutAdministratorLoginThenAdministratorCommandsAsOtherClientsSeeThem) {
  StartServer({{"Channels", {{"0", "Lobby"}, {"1", "Games"}}}});
  TestClient& alice = Admin("alice");
  TestClient& bob = Client("bob", "1.2.7");
  bob.Send(ChangeRoom(2));
  ASSERT_TRUE(alice.WaitFor(kPktPlayerChangedRoom));
  Client(std::string("evil\x1b[2J", 8));
  struct Case {
    Args args;
    std::vector<std::string> want;  // substrings of stdout
  };
  const std::vector<Case> cases = {
      {{"info"}, {"server   Parleyvox Server\n", "version  v1.2.2 Win32 Service\n", "players  3\n", "rooms    2\n"}},
      {{"--json", "info"},
       {R"({"server_name":"Parleyvox Server","version":"v1.2.2 Win32 Service","players":3,"max_clients":null,"rooms":2,"uptime_ms":)"}},
      {{"rooms"}, {"ID  NAME   PLAYERS\n1   Lobby  2\n2   Games  1\n"}},
      {{"--json", "rooms"}, {R"({"rooms":[{"id":1,"name":"Lobby","players":2},{"id":2,"name":"Games","players":1}]})"}},
      {{"--json", "players"},
       {R"({"players":[{"id":1,"name":"alice","room":1,"admin":true,"version":"1.2.1","connected_ms":)",
        R"({"id":2,"name":"bob","room":2,"admin":false,"version":"1.2.7",)"}},
      {{"stats"}, {"version          v1.2.2 Win32 Service\n", "tcp packets in   "}},
      {{"--json", "stats"}, {R"({"version":"v1.2.2 Win32 Service","uptime_ms":)", R"("tcp_bytes_in":)"}},
      {{"--json", "stats", "2"}, {R"({"id":2,"version":"1.2.7","connected_ms":)", R"("udp_packets_in":0,)"}},
      {{"stats", "2"}, {"player           2\n", "version          1.2.7\n"}},
  };
  for (const Case& c : cases) {
    ProgramResult r = Run(c.args, kAdmin);
    EXPECT_EQ(r.exit_code, 0) << DescribeRun(c.args, r);
    for (const auto& want : c.want) EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << DescribeRun(c.args, r);
    EXPECT_EQ(r.err, "") << DescribeRun(c.args, r);
  }
  ProgramResult players = Run({"players"});
  std::vector<std::string> alice_row = RowOf(players.out, "1");
  alice_row.resize(5);
  EXPECT_EQ(alice_row, (std::vector<std::string>{"1", "alice", "1", "yes", "1.2.1"})) << players.out;
  EXPECT_EQ(RowOf(players.out, "2").at(3), "no") << players.out;
  // The control character of the hostile name never reaches the terminal (how JSON escapes it
  // is JsonWriter.JsonQuoteEscapesEveryUnsafeByte's).
  EXPECT_EQ(players.out.find('\x1b'), std::string::npos);
  EXPECT_NE(players.out.find("evil?[2J"), std::string::npos) << players.out;
  // None of these logged in as administrator, though the password was there to use.
  EXPECT_FALSE(bob.TryWaitFor([](const ServerPacket& p) { return p.Code == kPktPlayerIsAdmin; },
                              std::chrono::milliseconds(200)));

  // The administrator commands, as another client sees them (what everyone hears of a kick is
  // AdminStats' and the hostile clients' test's).
  Expect({"room", "create", "Music"}, kAdmin, 0, "created room 3 Music\n");
  auto created = alice.WaitFor(kPktRoomCreated);
  ASSERT_TRUE(created);
  EXPECT_EQ(ParseRoomCreated(*created).Name, "Music");
  Expect({"--json", "room", "create", "Talk"}, kAdmin, 0, "{\"room\":{\"id\":4,\"name\":\"Talk\"}}\n");
  Expect({"--json", "room", "delete", "3"}, kAdmin, 0, "{\"deleted_room\":3}\n");
  auto deleted = alice.WaitFor(kPktRoomDeleted);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(ParseRoomDeleted(*deleted), 3);
  Expect({"kick", std::to_string(bob.PlayerId())}, kAdmin, 0, "kicked player 2\n");

  // A new server password is in force; pvctl then needs it too.
  Expect({"password", "server"}, {{"PVCTL_ADMIN_PASSWORD", "vimbo"}, {"PVCTL_NEW_PASSWORD", "s3cret"}}, 0,
         "server password changed\n");
  Expect({"info"}, {}, 1, "", "pvctl: wrong server password (set PVCTL_SERVER_PASSWORD)\n");

  const EnvChanges logged_in = {{"PVCTL_SERVER_PASSWORD", "s3cret"}, {"PVCTL_ADMIN_PASSWORD", "vimbo"}};
  EnvChanges change_admin = logged_in;
  change_admin["PVCTL_NEW_PASSWORD"] = "boss";
  Expect({"--json", "password", "admin"}, change_admin, 0, "{\"changed\":\"admin_password\"}\n");
  Expect({"room", "create", "Late"}, logged_in, 1, "", "pvctl: wrong administrator password\n");
  Expect({"room", "create", "Late"}, {{"PVCTL_SERVER_PASSWORD", "s3cret"}, {"PVCTL_ADMIN_PASSWORD", "boss"}}, 0,
         "created room 3 Late\n");

  // Output that never arrived is no success for a script.
  ProgramResult full = RunProgram({"/bin/sh", "-c", "exec \"$0\" --port \"$1\" info >/dev/full", PV_PVCTL_BINARY,
                                   std::to_string(server_->TcpPort())},
                                  {{"PVCTL_SERVER_PASSWORD", "s3cret"}});
  EXPECT_EQ(full.exit_code, 3) << full.err;
  EXPECT_EQ(full.err, "pvctl: cannot write the output: No space left on device\n");
}

TEST_F(Pvctl, RefusalsExitOneWithTheReason) {
  StartServer({{"General", {{"MaxClients", "3"}}}});
  TestClient& first = Client("first");
  struct Case {
    Args args;
    EnvChanges env;
    int exit_code;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"kick", "9"}, kAdmin, 1, "pvctl: no player has id 9\n"},
      {{"stats", "9"}, {}, 1, "pvctl: no player has id 9\n"},
      {{"room", "delete", "9"}, kAdmin, 1, "pvctl: no room has id 9\n"},
      {{"room", "create", "default"}, kAdmin, 1, "pvctl: a room of that name already exists\n"},
      {{"kick", "1"}, {{"PVCTL_ADMIN_PASSWORD", "VIMBO"}}, 1, "pvctl: wrong administrator password\n"},
      // No password and no terminal to ask on: a usage error, nothing is sent.
      {{"kick", "1"}, {}, 2, "pvctl: no administrator password: set PVCTL_ADMIN_PASSWORD\n"},
      {{"password", "server"}, kAdmin, 2, "pvctl: no new password: set PVCTL_NEW_PASSWORD\n"},
      {{"password", "admin"}, {{"PVCTL_ADMIN_PASSWORD", "vimbo"}, {"PVCTL_NEW_PASSWORD", std::string(31, 'x')}}, 2,
       "pvctl: a password has at most 30 characters\n"},
      {{"kick", "9"}, {{"PVCTL_ADMIN_PASSWORD", "vimbo" + std::string(26, 'x')}}, 2,
       "pvctl: a password has at most 30 characters\n"},
      // The server would keep "abc" and pvctl would say the password changed.
      {{"password", "admin"}, {{"PVCTL_ADMIN_PASSWORD", "vimbo"}, {"PVCTL_NEW_PASSWORD", "abc\ndef"}}, 2,
       "pvctl: a password has no control characters\n"},
      // pvctl itself is player 2, which it lists nowhere: to the operator there is no such player.
      {{"kick", "2"}, kAdmin, 1, "pvctl: no player has id 2\n"},
  };
  for (const Case& c : cases) Expect(c.args, c.env, c.exit_code, "", c.err);
  // The one player was never kicked, and a full server refuses pvctl like any client.
  EXPECT_FALSE(first.TryWaitFor(LeftOf(1), std::chrono::milliseconds(100)));
  Client("second");
  Client("third");
  Expect({"info"}, {}, 1, "", "pvctl: the server is full\n");
}

TEST(PvctlUsage, BadCommandLinesExitTwoBeforeConnecting) {
  // Port 1 is never a server here: a usage error must come before any connection attempt. The
  // last "--port" of a command line has no value.
  const std::vector<Args> cases = {{},
                                    {"frob"},
                                    {"kick"}, {"kick", "0"}, {"kick", "256"}, {"kick", "1x"},
                                    {"stats", "-1"},
                                    {"room"}, {"room", "create"}, {"room", "create", std::string(31, 'r')},
                                    {"room", "create", "ab\ncd"},
                                    {"room", "delete", "0"}, {"room", "rename", "1"},
                                    {"password"}, {"password", "root"},
                                    {"info", "extra"}, {"--bogus", "info"},
                                    {"--port", "0", "info"}, {"--port", "65536", "info"}, {"--port"},
                                    {"--name", std::string(31, 'n'), "info"}};

  for (const Args& args : cases) {
    ProgramResult r = RunPvctl(1, args);
    EXPECT_EQ(r.exit_code, 2) << DescribeRun(args, r);
    EXPECT_NE(r.err.find("usage: pvctl"), std::string::npos) << DescribeRun(args, r);
    EXPECT_EQ(r.out, "") << DescribeRun(args, r);
  }
  ProgramResult help = RunProgram({PV_PVCTL_BINARY, "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: pvctl"), std::string::npos);
}

// The echo goes off before the prompt shows: pvctl's prompt waits on a full stderr pipe, and by
// then the terminal must already be quiet (switched later, it would drop what was typed after
// the prompt). At the prompt, the end of the input is no password (a usage error, nothing sent)
// and a stop signal ends pvctl; either way the terminal's echo is on again.
TEST(PvctlUsage, ThePromptShowsOnlyOnceTheEchoIsOffAndItsEndOrAStopSignalTurnsTheEchoOn) {
  for (bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "interrupted" : "ended");
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    int err[2];
    ASSERT_EQ(::pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
    Fd err_read(err[0]), err_write(err[1]), terminal(master);
    const std::string filler(4096, '.');
    while (::write(err_write.Get(), filler.data(), filler.size()) > 0) {
    }
    ::fcntl(err_write.Get(), F_SETFL, 0);  // pvctl's prompt now waits for room
    pid_t pid = StartProgram({"/bin/sh", "-c", "exec \"$0\" --port 1 password admin <&3", PV_PVCTL_BINARY},
                             {{"PVCTL_ADMIN_PASSWORD", "x"}, {"PVCTL_NEW_PASSWORD", std::nullopt}}, "",
                             {-1, err_write.Get(), slave});
    ::close(slave);
    // Either the echo goes off, or pvctl sits in write(2, ...) with it still on.
    const auto echo_off = [&] {
      termios now{};
      return ::tcgetattr(master, &now) == 0 && !(now.c_lflag & ECHO);
    };
    const auto writing_stderr = [&] {
      std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
      std::string number, fd;
      return static_cast<bool>(syscall >> number >> fd) && number == std::to_string(SYS_write) && fd == "0x2";
    };
    EXPECT_TRUE(WaitUntil([&] { return echo_off() || writing_stderr(); }));
    EXPECT_TRUE(echo_off());
    // Room for the prompt, then at it the terminal's end of input (Ctrl-D) or SIGINT.
    std::string said;
    const auto shown = [&](const char* text) {
      return WaitUntil([&] { return (said += ReceiveSome(err_read.Get(), 65536, Ms(100))).find(text) != said.npos; });
    };
    EXPECT_TRUE(shown("New password: "));
    if (interrupt) {
      ::kill(pid, SIGINT);
    } else {
      const char end_of_input = 4;
      ASSERT_EQ(::write(master, &end_of_input, 1), 1);
    }
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
      ADD_FAILURE() << "pvctl still waits at the prompt";
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    if (interrupt) {
      // Ended by the signal; under ThreadSanitizer, which runs signal handlers late, the
      // interrupted read may end the prompt first, and with it pvctl as a usage error.
      EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) ||
                  (kThreadSanitizer && WIFEXITED(status) && WEXITSTATUS(status) == 2))
          << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
      EXPECT_TRUE(shown("no new password")) << said.substr(said.find_last_of('.') + 1);
    }
    termios now{};
    ASSERT_EQ(::tcgetattr(master, &now), 0);
    EXPECT_TRUE(now.c_lflag & ECHO);
  }
}

TEST(PvctlUsage, AServerThatIsNotThereOrSilentOrHangsUpExitsThree) {
  int free_port = PickPortPair();
  ProgramResult refused = RunPvctl(free_port, {"info"});
  EXPECT_EQ(refused.exit_code, 3) << refused.err;
  EXPECT_NE(refused.err.find("cannot connect to 127.0.0.1 port " + std::to_string(free_port)), std::string::npos)
      << refused.err;

  // Accepts and closes at once: the connection broke before the log-in was answered.
  ProgramResult closed = AgainstStandIn([](int) {});
  EXPECT_EQ(closed.exit_code, 3) << closed.err;
  EXPECT_EQ(closed.err, "pvctl: the server closed the connection (waiting for answer to the log-in)\n");

  // Never answered: pvctl gives up after its 10 s bound.
  auto start = std::chrono::steady_clock::now();
  ProgramResult timed_out =
      AgainstStandIn([](int peer) { SeesClose(peer, std::chrono::seconds(20)); }, {"--json", "players"});
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(timed_out.exit_code, 3) << timed_out.err;
  EXPECT_EQ(timed_out.err, "pvctl: no answer to the log-in from the server within 10 s\n");
  EXPECT_EQ(timed_out.out, "");
  EXPECT_GE(took, std::chrono::milliseconds(9500));
  EXPECT_LT(took, std::chrono::seconds(15));

  // Answers the log-in with a LoginAccepted that is the header alone: refused at once, not read
  // as zeros.
  ProgramResult malformed = AgainstStandIn([](int peer) {
    ReceiveSome(peer, 4096, std::chrono::seconds(5));
    SendAll(peer, Bytes{0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0x01, 0x00});
    SeesClose(peer);
  });
  EXPECT_EQ(malformed.exit_code, 3) << malformed.err;
  EXPECT_EQ(malformed.err, "pvctl: the server sent a malformed answer to the log-in (code 1, session 0, 8 bytes)\n");

  // Sends packets that answer nothing, without a pause, for longer than pvctl waits: the bound
  // holds all the same.
  start = std::chrono::steady_clock::now();
  ProgramResult flooded = AgainstStandIn([&](int peer) {
    Bytes lefts;
    for (int i = 0; i < 1000; ++i)  // PlayerLeft of player 77
      lefts.insert(lefts.end(), {0xBA, 0xB0, 0x00, 0x00, 0x0A, 0x00, 0x0C, 0x00, 0x4D, 0x01});
    // Until pvctl hangs up, or for longer than it waits.
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20) && SendAll(peer, lefts)) {
    }
  });
  took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(flooded.exit_code, 3) << flooded.err;
  EXPECT_EQ(flooded.err, "pvctl: no answer to the log-in from the server within 10 s\n");
  EXPECT_LT(took, std::chrono::seconds(15));
}

}  // namespace
}  // namespace pv::test
