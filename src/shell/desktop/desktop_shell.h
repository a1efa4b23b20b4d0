// The desktop shell: decides before start-up whether this process shows a tray icon, and then
// runs the Qt message loop with the hidden main window, the tray icon and the About window
// until the main window closes. Main thread only.
//
// The decision comes first because the server's version text depends on it (" Service" when
// no tray is shown): without a display, with a display that cannot be opened, or without a
// system tray on it, the server runs headless. Notes about that go to stderr, never to the
// event log, whose lines are fixed.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "shell/shell.h"

class QApplication;
class QSocketNotifier;

namespace pv {

class TfrmMain;

// The Qt platform list to try, given QT_QPA_PLATFORM, DISPLAY and WAYLAND_DISPLAY (null when
// unset). None when there is no display at all. The list always ends in "offscreen", so a
// display that cannot be opened never aborts the process.
std::optional<std::string> DesktopPlatformList(const char* qpa_platform, const char* display,
                                               const char* wayland_display);

// The application-wide settings the shell relies on: its name (WM_CLASS, not the window
// titles), its icon, and that closing the last visible window (About) does not end the loop.
void PrepareApplication(QApplication& app);

// Turns SIGINT and SIGTERM into a close of the main window: the same way out as Exit + Yes,
// without the question. The stop signals must be blocked in every thread (BlockStopSignals),
// so that only this descriptor sees them.
class StopSignalWatch {
 public:
  explicit StopSignalWatch(TfrmMain& main_window);
  ~StopSignalWatch();
  StopSignalWatch(const StopSignalWatch&) = delete;
  StopSignalWatch& operator=(const StopSignalWatch&) = delete;
  bool Watching() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

class DesktopShell {
 public:
  ~DesktopShell();
  DesktopShell(const DesktopShell&) = delete;
  DesktopShell& operator=(const DesktopShell&) = delete;

  // A shell when a tray icon can be shown here, else none (the process runs headless). Call
  // after the stop signals are blocked and before Server_Init.
  static std::unique_ptr<DesktopShell> Open(const std::string& program_path);

  // Shows the tray icon and runs the message loop. Returns when the main window has closed
  // (Exit + Yes, SIGINT or SIGTERM), after `stop` (the server's shut-down) has run; the icon is
  // gone by then.
  void Run(const StopServer& stop);

 private:
  explicit DesktopShell(const std::string& program_path);

  std::string program_path_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<QApplication> app_;
};

}  // namespace pv
