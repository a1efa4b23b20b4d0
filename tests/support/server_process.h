// Runs the real pvserver as users meet it: the binary is copied into a fresh temporary folder
// (the configuration file is always looked up beside the executable), pvserver.ini is written
// there, and the server runs with that folder as its working directory. It inherits the test's
// environment without DISPLAY and WAYLAND_DISPLAY, so a desktop build runs headless unless a
// test hands it a display.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_sockets.h"

namespace pv::test {

using IniSettings = std::map<std::string, std::map<std::string, std::string>>;

// A fresh temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Read(const std::string& name) const;
  void Write(const std::string& name, const std::string& content) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

// Changes to the test's environment: a value sets a variable, none removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;
// Starts the program argv[0] (a path) with the test's environment less DISPLAY and
// WAYLAND_DISPLAY and with `env` applied, a clean signal mask, in `dir` unless empty, stdin from
// /dev/null, and `fds` (-1: left as they are) as its descriptors 1, 2 and 3.
pid_t StartProgram(std::vector<std::string> argv, const EnvChanges& env, const std::string& dir,
                   std::array<int, 3> fds);

// What a program run to its end printed, and its exit code (-1: killed at the deadline).
struct ProgramResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
// Runs argv[0] (a path) as StartProgram does, with stdout and stderr captured, and waits for it
// to end; a program still running at the deadline is killed.
ProgramResult RunProgram(std::vector<std::string> argv, const EnvChanges& env = {},
                         std::chrono::milliseconds deadline = std::chrono::seconds(30));

// A port P on 127.0.0.1 with P and P + 1 both free for TCP and UDP; 0 when none was found.
int PickPortPair();

class ServerProcess {
 public:
  // `ini` is merged over the defaults: [Version] ServerVersion=v1.2.2, [Networking] IP=127.0.0.1
  // and TCPPort = a free port pair. With `write_ini` false no file is written.
  explicit ServerProcess(IniSettings ini = {}, std::vector<std::string> args = {}, bool write_ini = true);
  ~ServerProcess();

  // Starts the server and waits for the start banner (another port is tried when the first
  // one was taken meanwhile). False when the server did not start.
  bool Start(std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // SIGTERM, then the exit code (-1 when it did not end within the deadline and was killed).
  int Stop(std::chrono::milliseconds deadline = std::chrono::seconds(30));
  // Waits for the process to end on its own; -1 on time-out.
  int WaitExit(std::chrono::milliseconds deadline);
  bool Running();
  pid_t Pid() const { return pid_; }

  int TcpPort() const { return port_; }
  int UdpPort() const { return port_ + 1; }
  std::string Log() const;
  std::vector<std::string> LogLines() const;
  // The number of log lines that contain `text`.
  int LogCount(const std::string& text) const;
  // Waits until a log line contains `text`.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
  std::string IniText() const;
  // Keeps the configuration file in this sub-folder of the server's folder (created here) and
  // names it in PARLEYVOX_HOME, as a packaged service does; before Start.
  void UseHome(const std::string& folder);
  const TempDir& Dir() const { return dir_; }
  // Later starts keep the configuration file as the server left it (and the port it holds).
  void KeepIniFromNowOn() {
    ini_["Networking"]["TCPPort"] = std::to_string(port_);
    write_ini_ = false;
  }
  // The log file the server was told to use (default pvserver.log), relative to its folder.
  void SetLogName(std::string name) { log_name_ = std::move(name); }
  // Sets (or, with none, removes) a variable of the server's environment; before Start.
  void SetEnv(const std::string& name, std::optional<std::string> value) { env_[name] = std::move(value); }
  // Sends the server's stdout and stderr to this file in its folder instead of the test's own.
  void SetOutputFile(std::string name) { output_name_ = std::move(name); }
  // Gives the server this descriptor (a terminal, for instance) as its stdout and stderr; the
  // caller keeps it open while the server runs.
  void SetOutputFd(int fd) { output_fd_ = fd; }
  std::string Output() const { return output_name_.empty() ? std::string() : dir_.Read(output_name_); }

 private:
  void WriteIni();
  void Kill();

  TempDir dir_;
  IniSettings ini_;
  std::vector<std::string> args_;
  bool write_ini_;
  int port_ = 0;
  pid_t pid_ = -1;
  int exit_code_ = -1;
  std::string log_name_ = "pvserver.log";
  std::string ini_name_ = "pvserver.ini";  // relative to the server's folder
  EnvChanges env_;
  std::string output_name_;
  int output_fd_ = -1;
};

// The server's log lines of a start and of a clean stop, in their order, without timestamps.
extern const std::vector<std::string> kStartLines;
extern const std::vector<std::string> kStopLines;
// True when `want` appears in `lines` in this order (other lines may come in between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want);

}  // namespace pv::test
