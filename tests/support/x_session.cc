#include "support/x_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace pv::test {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The full path of an executable found in PATH, or empty.
std::string FindTool(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    std::error_code ignored;
    if (std::filesystem::is_regular_file(candidate, ignored) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

// Starts the tool `argv` names (looked up in PATH) with stdout and stderr appended to the file
// `log`, and `extra_fd` as descriptor 3 when not negative.
pid_t StartChild(std::vector<std::string> argv, const EnvChanges& env, const std::string& log, int extra_fd = -1) {
  argv[0] = FindTool(argv[0]);
  if (argv[0].empty()) return -1;
  int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_t pid = StartProgram(argv, env, "", {log_fd, log_fd, extra_fd});
  if (log_fd >= 0) ::close(log_fd);
  return pid;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  auto e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The non-blank lines of `text`, trimmed.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!Trim(line).empty()) lines.push_back(Trim(line));
  return lines;
}

// The word that follows `key` in a tool's output; empty when `key` is not there.
std::string WordAfter(const std::string& out, const std::string& key) {
  auto at = out.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return out.substr(at, out.find_first_of(" \n", at) - at);
}

}  // namespace

std::string FirstMissingTool(const std::vector<std::string>& names) {
  for (const auto& name : names)
    if (FindTool(name).empty()) return name;
  return {};
}

ToolResult RunTool(const std::vector<std::string>& argv, const EnvChanges& env, milliseconds deadline) {
  std::vector<std::string> program = argv;
  program[0] = FindTool(argv[0]);
  if (program[0].empty()) return {};
  ProgramResult run = RunProgram(std::move(program), env, deadline);
  return {run.exit_code < 0 ? -1 : run.exit_code, run.out};
}

XSession::~XSession() {
  StopChild(trayer_);
  StopChild(xvfb_);
}

void XSession::StopChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!WaitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, seconds(3))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid = -1;
}

bool XSession::Start(std::string* error) {
  // Xvfb writes its display number and a line end to descriptor 3 once it accepts clients.
  int number_fd = ::open(dir_.File("display").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  xvfb_ = StartChild({"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {},
                     dir_.File("xvfb.log"), number_fd);
  if (number_fd >= 0) ::close(number_fd);
  std::string number;
  if (xvfb_ > 0)
    WaitUntil([&] { return (number = dir_.Read("display")).find('\n') != std::string::npos; }, seconds(10));
  if (Trim(number).empty()) {
    *error = "Xvfb did not report a display: " + dir_.Read("xvfb.log");
    return false;
  }
  display_ = ":" + Trim(number);
  if (WaitUntil([&] { return Run({"xdpyinfo"}).Ok(); }, seconds(5), kPollInterval)) return true;
  *error = "display " + display_ + " does not answer";
  return false;
}

bool XSession::StartTray(std::string* error) {
  // trayer now and then gives up at once on a display number that was just reused; it is
  // started again when its panel does not show up.
  for (int attempt = 0; attempt < 3; ++attempt) {
    StopChild(trayer_);
    trayer_ = StartChild({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                          "--height", "32", "--SetDockType", "false", "--SetPartialStrut", "false"},
                         {{"DISPLAY", display_}}, dir_.File("trayer.log"));
    if (trayer_ > 0 && WaitUntil([&] { return !Search({"--classname", "panel"}).empty(); }, seconds(5), kPollInterval))
      return true;
  }
  *error = "trayer's panel did not appear: " + dir_.Read("trayer.log");
  return false;
}

ToolResult XSession::Run(const std::vector<std::string>& argv, milliseconds deadline) const {
  return RunTool(argv, {{"DISPLAY", display_}}, deadline);
}

std::vector<std::string> XSession::Search(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"xdotool", "search", "--onlyvisible"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Lines(Run(argv).out);
}

// An empty window id would make xwininfo wait for a mouse click.
std::string XSession::Parent(const std::string& window) const {
  return window.empty() ? "" : WordAfter(Run({"xwininfo", "-id", window, "-children"}).out, "Parent window id: ");
}

std::string XSession::RootId() const { return WordAfter(Run({"xwininfo", "-root"}).out, "Window id: "); }

std::string XSession::Size(const std::string& window) const {
  if (window.empty()) return {};
  std::string out = Run({"xwininfo", "-id", window}).out;
  return WordAfter(out, "Width: ") + "x" + WordAfter(out, "Height: ");
}

std::string XSession::Property(const std::string& window, const std::string& name) const {
  if (window.empty()) return {};
  // "NAME(TYPE) = value"; an empty text prints as nothing after the "=".
  std::string out = Trim(Run({"xprop", "-id", window, name}).out);
  auto at = out.find(" =");
  return at == std::string::npos ? std::string() : Trim(out.substr(at + 2));
}

bool XSession::Screenshot(const std::string& window, const std::string& path) const {
  return !window.empty() && Run({"import", "-window", window, path}, seconds(10)).Ok();
}

std::string XSession::ReadText(const std::string& path) const {
  std::string text;
  for (const std::string& line : Lines(RunTool({"tesseract", path, "-"}, {}, seconds(20)).out)) text += line + "\n";
  return text;
}

}  // namespace pv::test
