// The configuration file's secrets on disk: the operator is told at start when the file holding
// passwords is readable by every user; a server killed again and again while it writes the file
// leaves no temporary copy behind after its next start, and the file stays whole and private.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/ini_file.h"
#include "support/ini_files.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace pv::test {
namespace {

// The writer's temporary files beside the configuration file.
std::vector<std::string> Temporaries(const TempDir& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = entry.path().filename();
    if (name.starts_with("pvserver.ini.") && name.ends_with(".tmp")) found.push_back(name);
  }
  return found;
}

TEST(IniSecrets, WorldReadableFileIsWarnedOfAndKillsDuringWritesLeaveNoTemporaryFileAndAWholePrivateIni) {
  constexpr int kKills = 50;
  ServerProcess server({{"Passwords", {{"ServerPassword", "p-start"}, {"AdminPassword", "s3cret"}}}});
  server.SetOutputFile("output.txt");
  ASSERT_TRUE(server.Start());
  const std::string ini_path = server.Dir().File("pvserver.ini");
  // The warning goes to stderr; the start-up lines in the log stay as they are.
  const std::string output = server.Output();
  EXPECT_EQ(output.find("holds passwords and is readable by every user") != std::string::npos,
            (ModeOf(ini_path) & S_IROTH) != 0)
      << output;
  // Listening on 127.0.0.1 only, with a password of its own: nothing about the default.
  EXPECT_EQ(output.find("vimbo"), std::string::npos) << output;
  for (const std::string& line : server.LogLines()) EXPECT_EQ(line.find("Warning"), std::string::npos) << line;

  server.KeepIniFromNowOn();
  ASSERT_EQ(::chmod(ini_path.c_str(), 0600), 0);
  // Kills sent while a temporary copy stood, and kills that left one behind (they landed
  // between the copy's creation and its rename). Which copies a start removes by their name is
  // ConfigSecrets.StaleTemporariesAreRemovedAtStartAndOthersKept's.
  int during_write = 0, mid_write = 0;
  for (int k = 0; k <= kKills; ++k) {
    if (k > 0) {
      ASSERT_TRUE(server.Start()) << "start " << k;
    }
    // After every start: no temporary copy, and a whole file that kept its private mode.
    EXPECT_TRUE(Temporaries(server.Dir()).empty()) << "start " << k;
    EXPECT_EQ(ModeOf(ini_path), 0600u) << "start " << k;
    IniFile ini(ini_path);
    EXPECT_EQ(ini.ReadString("Version", "ServerVersion", ""), "v1.2.2") << "start " << k;
    const std::string password = ini.ReadString("Passwords", "ServerPassword", "");
    EXPECT_EQ(password.rfind("p-", 0), 0u) << "start " << k << ": " << password;
    EXPECT_EQ(ini.ReadString("Networking", "TCPPort", ""), std::to_string(server.TcpPort()));
    if (k == kKills) break;
    // An administrator logs in and changes the server password as fast as the server takes it,
    // all in one send: the cycle costs the server's start and little more.
    TestClient admin;
    ASSERT_TRUE(admin.Connect(static_cast<uint16_t>(server.TcpPort())));
    Bytes burst = Together({ClientLogin("admin", password, "1.2.1"), ClientReady(), AdminLogin("s3cret")});
    for (int i = 0; i < 200; ++i)
      burst = Together({burst, AdminChangeServerPassword("p-" + std::to_string(k) + "-" + std::to_string(i))});
    ASSERT_TRUE(admin.SendNow(burst));
    // Killed the moment a temporary copy is seen (or after 5 s): in the middle of a write. The
    // copy is private from its creation (one renamed meanwhile has no mode, 0).
    const bool caught = WaitUntil(
        [&] {
          const std::vector<std::string> found = Temporaries(server.Dir());
          const mode_t mode = found.empty() ? 0 : ModeOf(server.Dir().File(found[0]));
          EXPECT_TRUE(mode == 0 || mode == 0600u) << found[0] << " has mode " << std::oct << mode;
          return !found.empty();
        },
        Ms(5000), Ms(0));
    ::kill(server.Pid(), SIGKILL);
    EXPECT_LT(server.WaitExit(Ms(5000)), 0);
    during_write += caught;
    mid_write += !Temporaries(server.Dir()).empty();
  }
  EXPECT_EQ(during_write, kKills);
  EXPECT_GT(mid_write, 0) << "no kill left a temporary copy for the next start to remove";
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace pv::test
