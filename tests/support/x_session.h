// An X display of its own for desktop end-to-end tests: Xvfb on a display number it picks
// itself (-displayfd, so parallel runs never collide), optionally with a tray host (trayer),
// and the X tools a person's actions are scripted with (xdotool, xwininfo, xprop, import,
// tesseract). Every tool runs with a deadline and is killed when it passes it; the session
// stops exactly the processes it started, by PID.
//
// Thread rules: one test thread uses a session.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/server_process.h"

namespace pv::test {

// How often waits on the screen look again: each look runs X tools.
constexpr std::chrono::milliseconds kPollInterval{50};

struct ToolResult {
  int code = -1;  // exit code; -1 when it was killed at the deadline or could not start
  std::string out;
  bool Ok() const { return code == 0; }
};

// The first of `names` that is not in PATH, or empty when all are.
std::string FirstMissingTool(const std::vector<std::string>& names);

// Runs a tool (looked up in PATH) as RunProgram does; its stdout.
ToolResult RunTool(const std::vector<std::string>& argv, const EnvChanges& env,
                   std::chrono::milliseconds deadline);

class XSession {
 public:
  XSession() = default;
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  // Start Xvfb (800 x 600), and then a tray host (trayer) on it; false with `error` set when it
  // did not come up in time.
  bool Start(std::string* error);
  bool StartTray(std::string* error);
  const std::string& Display() const { return display_; }
  // A private XDG_RUNTIME_DIR for the programs run on this display.
  std::string RuntimeDir() const { return dir_.Path(); }

  // Runs an X tool on this display.
  ToolResult Run(const std::vector<std::string>& argv,
                 std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;

  // Window ids (decimal, as xdotool prints them) of the visible windows `xdotool search`
  // finds with these arguments, e.g. {"--classname", "pvserver"}.
  std::vector<std::string> Search(const std::vector<std::string>& args) const;
  // The parent window id in xwininfo's hexadecimal form; empty for an unknown window.
  std::string Parent(const std::string& window) const;
  std::string RootId() const;
  // "<width>x<height>" as xwininfo reports them.
  std::string Size(const std::string& window) const;
  // The value part of one property as xprop prints it ("" when missing).
  std::string Property(const std::string& window, const std::string& name) const;
  // Saves a picture of a window ("root" for the whole screen); false when import failed.
  bool Screenshot(const std::string& window, const std::string& path) const;
  // The text tesseract reads in a picture, one line per text line, blank lines dropped.
  std::string ReadText(const std::string& path) const;

 private:
  void StopChild(pid_t& pid);

  TempDir dir_;
  pid_t xvfb_ = -1;
  pid_t trayer_ = -1;
  std::string display_;
};

}  // namespace pv::test
