// The configuration file's secrets: files are private from their creation, a writer killed
// mid-write leaves nothing that the next start does not remove, texts from clients cannot add
// lines of their own, and the operator is warned of exposed secrets.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic_file.h"
#include "core/config_file.h"
#include "core/startup_warnings.h"
#include "support/ini_files.h"

namespace pv::test {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs with a umask of 0, the most permissive an operator could have, restored afterwards.
struct OpenUmask {
  mode_t saved = ::umask(0);
  ~OpenUmask() { ::umask(saved); }
};

class ConfigSecrets : public ::testing::Test {
 protected:
  void Load() {
    settings_ = Settings();
    LoadConfig(path_, settings_, [](const std::string&) {});
  }
  TempDir dir_;
  std::string path_ = dir_.File("pvserver.ini");
  Settings settings_;
};

TEST_F(ConfigSecrets, NewFileIsPrivateAndAReplacementKeepsTheOperatorsMode) {
  OpenUmask umask0;
  Load();
  EXPECT_EQ(ModeOf(path_), 0600u);
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  SaveAdminPassword(path_, "n3w");
  EXPECT_EQ(ModeOf(path_), 0640u);
}

TEST_F(ConfigSecrets, StaleTemporariesAreRemovedAtStartAndOthersKept) {
  Load();
  const std::pair<std::string, bool> temporaries[] = {  // {name, kept}
      {"pvserver.ini.999999999.3.tmp", false},                           // no such process
      {"pvserver.ini." + std::to_string(::getpid()) + ".0.tmp", false},  // this process: no write runs yet
      {"pvserver.ini.1.0.tmp", true},                                    // init lives; the file is fresh
      {"pvserver.ini.backup.tmp", true},                                 // not of the writer's naming
      {"other.ini.999999999.3.tmp", true},
  };
  for (const auto& [name, kept] : temporaries) PutFile(dir_.File(name), "[Passwords]\r\nAdminPassword=x\r\n");
  Load();
  for (const auto& [name, kept] : temporaries) EXPECT_EQ(dir_.Exists(name), kept) << name;
}

TEST(ConfigSecretsText, ClientTextsAreCutAtTheFirstLineBreakOrNul) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"}, {"x\r\n[Channels]\r\n0=Evil", "x"}, {"ab\ncd", "ab"}, {"ab\rcd", "ab"},
      {std::string("ab\0cd", 5), "ab"}, {"\r\nlead", ""}, {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(IniSafeText(in), out) << in;
}

TEST_F(ConfigSecrets, AddressCheckKeyIsReadButNeverWritten) {
  Load();
  EXPECT_TRUE(settings_.UdpFollowsTcpAddress);
  EXPECT_EQ(FileBytes(path_).find("Security"), std::string::npos);
  PutFile(path_, FileBytes(path_) + "[Security]\r\nUdpFollowsTcpAddress=0\r\n");
  Load();
  EXPECT_FALSE(settings_.UdpFollowsTcpAddress);
}

TEST_F(ConfigSecrets, StartupWarningsNameWhatIsExposed) {
  struct Case {
    const char* name;
    std::string ip, admin_password;
    mode_t mode;
    bool passwords_in_file;
    bool warn_default, warn_readable;
  } cases[] = {
      {"default on all addresses", "", "vimbo", 0600, true, true, false},
      {"default on a public address", "192.0.2.1", "vimbo", 0600, true, true, false},
      {"default on loopback", "127.0.0.1", "vimbo", 0600, true, false, false},
      {"empty on all addresses", "", "", 0600, false, true, false},
      {"empty on loopback", "127.0.0.1", "", 0600, false, false, false},
      {"own password everywhere", "", "s3cret", 0600, true, false, false},
      {"world-readable with passwords", "127.0.0.1", "s3cret", 0644, true, false, true},
      {"group-readable only", "127.0.0.1", "s3cret", 0640, true, false, false},
      {"world-readable without passwords", "127.0.0.1", "s3cret", 0644, false, false, false},
  };
  for (const Case& c : cases) {
    PutFile(path_, c.passwords_in_file ? "[Passwords]\r\nAdminPassword=" + c.admin_password + "\r\n" : "[General]\r\n");
    ASSERT_EQ(::chmod(path_.c_str(), c.mode), 0);
    Settings s;
    s.IP = c.ip;
    s.AdminPassword = c.admin_password;
    bool warn_default = false, warn_readable = false;
    for (const std::string& w : StartupWarnings(s, path_)) {
      warn_default = warn_default || w.find("\"vimbo\"") != std::string::npos ||
                     w.find("password is empty") != std::string::npos;
      warn_readable = warn_readable || w.find("readable by every user") != std::string::npos;
    }
    EXPECT_EQ(warn_default, c.warn_default) << c.name;
    EXPECT_EQ(warn_readable, c.warn_readable) << c.name;
  }
}

}  // namespace
}  // namespace pv::test
