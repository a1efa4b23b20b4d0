// The desktop build as a person meets it, on an X display of the test's own (Xvfb) with a tray
// host (trayer): the icon in the tray, its hint, the menu on the right button, the About
// window, and Exit with both answers. Keys and clicks go through xdotool, what is on the screen
// is read back with xwininfo, xprop and tesseract, and pictures of the menu, the About window
// and the quit question are kept under the build folder's artefacts/desktop.
//
// They exist only in a build with the desktop shell, and are skipped without the X tools
// (./test.sh installs them). The headless case is tested in every build.
#include <filesystem>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "support/server_process.h"
#include "support/test_client.h"
#include "support/x_session.h"

namespace pv::test {
namespace {

using namespace std::chrono_literals;

// The version text the server reports in its statistics, as a logged-in client sees it.
std::string ReportedVersion(int port) {
  TestClient client;
  if (!client.Connect(static_cast<uint16_t>(port)) || !client.Login("viewer")) return "(no login)";
  client.Send(ServerStatsReq());
  auto stats = client.WaitFor(kPktServerStats);
  return stats ? ParseServerStats(*stats).ServerVersion : "(no statistics)";
}

// With a display that cannot be opened the server is a service whichever way it was built; a
// desktop build falls back instead of letting Qt abort. Without DISPLAY, as every other test runs
// it, it is one too (Pvctl's info shows it), and says nothing of a desktop (MonitoringListen's).
TEST(Headless, WithoutAUsableDisplayTheVersionTextEndsInService) {
  int unserved = 4000;  // a display number nobody serves
  while (unserved < 4100 && std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(unserved))) ++unserved;
  ServerProcess server;
  server.SetOutputFile("output.txt");
  server.SetEnv("DISPLAY", ":" + std::to_string(unserved));
  ASSERT_TRUE(server.Start()) << server.Output();
  EXPECT_EQ(ReportedVersion(server.TcpPort()), "v1.2.2 Win32 Service");
  EXPECT_EQ(server.Stop(), 0);
}

#if PV_DESKTOP_BUILD

std::string Artefact(const std::string& name) {
  std::string dir = std::string(PV_ARTEFACT_DIR) + "/desktop";
  std::filesystem::create_directories(dir);
  return dir + "/" + name;
}

// Acts on the server's windows as a person would, on one display.
class TrayUser {
 public:
  explicit TrayUser(const XSession& x) : x_(x), root_(x.RootId()) {}

  // The icon: a visible window of the server's class embedded in the tray, not a child of the
  // root (hints, menus and dialogs are).
  std::string FindIcon() const {
    for (const auto& id : x_.Search({"--classname", "pvserver"}))
      if (std::string parent = x_.Parent(id); !parent.empty() && parent != root_) return id;
    return {};
  }
  std::string WaitForIcon() const { return WaitFor([&] { return FindIcon(); }, 5s); }

  // A top-level window of the server (a child of the root) that `match` accepts.
  std::string WaitForTopLevel(const std::function<bool(const std::string&)>& match) const {
    return WaitFor([&] {
      for (const auto& id : x_.Search({"--classname", "pvserver"}))
        if (x_.Parent(id) == root_ && match(id)) return id;
      return std::string();
    });
  }
  bool IsTooltip(const std::string& id) const {
    return x_.Property(id, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_TOOLTIP") != std::string::npos;
  }

  // Rests the pointer on the icon until its hint shows; the hint's window.
  std::string HoverForHint(const std::string& icon) const {
    x_.Run({"xdotool", "mousemove", "--window", icon, "4", "4", "sleep", "0.1", "mousemove", "--window", icon, "11",
            "15"});
    return WaitForTopLevel([&](const std::string& id) { return IsTooltip(id); });
  }

  // Opens the icon's menu with the right button; the menu's window. Two right clicks within
  // Qt's double-click time would count as a double-click, which opens no menu.
  std::string OpenMenu(const std::string& icon) {
    auto since = std::chrono::steady_clock::now() - last_right_click_;
    if (since < 600ms) std::this_thread::sleep_for(600ms - since);
    x_.Run({"xdotool", "mousemove", "--window", icon, "11", "15", "sleep", "0.1", "click", "3"});
    last_right_click_ = std::chrono::steady_clock::now();
    // The menu is the untitled top-level window that is no hint.
    return WaitForTopLevel([&](const std::string& id) { return !IsTooltip(id) && x_.Property(id, "WM_NAME").empty(); });
  }

  std::string WaitForWindowNamed(const std::string& name) const {
    return WaitFor([&] {
      auto ids = x_.Search({"--name", "^" + name + "$"});
      return ids.empty() ? std::string() : ids.front();
    });
  }
  bool WaitUntilGone(const std::string& name) const {
    return WaitUntil([&] { return x_.Search({"--name", "^" + name + "$"}).empty(); }, 3s, kPollInterval);
  }
  void Key(const std::string& key) const { x_.Run({"xdotool", "key", key}); }

 private:
  // Looks with `find` until it names a window or the deadline passes; the window, or empty.
  template <typename Find>
  static std::string WaitFor(Find find, std::chrono::milliseconds deadline = 3s) {
    std::string id;
    WaitUntil([&] { return !(id = find()).empty(); }, deadline, kPollInterval);
    return id;
  }

  const XSession& x_;
  std::string root_;
  std::chrono::steady_clock::time_point last_right_click_{};
};

// A display of the test's own, without a tray host until the test starts one.
class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = FirstMissingTool({"Xvfb", "trayer", "xdotool", "xwininfo", "xprop", "xdpyinfo", "import",
                                            "tesseract"});
    if (!missing.empty()) GTEST_SKIP() << missing << " is not installed";
    std::string error;
    ASSERT_TRUE(x_.Start(&error)) << error;
    server_.SetEnv("DISPLAY", x_.Display());
    // With a session bus Qt may offer the icon over D-Bus instead of the X tray.
    server_.SetEnv("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    server_.SetEnv("XDG_RUNTIME_DIR", x_.RuntimeDir());
    server_.SetOutputFile("output.txt");
  }

  XSession x_;
  ServerProcess server_;
};

TEST_F(Desktop, HeadlessWithoutATrayThenTheTrayIconFromStartToExitAndAStopSignalEndsItLikeExitYes) {
  ASSERT_TRUE(server_.Start());
  EXPECT_EQ(ReportedVersion(server_.TcpPort()), "v1.2.2 Win32 Service");
  EXPECT_TRUE(x_.Search({"--classname", "pvserver"}).empty());
  EXPECT_NE(server_.Output().find("no system tray"), std::string::npos) << server_.Output();
  EXPECT_EQ(server_.Stop(15s), 0);  // its log lines: the stop signal's case at the end

  std::string error;
  ASSERT_TRUE(x_.StartTray(&error)) << error;
  ASSERT_TRUE(server_.Start());
  TrayUser user(x_);
  std::string icon = user.WaitForIcon();
  ASSERT_FALSE(icon.empty()) << "no icon in the tray";
  EXPECT_EQ(ReportedVersion(server_.TcpPort()), "v1.2.2 Win32");

  std::string hint = user.HoverForHint(icon);
  ASSERT_FALSE(hint.empty()) << "no hint over the icon";
  ASSERT_TRUE(x_.Screenshot(hint, Artefact("tray-hint.png")));
  EXPECT_EQ(x_.ReadText(Artefact("tray-hint.png")), "Quorvin Server\n");

  // The menu, then About.
  std::string menu = user.OpenMenu(icon);
  ASSERT_FALSE(menu.empty()) << "the right button opened no menu";
  ASSERT_TRUE(x_.Screenshot("root", Artefact("tray-menu.png")));
  ASSERT_TRUE(x_.Screenshot(menu, Artefact("tray-menu-items.png")));
  EXPECT_EQ(x_.ReadText(Artefact("tray-menu-items.png")), "About\nExit\n");
  user.Key("a");
  std::string about = user.WaitForWindowNamed("About Parleyvox");
  ASSERT_FALSE(about.empty()) << "About did not open";
  EXPECT_EQ(x_.Size(about), "298x319");
  ASSERT_TRUE(x_.Screenshot(about, Artefact("about.png")));
  std::string about_text = x_.ReadText(Artefact("about.png"));
  EXPECT_EQ(about_text.substr(0, about_text.find('\n')), "Parleyvox 1.2.2.0");
  user.Key("Return");
  ASSERT_TRUE(user.WaitUntilGone("About Parleyvox"));

  // Exit, No: everything goes on, though About, the only window shown, was closed.
  ASSERT_FALSE(user.OpenMenu(icon).empty());
  user.Key("e");
  std::string prompt = user.WaitForWindowNamed("Confirm");
  ASSERT_FALSE(prompt.empty()) << "Exit asked nothing";
  ASSERT_TRUE(x_.Screenshot(prompt, Artefact("prompt.png")));
  EXPECT_NE(x_.ReadText(Artefact("prompt.png")).find("You really want to quit Quorvin Server"), std::string::npos);
  user.Key("n");
  ASSERT_TRUE(user.WaitUntilGone("Confirm"));
  EXPECT_EQ(user.FindIcon(), icon);
  EXPECT_EQ(ReportedVersion(server_.TcpPort()), "v1.2.2 Win32");
  EXPECT_EQ(server_.Log().find("Entering Server_DeInit"), std::string::npos);

  // Exit, Yes: the server stops, the process ends with 0.
  ASSERT_FALSE(user.OpenMenu(icon).empty());
  user.Key("e");
  ASSERT_FALSE(user.WaitForWindowNamed("Confirm").empty());
  user.Key("y");
  EXPECT_EQ(server_.WaitExit(15s), 0) << server_.Output();
  EXPECT_TRUE(InOrder(server_.LogLines(), kStopLines));
  EXPECT_EQ(server_.LogLines().back(), "----Parleyvox server shutdown----");

  // Started again: a stop signal ends it like Exit, Yes, also while the quit question is open.
  ASSERT_TRUE(server_.Start());
  icon = user.WaitForIcon();
  ASSERT_FALSE(icon.empty()) << "no icon in the tray after the restart";
  ASSERT_FALSE(user.OpenMenu(icon).empty());
  user.Key("e");
  ASSERT_FALSE(user.WaitForWindowNamed("Confirm").empty());
  EXPECT_EQ(server_.Stop(15s), 0) << server_.Output();
  EXPECT_TRUE(InOrder(server_.LogLines(), kStopLines));
}

#endif  // PV_DESKTOP_BUILD

}  // namespace
}  // namespace pv::test
