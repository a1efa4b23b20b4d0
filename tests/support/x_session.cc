#include "support/x_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace pv::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Starts the tool `argv` names (looked up in PATH) with stdout to `out_fd` and stderr to
// `err_fd` (/dev/null when negative), and `extra_fd` as descriptor 3 when not negative.
pid_t StartChild(std::vector<std::string> argv, const EnvChanges& env, int out_fd, int err_fd, int extra_fd = -1) {
  argv[0] = FindTool(argv[0]);
  if (argv[0].empty()) return -1;
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = StartProgram(argv, env, "", {out_fd >= 0 ? out_fd : null_fd, err_fd >= 0 ? err_fd : null_fd, extra_fd});
  if (null_fd >= 0) ::close(null_fd);
  return pid;
}

// Reads `fd` until EOF or the deadline.
std::string ReadUntil(int fd, Clock::time_point end) {
  std::string out;
  char buf[4096];
  while (Clock::now() < end) {
    auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// The exit code, or -1 after killing the child at the deadline.
int Reap(pid_t pid, Clock::time_point end) {
  int status = 0;
  bool done = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                        std::chrono::duration_cast<milliseconds>(end - Clock::now()));
  if (!done) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  auto e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

std::string FindTool(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

std::string FirstMissingTool(const std::vector<std::string>& names) {
  for (const auto& name : names)
    if (FindTool(name).empty()) return name;
  return {};
}

ToolResult RunTool(const std::vector<std::string>& argv, const EnvChanges& env,
                   milliseconds deadline) {
  ToolResult result;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  auto end = Clock::now() + deadline;
  pid_t pid = StartChild(argv, env, pipe_fds[1], -1);
  ::close(pipe_fds[1]);
  if (pid < 0) {
    ::close(pipe_fds[0]);
    return result;
  }
  result.out = ReadUntil(pipe_fds[0], end);
  ::close(pipe_fds[0]);
  result.code = Reap(pid, end);
  return result;
}

XSession::~XSession() {
  StopChild(trayer_);
  StopChild(xvfb_);
}

void XSession::StopChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  Reap(pid, Clock::now() + std::chrono::seconds(3));
  pid = -1;
}

bool XSession::Start(bool with_tray, std::string* error) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = "no pipe for Xvfb's display number";
    return false;
  }
  // Xvfb writes its display number to descriptor 3 once it accepts clients.
  int log_fd = ::open(dir_.File("xvfb.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  xvfb_ = StartChild({"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {}, log_fd,
                     log_fd, pipe_fds[1]);
  ::close(pipe_fds[1]);
  if (log_fd >= 0) ::close(log_fd);
  std::string number = Trim(ReadUntil(pipe_fds[0], Clock::now() + std::chrono::seconds(10)));
  ::close(pipe_fds[0]);
  if (xvfb_ < 0 || number.empty()) {
    *error = "Xvfb did not report a display: " + dir_.Read("xvfb.log");
    return false;
  }
  display_ = ":" + number;
  if (!WaitUntil([&] { return Run({"xdpyinfo"}).Ok(); }, std::chrono::seconds(5), kPollInterval)) {
    *error = "display " + display_ + " does not answer";
    return false;
  }
  return !with_tray || StartTray(error);
}

bool XSession::StartTray(std::string* error) {
  // trayer now and then gives up at once on a display number that was just reused; it is
  // started again when its panel does not show up.
  for (int attempt = 0; attempt < 3; ++attempt) {
    StopChild(trayer_);
    int log_fd = ::open(dir_.File("trayer.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    trayer_ = StartChild({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                          "--height", "32", "--SetDockType", "false", "--SetPartialStrut", "false"},
                         {{"DISPLAY", display_}}, log_fd, log_fd);
    if (log_fd >= 0) ::close(log_fd);
    if (trayer_ > 0 &&
        WaitUntil([&] { return !Search({"--classname", "panel"}).empty(); }, std::chrono::seconds(5), kPollInterval))
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
  std::vector<std::string> ids;
  std::istringstream lines(Run(argv).out);
  std::string line;
  while (std::getline(lines, line))
    if (!Trim(line).empty()) ids.push_back(Trim(line));
  return ids;
}

std::string XSession::Parent(const std::string& window) const {
  // An empty id would make xwininfo wait for a mouse click.
  if (window.empty()) return {};
  std::istringstream lines(Run({"xwininfo", "-id", window, "-children"}).out);
  std::string line;
  const std::string key = "Parent window id: ";
  while (std::getline(lines, line)) {
    auto at = line.find(key);
    if (at != std::string::npos) return line.substr(at + key.size(), line.find(' ', at + key.size()) - at - key.size());
  }
  return {};
}

std::string XSession::RootId() const {
  std::string out = Run({"xwininfo", "-root"}).out;
  auto at = out.find("Window id: ");
  if (at == std::string::npos) return {};
  at += 11;
  return out.substr(at, out.find(' ', at) - at);
}

std::optional<WindowSize> XSession::Size(const std::string& window) const {
  if (window.empty()) return std::nullopt;
  std::istringstream lines(Run({"xwininfo", "-id", window}).out);
  std::string line;
  WindowSize size;
  bool width = false, height = false;
  while (std::getline(lines, line)) {
    line = Trim(line);
    if (line.rfind("Width: ", 0) == 0) width = (size.width = std::atoi(line.c_str() + 7)) > 0;
    if (line.rfind("Height: ", 0) == 0) height = (size.height = std::atoi(line.c_str() + 8)) > 0;
  }
  if (!width || !height) return std::nullopt;
  return size;
}

std::string XSession::Property(const std::string& window, const std::string& name) const {
  if (window.empty()) return {};
  // "NAME(TYPE) = value"; an empty text prints as nothing after the "=".
  std::string out = Trim(Run({"xprop", "-id", window, name}).out);
  auto at = out.find(" =");
  return at == std::string::npos ? std::string() : Trim(out.substr(at + 2));
}

bool XSession::Screenshot(const std::string& window, const std::string& path) const {
  if (window.empty()) return false;
  return Run({"import", "-window", window, path}, std::chrono::seconds(10)).Ok();
}

std::string XSession::ReadText(const std::string& path) const {
  std::istringstream lines(RunTool({"tesseract", path, "-"}, {}, std::chrono::seconds(20)).out);
  std::string line, text;
  while (std::getline(lines, line))
    if (!Trim(line).empty()) text += Trim(line) + "\n";
  return text;
}

}  // namespace pv::test
