// Password guessing and the administrator's secrets, tried from other hosts (other loopback
// addresses): guesses are throttled per address while other addresses log in at once, the
// shipped administrator password works from the local machine only, and texts an administrator
// sends cannot write lines of their own into the configuration file.
#include <gtest/gtest.h>

#include "support/server_test.h"

namespace pv::test {
namespace {

// Clients connect from 127.0.0.1 or, standing for other hosts, from 127.0.0.2 and up.
class LoginSecurity : public ServerTest {
 protected:
  // The answer to one ClientLogin from `from`.
  int16_t LoginAnswer(const std::string& from, const std::string& password) {
    TestClient& c = Client("", "1.2.1", "", from);
    c.Login("guess", password);
    return c.LoginAnswer() ? c.LoginAnswer()->Code : 0;
  }
};

// Five wrong passwords, the server's or the administrator's, lock an address out: the right one
// is then refused unchecked, with one log line for the lock-out, while another address gets in at
// once.
TEST_F(LoginSecurity, PasswordGuessingIsThrottledPerAddress) {
  StartServer({{"Passwords", {{"ServerPassword", "pw"}, {"AdminPassword", "s3cret"}}}});
  // The server password at login: the refusal is answered as a wrong password.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(LoginAnswer("127.0.0.4", "nope"), kPktBadServerPassword) << i;
  EXPECT_EQ(LoginAnswer("127.0.0.4", "pw"), kPktBadServerPassword) << "the right password got past the lock-out";
  EXPECT_EQ(server_->LogCount("Client logins from 127.0.0.4 refused for 60 seconds after 5 wrong passwords"), 1);

  TestClient& guesser = Client("guesser", "1.2.1", "pw", "127.0.0.3");
  for (int i = 0; i < 5; ++i) {
    guesser.Send(AdminLogin("guess" + std::to_string(i)));
    EXPECT_TRUE(guesser.WaitFor(kReplyBadAdminPassword)) << i;
  }
  guesser.Send(AdminLogin("s3cret"));
  EXPECT_TRUE(guesser.WaitFor(kReplyBadAdminPassword)) << "the right password got past the lock-out";
  TestClient& admin = Client("admin", "1.2.1", "pw", "127.0.0.2");
  admin.Send(AdminLogin("s3cret"));
  EXPECT_TRUE(admin.WaitFor(kPktPlayerIsAdmin));
  // The guesser hears of the other's success; it was never made an administrator itself.
  EXPECT_TRUE(guesser.WaitFor(kPktPlayerIsAdmin));
  guesser.Send(AdminKickPlayer(admin.PlayerId()));
  EXPECT_TRUE(guesser.WaitFor(kReplyNotAdmin));
  EXPECT_EQ(server_->LogCount("Administrator logins from 127.0.0.3 refused for 60 seconds after 5 wrong passwords"), 1);
  EXPECT_EQ(server_->LogCount("127.0.0.2"), 0);
}

// "vimbo" and an empty password are for the local machine: accepted from 127.0.0.1, refused as a
// wrong password (with one line saying why) from any other address, other loopback addresses
// included.
TEST_F(LoginSecurity, DefaultAdministratorPasswordOnlyLocallyAndNoTextWritesLinesOfItsOwn) {
  StartServer();
  // Tries `password` from both addresses; the local administrator is returned.
  auto local_only = [&](const std::string& password, const std::string& which, const std::string& tag) -> TestClient& {
    TestClient& remote = Client("remote" + tag, "1.2.1", "", "127.0.0.2");
    remote.Send(AdminLogin(password));
    EXPECT_TRUE(remote.WaitFor(kReplyBadAdminPassword));
    EXPECT_EQ(server_->LogCount("Refused the " + which + " administrator password from 127.0.0.2: it is accepted only from 127.0.0.1"), 1);
    TestClient& local = Client("local" + tag);
    local.Send(AdminLogin(password));
    EXPECT_TRUE(local.WaitFor(IsAdminOf(local.PlayerId())));
    return local;
  };
  TestClient& local = local_only("vimbo", "default", "1");
  // Once changed, the password works from anywhere.
  local.Send(AdminChangeAdminPassword("n3w"));
  EXPECT_TRUE(local.WaitFor(kReplyAdminPasswordChanged));
  TestClient& remote = Client("remote", "1.2.1", "", "127.0.0.2");
  remote.Send(AdminLogin("n3w"));
  EXPECT_TRUE(remote.WaitFor(kPktPlayerIsAdmin));
  // An empty password, which anyone tries first, is for the local machine too.
  local.Send(AdminChangeAdminPassword(""));
  EXPECT_TRUE(local.WaitFor(kReplyAdminPasswordChanged));
  TestClient& admin = local_only("", "empty", "2");

  // A password or a room name carrying CR LF used to write lines of its own into the file. It is
  // cut at the first line break or NUL before it is used or stored.
  admin.Send(AdminChangeAdminPassword("x\r\n[Channels]\r\n0=Evil"));
  EXPECT_TRUE(admin.WaitFor(kReplyAdminPasswordChanged));
  admin.Send(AdminChangeServerPassword(std::string("pw\0[Networking]", 15)));
  admin.Send(AdminCreateRoom("Room\n[Passwords]"));
  EXPECT_TRUE(admin.WaitFor(kPktRoomCreated));
  admin.Send(AdminSaveAsDefaultChannels());
  EXPECT_TRUE(admin.WaitFor(kReplyChannelsSaved));
  const std::string ini = server_->IniText();
  EXPECT_NE(ini.find("AdminPassword=x\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ServerPassword=pw\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("=Room\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("Evil"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("[Passwords]"), ini.rfind("[Passwords]")) << ini;
  EXPECT_EQ(ini.find("[Networking]"), ini.rfind("[Networking]")) << ini;
  // The cut password is the one in force.
  TestClient& again = Client("again", "1.2.1", "pw", "127.0.0.2");
  again.Send(AdminLogin("x"));
  EXPECT_TRUE(again.WaitFor(kPktPlayerIsAdmin));
}

}  // namespace
}  // namespace pv::test
