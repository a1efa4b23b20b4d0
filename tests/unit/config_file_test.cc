#include "core/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "base/errors.h"
#include "base/printf.h"
#include "core/ini_file.h"
#include "core/startup_warnings.h"
#include "support/ini_files.h"

namespace pv::test {
namespace {

// Every setting on one line, so a whole Settings compares in one assertion.
std::string Describe(const Settings& s) {
  return Printf("pw=%s admin=%s name=%s max=%d tcp=%d udp=%d ip=%s tries=%d wait=%d idle=%d "
                "web=%d site=%d list=%d post=%s link=%s",
                s.ServerPassword.c_str(), s.AdminPassword.c_str(), s.Servername.c_str(),
                s.MaxClients, s.TCPPort, s.UDPPort, s.IP.c_str(), s.MaxPingTries, s.PingWaitTime,
                s.IdleTimeBeforePing, s.WebStatusActive, s.ParleyvoxSite_Active,
                s.ParleyvoxSite_DisplayInWebList, s.WebPostURL.c_str(), s.WebPostLinkUrl.c_str());
}

// Runs with a umask of 0, the most permissive an operator could have, restored afterwards.
struct OpenUmask {
  mode_t saved = ::umask(0);
  ~OpenUmask() { ::umask(saved); }
};

class ConfigFile : public ::testing::Test {
 protected:
  // Loads the file with fresh defaults; the rooms land in rooms_, 256 at most (indexes 0..255).
  void Load() {
    settings_ = Settings();
    rooms_.clear();
    LoadConfig(path_, settings_, [this](const std::string& name) {
      if (rooms_.size() >= 256) throw ERangeError();
      rooms_.push_back(name);
    });
  }
  // Loads a current-layout file holding `body` after its [Version] section.
  void LoadCurrent(const std::string& body) {
    PutFile(path_, "[Version]\r\nServerVersion=v1.2.2\r\n" + body);
    Load();
  }

  TempDir dir_;
  std::string path_ = dir_.File("pvserver.ini");
  Settings settings_;
  std::vector<std::string> rooms_;
};

// The new file is private whatever the umask (that a replacement keeps the operator's mode is
// IniWrite's); the address check's key is read but never written.
TEST_F(ConfigFile, NoFileStartsWithTheDefaultsWritesThemAllPrivatelyAndLaterSavesChangeTheirOwnLines) {
  OpenUmask umask0;
  Load();
  EXPECT_TRUE(settings_.UdpFollowsTcpAddress);
  EXPECT_EQ(rooms_, std::vector<std::string>{"Default"});
  EXPECT_EQ(ModeOf(path_), 0600u);
  // Later saves change only their own lines; the rest are the defaults as loaded.
  SaveRooms(path_, {"Default", "Lobby"});
  SaveAdminPassword(path_, "n3w pass");
  std::string expected = kFirstStartFile + "[Channels]\r\n0=Default\r\n1=Lobby\r\n";
  expected.replace(expected.find("AdminPassword=vimbo"), 19, "AdminPassword=n3w pass");
  EXPECT_EQ(FileBytes(path_), expected);
  SaveRooms(path_, {});
  Load();
  EXPECT_EQ(rooms_, std::vector<std::string>{"Default"});
  // A room without a name cannot be read back; the rooms after it are.
  SaveRooms(path_, {"", "Lobby", "", "Music"});
  Load();
  EXPECT_EQ(rooms_, (std::vector<std::string>{"Lobby", "Music"}));
  PutFile(path_, FileBytes(path_) + "[Security]\r\nUdpFollowsTcpAddress=0\r\n");
  Load();
  EXPECT_FALSE(settings_.UdpFollowsTcpAddress);
}

// That a current file is left alone is AnOlderFileIsRewrittenKeepingEveryValueAndTheServerPassword's,
// how numbers are read IniRead's.
TEST_F(ConfigFile, ANumberThatCannotBeReadKeepsItsDefaultAndTheLargestTcpPortOverflows) {
  LoadCurrent("[General]\r\nMaxClients=letters\r\n");
  EXPECT_EQ(settings_.MaxClients, 16);
  // The largest TCP port overflows the UDP port, one below does not.
  EXPECT_THROW(LoadCurrent("[Networking]\r\nTCPPort=2147483647\r\n"), EIntOverflow);
  EXPECT_NO_THROW(LoadCurrent("[Networking]\r\nTCPPort=2147483646\r\n"));
  EXPECT_EQ(settings_.UDPPort, 2147483647);
}

TEST_F(ConfigFile, PostAddressGetsHttpInFrontUnlessItHasItSomewhereOrIsHttps) {
  const std::pair<const char*, const char*> cases[] = {
      {"host/post", "http://host/post"},         {"https://x.org/p", "https://x.org/p"},
      {"HTTPS://x.org/p", "HTTPS://x.org/p"},    {"x.org/https://p", "http://x.org/https://p"},
      {"HtTp://Example/", "HtTp://Example/"},    {"HTTP://A", "HTTP://A"},
      {"ftp://x/http://y", "ftp://x/http://y"},  {"", "http://"},
  };
  for (const auto& [stored, loaded] : cases) {
    LoadCurrent(Printf("[WebStatus]\r\nWebPostURL=%s\r\nWebPostLinkUrl=www.example\r\n", stored));
    EXPECT_EQ(settings_.WebPostURL, loaded) << stored;
    EXPECT_EQ(settings_.WebPostLinkUrl, "www.example");
  }
}

TEST_F(ConfigFile, RoomsAreReadUpToTheFirstGapOrEmptyNameOrTheFirstThatCannotBeCreated) {
  std::string forty(40, 'x');
  LoadCurrent("[Channels]\r\n0=Lobby\r\n1=" + forty + "\r\n3=After gap\r\n");
  EXPECT_EQ(rooms_, (std::vector<std::string>{"Lobby", forty}));  // the room module cuts names
  LoadCurrent("[Channels]\r\n0=\r\n1=Never read\r\n");
  EXPECT_EQ(rooms_, std::vector<std::string>{"Default"});
  // A room that cannot be created fails the load before any write.
  std::string body = "[Version]\r\nServerVersion=old\r\n[Channels]\r\n";
  for (int i = 0; i < 300; ++i) body += Printf("%d=Room %d\r\n", i, i);
  PutFile(path_, body);
  EXPECT_THROW(Load(), ERangeError);
  EXPECT_EQ(rooms_.size(), 256u);
  EXPECT_EQ(FileBytes(path_), body);
}

TEST_F(ConfigFile, AnOlderFileIsRewrittenKeepingEveryValueAndTheServerPassword) {
  PutFile(path_, kOlderFile);
  Load();
  EXPECT_EQ(Describe(settings_),
            "pw=secret admin=letmein name=My Old Server max=32 tcp=9000 udp=9001 ip= tries=5 "
            "wait=15000 idle=5000 web=1 site=0 list=0 post=http://example.org/post "
            "link=http://www.parleyvox.example/");
  EXPECT_EQ(rooms_, (std::vector<std::string>{"Lobby", "Music Room"}));
  const std::string rewritten =
      "[Version]\r\nServerVersion=v1.2.2\r\n"
      "[Passwords]\r\nServerPassword=secret\r\nAdminPassword=letmein\r\n"
      "[General]\r\nServername=My Old Server\r\nMaxClients=32\r\n"
      "[Networking]\r\nTCPPort=9000\r\nIP=\r\n"
      "[Ping]\r\nMaxPingTries=5\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n"
      "[WebStatus]\r\nActive=1\r\nParleyvoxSite_Active=0\r\nParleyvoxSite_DisplayInWebList=0\r\n"
      "WebPostURL=http://example.org/post\r\nWebPostLinkUrl=http://www.parleyvox.example/\r\n";
  EXPECT_EQ(FileBytes(path_), kOlderFileErased + rewritten);
  // Saving the rooms moves [Channels] to the end; its comment stays where it was.
  SaveRooms(path_, {"Lobby"});
  std::string expected = kOlderFileErased;
  const std::string old_rooms = "[Channels]\r\n0=Lobby\r\n1=Music Room\r\n";
  expected.erase(expected.find(old_rooms), old_rooms.size());
  EXPECT_EQ(FileBytes(path_), expected + rewritten + "[Channels]\r\n0=Lobby\r\n");
  // The next start reads it as current and writes nothing.
  ino_t before = Inode(path_);
  Load();
  EXPECT_EQ(settings_.ServerPassword, "secret");
  EXPECT_EQ(Inode(path_), before);
  // The version must match exactly: another letter case is an older file.
  PutFile(path_, "[Version]\r\nServerVersion=V1.2.2\r\n[Passwords]\r\nAdminPassword=x\r\n");
  Load();
  EXPECT_EQ(ReadOne(path_, "Version", "ServerVersion", ""), "v1.2.2");
  EXPECT_EQ(ReadOne(path_, "Passwords", "AdminPassword", ""), "x");
}

// A read trims blanks and removes a pair of quotes, so values that start or end with either are
// stored quoted: passwords and room names read back as they were saved, and a layout rewrite
// keeps every value as the older file gave it.
TEST_F(ConfigFile, ValuesWithEdgeBlanksOrQuotesReadBackAsSaved) {
  const struct {
    std::string value;
    std::string stored;
  } cases[] = {
      {"plain pass", "plain pass"},  {" pw ", "\" pw \""},   {"\tpw", "\"\tpw\""},
      {"'x'", "\"'x'\""},            {"\"y\"", "\"\"y\"\""}, {"\"half", "\"half"},
      {"'mixed\"", "'mixed\""},      {"", ""},
  };
  for (const auto& c : cases) {
    Load();
    SaveServerPassword(path_, c.value);
    SaveRooms(path_, {"Lobby", c.value.empty() ? "x" : c.value});
    EXPECT_NE(FileBytes(path_).find("ServerPassword=" + c.stored + "\r\n"), std::string::npos) << c.value;
    Load();
    EXPECT_EQ(settings_.ServerPassword, c.value);
    EXPECT_EQ(rooms_.back(), c.value.empty() ? "x" : c.value);
  }
  // An older file whose name is quoted twice keeps the inner pair through the rewrite.
  PutFile(path_, "[Version]\r\nServerVersion=v1.0\r\n[General]\r\nServername=\"'My Server'\"\r\n");
  Load();
  EXPECT_EQ(settings_.Servername, "'My Server'");
  Load();
  EXPECT_EQ(settings_.Servername, "'My Server'");
}

// An older read-only file fails the load: the refusal is IniFailure's, that it ends the start-up
// Startup.FailuresEndWithOneFatalLineAfterTheFirst's.
TEST_F(ConfigFile, AReadOnlyFileLoadsWhenCurrentAndItsSavesRaise) {
  PutFile(path_, "[Version]\r\nServerVersion=v1.2.2\r\n[General]\r\nServername=RO\r\n");
  ::chmod(path_.c_str(), 0444);
  EXPECT_NO_THROW(Load());
  // A save raises (that of the server password: AdminStats.PasswordChangesAndKicks).
  EXPECT_THROW(SaveAdminPassword(path_, "x"), EIniFileException);
  EXPECT_THROW(SaveRooms(path_, {"A"}), EIniFileException);
}

TEST_F(ConfigFile, PasswordAndRoomSavesAtTheSameTimeKeepBothChanges) {
  Load();
  constexpr int kRounds = 40;
  std::thread passwords([&] {
    for (int i = 0; i < kRounds; ++i) SaveServerPassword(path_, Printf("pw%d", i));
  });
  std::thread rooms([&] {
    for (int i = 0; i < kRounds; ++i) SaveRooms(path_, {Printf("room%d", i), "second"});
  });
  passwords.join();
  rooms.join();
  Load();
  EXPECT_EQ(settings_.ServerPassword, Printf("pw%d", kRounds - 1));
  EXPECT_EQ(rooms_, (std::vector<std::string>{Printf("room%d", kRounds - 1), "second"}));
}

// The file's secrets: a writer killed mid-write leaves nothing that the next start does not
// remove, and the operator is warned of exposed secrets. That texts from clients cannot add lines
// of their own is LoginSecurity.DefaultAdministratorPasswordOnlyLocallyAndNoTextWritesLinesOfItsOwn's.

using ConfigSecrets = ConfigFile;

TEST_F(ConfigSecrets, StaleTemporariesAreRemovedAtStartAndOthersKept) {
  Load();
  const std::pair<std::string, bool> temporaries[] = {  // {name, kept}; a dead writer's is IniSecrets'
      {"pvserver.ini." + std::to_string(::getpid()) + ".0.tmp", false},  // this process: no write runs yet
      {"pvserver.ini.1.0.tmp", true},                                    // init lives; the file is fresh
      {"pvserver.ini.backup.tmp", true},                                 // not of the writer's naming
      {"other.ini.999999999.3.tmp", true},
  };
  for (const auto& [name, kept] : temporaries) PutFile(dir_.File(name), "[Passwords]\r\nAdminPassword=x\r\n");
  Load();
  for (const auto& [name, kept] : temporaries) EXPECT_EQ(dir_.Exists(name), kept) << name;
}

// CR LF, LF and NUL through the server's callers are LoginSecurity's; a lone CR, which the reader
// also takes as a line end, and a break at the start cut the text there too.
TEST(ConfigSecretsText, ALoneCrOrALeadingBreakCutsTheText) {
  EXPECT_EQ(IniSafeText("ab\rcd"), "ab");
  EXPECT_EQ(IniSafeText("\r\nlead"), "");
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
    std::string all;
    for (const std::string& w : StartupWarnings(s, path_)) all += w + "\n";
    auto has = [&](const char* text) { return all.find(text) != std::string::npos; };
    EXPECT_EQ(has("\"vimbo\"") || has("password is empty"), c.warn_default) << c.name << "\n" << all;
    EXPECT_EQ(has("readable by every user"), c.warn_readable) << c.name << "\n" << all;
  }
}

}  // namespace
}  // namespace pv::test
