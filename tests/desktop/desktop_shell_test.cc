// The desktop shell's decisions: which Qt platforms to try, and the stop signals that close
// the main window.
#include "shell/desktop/desktop_shell.h"

#include <csignal>

#include <QCoreApplication>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "shell/desktop/main_window.h"
#include "shell/shell.h"
#include "support/server_process.h"

namespace pv {
namespace {

// No display means no desktop; every list falls back to offscreen instead of letting Qt abort.
TEST(DesktopPlatformList, NeedsADisplayAndEndsInOffscreen) {
  EXPECT_EQ(DesktopPlatformList(nullptr, nullptr, nullptr), std::nullopt);
  EXPECT_EQ(DesktopPlatformList(nullptr, "", ""), std::nullopt);
  EXPECT_EQ(DesktopPlatformList("xcb", nullptr, nullptr), std::nullopt);
  EXPECT_EQ(DesktopPlatformList(nullptr, ":0", nullptr), "xcb;offscreen");
  EXPECT_EQ(DesktopPlatformList("", ":0", ""), "xcb;offscreen");
  EXPECT_EQ(DesktopPlatformList(nullptr, ":0", "wayland-0"), "wayland;xcb;offscreen");
  EXPECT_EQ(DesktopPlatformList(nullptr, nullptr, "wayland-0"), "wayland;xcb;offscreen");
  // A user's own choice is kept, with the fallback added once.
  EXPECT_EQ(DesktopPlatformList("xcb", ":0", nullptr), "xcb;offscreen");
  EXPECT_EQ(DesktopPlatformList("offscreen", ":0", nullptr), "offscreen");
}

TEST(StopSignalWatch, AStopSignalClosesTheWindowLikeExitYesWithoutTheQuestion) {
  int deinit_calls = 0;
  TfrmMain frmMain([&] { ++deinit_calls; });
  QSignalSpy quit_spy(&frmMain, &TfrmMain::QuitRequested);
  // Blocked here as main blocks it for the server: only the watch's descriptor sees it.
  sigset_t set = StopSignals();
  sigset_t old;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &old), 0);
  {
    StopSignalWatch watch(frmMain);
    ASSERT_TRUE(watch.Watching());
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(test::WaitUntil(
        [&] {
          QCoreApplication::processEvents();
          return quit_spy.count() > 0;
        },
        std::chrono::seconds(5)));
    EXPECT_EQ(deinit_calls, 1);
    // SIGINT after the stop changes nothing more.
    ASSERT_EQ(::raise(SIGINT), 0);
    test::WaitUntil([&] { QCoreApplication::processEvents(); return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(deinit_calls, 1);
    EXPECT_EQ(quit_spy.count(), 1);
  }
  // Nothing of ours may stay pending when the signals are unblocked again.
  struct timespec zero {0, 0};
  while (sigtimedwait(&set, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace
}  // namespace pv
