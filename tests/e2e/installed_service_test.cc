// The packaged server started the way its systemd units start it, from a package unpacked into
// a scratch root (PV_PACKAGE_ROOT, set by the packaging leg of test.sh; the test is skipped
// without it, or when not run as root). Each unit's own lines decide how: its user (a
// throwaway uid when the machine has no such user), its environment and working folder, the
// folders systemd would make for it, no new privileges and no capabilities. Every path of a
// unit is taken below the scratch root. The test's socket stands in for systemd's
// NOTIFY_SOCKET.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "support/ini_files.h"
#include "support/loopback_sockets.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace pv::test {
namespace {

// A throwaway service identity for machines without the package's user.
constexpr uid_t kThrowawayId = 64123;

// The [Service] lines of a unit, with the instance name put in for "%i". Environment lines
// are split into their variables.
struct Unit {
  std::map<std::string, std::string> lines;
  std::map<std::string, std::string> environment;
};

Unit ReadUnit(const std::string& path, const std::string& instance) {
  Unit unit;
  std::ifstream in(path);
  std::string line, section;
  while (std::getline(in, line)) {
    for (size_t at; (at = line.find("%i")) != std::string::npos;) line.replace(at, 2, instance);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      section = line;
      continue;
    }
    size_t equals = line.find('=');
    if (section != "[Service]" || equals == std::string::npos) continue;
    std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "Environment") {
      size_t inner = value.find('=');
      unit.environment[value.substr(0, inner)] = value.substr(inner + 1);
    } else {
      unit.lines[key] = value;
    }
  }
  return unit;
}

uid_t OwnerOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

class InstalledService : public ::testing::TestWithParam<std::pair<std::string, std::string>> {
 protected:
  void SetUp() override {
    const char* root = std::getenv("PV_PACKAGE_ROOT");
    if (root == nullptr || root[0] == '\0') GTEST_SKIP() << "PV_PACKAGE_ROOT names no unpacked package";
    if (::geteuid() != 0) GTEST_SKIP() << "starting the service as its own user needs root";
    root_ = root;
    const passwd* user = ::getpwnam("parleyvox");
    uid_ = user ? user->pw_uid : kThrowawayId;
    gid_ = user ? user->pw_gid : kThrowawayId;
  }
  // A folder as systemd makes a StateDirectory or LogsDirectory: owned by the service user.
  void MakeServiceFolder(const std::string& path) {
    std::filesystem::create_directories(path);
    ASSERT_EQ(::chown(path.c_str(), uid_, gid_), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), 0750), 0) << path;
  }

  std::string root_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_P(InstalledService, StartsAsItsUnitSaysLogsInItsFoldersAndStopsOnSigterm) {
  const auto& [unit_name, instance] = GetParam();
  Unit unit = ReadUnit(root_ + "/lib/systemd/system/" + unit_name, instance);
  // systemd waits for READY=1 only from a notify-type service; the hardening is rated by
  // systemd-analyze in the packaging checks.
  EXPECT_EQ(unit.lines["Type"], "notify");
  EXPECT_EQ(unit.lines["User"], "parleyvox");
  std::string suffix = instance.empty() ? "" : "/" + instance;
  ASSERT_EQ(unit.lines["StateDirectory"], "parleyvox" + suffix);
  ASSERT_EQ(unit.lines["LogsDirectory"], "parleyvox" + suffix);
  ASSERT_EQ(unit.environment["PARLEYVOX_HOME"], "/var/lib/parleyvox" + suffix);
  ASSERT_EQ(unit.lines["WorkingDirectory"], "/var/log/parleyvox" + suffix);

  const std::string home = root_ + unit.environment["PARLEYVOX_HOME"];
  const std::string logs = root_ + unit.lines["WorkingDirectory"];
  MakeServiceFolder(home);
  MakeServiceFolder(logs);
  // The operator's INI file before the first start: its own port, an older layout that the
  // server rewrites in place.
  int port = PickPortPair();
  ASSERT_NE(port, 0);
  std::ofstream(home + "/pvserver.ini") << "[Version]\r\nServerVersion=v1.2.1\r\n[Networking]\r\nIP=127.0.0.1\r\n"
                                        << "TCPPort=" << port << "\r\n";
  ASSERT_EQ(::chown((home + "/pvserver.ini").c_str(), uid_, gid_), 0);

  TempDir manager_dir;
  ASSERT_EQ(::chmod(manager_dir.Path().c_str(), 0755), 0);
  Fd manager = BindUnixDatagram(manager_dir.File("notify"));
  ASSERT_GE(manager.Get(), 0);
  ASSERT_EQ(::chmod(manager_dir.File("notify").c_str(), 0666), 0);

  EnvChanges env;
  for (const auto& [name, value] : unit.environment) env[name] = value.rfind('/', 0) == 0 ? root_ + value : value;
  env["NOTIFY_SOCKET"] = manager_dir.File("notify");
  int out = ::open(manager_dir.File("output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = StartProgram({"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                            "--clear-groups", "--no-new-privs", "--inh-caps=-all", "--bounding-set=-all", "--",
                            root_ + unit.lines["ExecStart"]},
                           env, logs, {out, out, -1});
  ::close(out);
  ASSERT_GT(pid, 0);
  std::string ready = ReceiveSome(manager.Get(), 64, Ms(15000));
  int status = -1;
  if (ready != "READY=1") {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "no READY=1 from " << unit_name << "; output: " << FileBytes(manager_dir.File("output"))
           << "log: " << FileBytes(logs + "/pvserver.log");
  }
  {
    TestClient client;
    EXPECT_TRUE(client.Connect(static_cast<uint16_t>(port)));
    EXPECT_TRUE(client.Login("operator", "", "1.2.1"));
  }
  std::string log = FileBytes(logs + "/pvserver.log");
  EXPECT_NE(log.find("----Parleyvox server started----"), std::string::npos) << log;
  EXPECT_EQ(OwnerOf(logs + "/pvserver.log"), uid_);
  // Rewritten where the unit says (what a rewrite keeps and adds is ConfigFile's and Startup's).
  std::string ini = FileBytes(home + "/pvserver.ini");
  EXPECT_NE(ini.find("ServerVersion=v1.2.2"), std::string::npos) << ini;
  EXPECT_EQ(OwnerOf(root_ + "/usr/sbin/pvserver.ini"), static_cast<uid_t>(-1));  // nothing beside the program

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, Ms(30000))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << unit_name << " did not end within 30 s of SIGTERM";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(Units, InstalledService,
                         ::testing::Values(std::make_pair(std::string("parleyvox-server.service"), std::string()),
                                           std::make_pair(std::string("parleyvox-server@.service"),
                                                          std::string("eu"))),
                         [](const auto& info) { return info.param.second.empty() ? "Single" : "Instance"; });

}  // namespace
}  // namespace pv::test
