#include "support/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "support/ini_files.h"

namespace pv::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string made = (fs::temp_directory_path() / "pvtest_XXXXXX").string();
  if (::mkdtemp(made.data()) == nullptr) {
    ADD_FAILURE() << "no temporary folder: " << made;
    return;
  }
  path_ = made;
}

TempDir::~TempDir() {
  if (path_.empty()) return;  // never anything but the folder made here
  std::error_code ec;
  // Folders a test made read-only are made writable again, or a non-root run could not remove them.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string TempDir::Read(const std::string& name) const { return FileBytes(File(name)); }

void TempDir::Write(const std::string& name, const std::string& content) const { PutFile(File(name), content); }

bool TempDir::Exists(const std::string& name) const { return fs::exists(File(name)); }

namespace {

// A wait status as an exit code; a signal's death as -1000 less its number.
int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status); }

}  // namespace

pid_t StartProgram(std::vector<std::string> argv, const EnvChanges& env_changes, const std::string& dir,
                   std::array<int, 3> fds) {
  // Everything the child needs is prepared before fork: the test process has threads.
  EnvChanges changes = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  for (const auto& [name, value] : env_changes) changes[name] = value;
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    if (!changes.count(text.substr(0, text.find('=')))) env.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (value) env.push_back(name + "=" + *value);
  std::vector<char*> c_argv, c_env;
  for (auto& a : argv) c_argv.push_back(a.data());
  for (auto& e : env) c_env.push_back(e.data());
  c_argv.push_back(nullptr);
  c_env.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
  ::dup2(::open("/dev/null", O_RDONLY), 0);
  for (int i = 0; i < 3; ++i) {
    const int fd = fds[static_cast<size_t>(i)];
    // dup2 onto itself changes nothing, close-on-exec included.
    if (fd == i + 1) ::fcntl(fd, F_SETFD, 0);
    else if (fd >= 0) ::dup2(fd, i + 1);
  }
  // The test runner may block signals; the programs expect a clean mask.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(c_argv[0], c_argv.data(), c_env.data());
  ::_exit(127);
}

ProgramResult RunProgram(std::vector<std::string> argv, const EnvChanges& env, std::chrono::milliseconds deadline) {
  TempDir dir;
  int out = ::open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = ::open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = StartProgram(std::move(argv), env, "", {out, err, -1});
  ::close(out);
  ::close(err);
  int status = 0;
  bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, deadline, std::chrono::milliseconds(5));
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return {ended ? ExitCode(status) : -1, dir.Read("out"), dir.Read("err")};
}

int PickPortPair() {
  static std::mt19937 rng(static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::time(nullptr)));
  std::uniform_int_distribution<int> dist(20000, 59998);
  for (int i = 0; i < 200; ++i) {
    int port = dist(rng);
    if (CanBind(SOCK_STREAM, port) && CanBind(SOCK_DGRAM, port) && CanBind(SOCK_STREAM, port + 1) &&
        CanBind(SOCK_DGRAM, port + 1))
      return port;
  }
  return 0;
}

const std::vector<std::string> kStartLines = {
    "----Entering server init----", "Created Threadlists", "Done reading ini file", "UDP+TCP created",
    "Creating ping thread",         "Created ping thread", "Creating UDPsender thread", "Created UDPsender thread",
    "Activated tcp/udp",            "Started Ping Thread", "----Parleyvox server started----"};

const std::vector<std::string> kStopLines = {
    "----Entering Server_DeInit ---- ", "Server_DeInit -- pingpong term sent",
    "Server_DeInit -- UDPThread term + event sent", "Server_DeInit -- Slept 2 secs", "Server_DeInit -- Stopped TCP",
    "Server_DeInit -- Stopped UDP", "----Parleyvox server shutdown----"};

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
  size_t at = 0;
  for (const auto& line : lines)
    if (at < want.size() && line == want[at]) ++at;
  return at == want.size();
}

ServerProcess::ServerProcess(IniSettings ini, std::vector<std::string> args, bool write_ini)
    : ini_(std::move(ini)), args_(std::move(args)), write_ini_(write_ini) {
  std::error_code ec;
  fs::copy_file(PV_SERVER_BINARY, dir_.File("pvserver"), fs::copy_options::overwrite_existing, ec);
  fs::permissions(dir_.File("pvserver"), fs::perms::owner_all, fs::perm_options::add, ec);
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Kill();
  if (::testing::Test::HasFailure()) {
    std::cerr << "---- server log (" << dir_.Path() << ") ----\n" << Log() << "---- end of server log ----\n";
    if (!output_name_.empty())
      std::cerr << "---- server output ----\n" << Output() << "---- end of server output ----\n";
  }
}

void ServerProcess::WriteIni() {
  if (!write_ini_) return;
  IniSettings all = ini_;
  all["Version"].try_emplace("ServerVersion", "v1.2.2");
  all["Networking"].try_emplace("IP", "127.0.0.1");
  all["Networking"].try_emplace("TCPPort", std::to_string(port_));  // a fixed port is port_ already
  std::string text;
  for (auto& [section, keys] : all) {
    text += "[" + section + "]\r\n";
    for (auto& [key, value] : keys) text += key + "=" + value + "\r\n";
  }
  dir_.Write(ini_name_, text);
}

bool ServerProcess::Start(std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  for (int attempt = 0; attempt < 5; ++attempt) {
    bool fixed_port = ini_.count("Networking") && ini_.at("Networking").count("TCPPort");
    port_ = fixed_port ? std::atoi(ini_.at("Networking").at("TCPPort").c_str()) : PickPortPair();
    WriteIni();
    ::unlink(dir_.File(log_name_).c_str());
    std::vector<std::string> argv = {dir_.File("pvserver")};
    argv.insert(argv.end(), args_.begin(), args_.end());
    int out = output_fd_;
    if (out < 0 && !output_name_.empty())
      out = ::open(dir_.File(output_name_).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = StartProgram(argv, env_, dir_.Path(), {out, out, -1});
    if (out >= 0 && out != output_fd_) ::close(out);
    if (pid_ <= 0) return false;
    bool started = false, failed_port = false;
    WaitUntil(
        [&] {
          std::string log = Log();
          started = log.find("----Parleyvox server started----") != std::string::npos;
          failed_port = log.find("Unable to initialize communication") != std::string::npos;
          return started || failed_port || !Running();
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
    if (started) return true;
    if (!failed_port || fixed_port) return false;
    WaitExit(std::chrono::seconds(5));
  }
  return false;
}

bool ServerProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exit_code_ = ExitCode(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int ServerProcess::WaitExit(std::chrono::milliseconds deadline) {
  return WaitUntil([&] { return !Running(); }, deadline) ? exit_code_ : -1;
}

int ServerProcess::Stop(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return exit_code_;
  ::kill(pid_, SIGTERM);
  if (WaitExit(deadline) == -1 && pid_ > 0) Kill();
  return exit_code_;
}

void ServerProcess::Kill() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  exit_code_ = -1;
}

std::string ServerProcess::Log() const { return dir_.Read(log_name_); }

std::vector<std::string> ServerProcess::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(Log());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Drop the timestamp: "dd/mm/yyyy hh:nn:ss | "
    lines.push_back(line.size() >= 22 ? line.substr(22) : line);
  }
  return lines;
}

int ServerProcess::LogCount(const std::string& text) const {
  int n = 0;
  for (const std::string& line : LogLines()) n += line.find(text) != std::string::npos;
  return n;
}

bool ServerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds deadline) const {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, deadline);
}

std::string ServerProcess::IniText() const { return dir_.Read(ini_name_); }

void ServerProcess::UseHome(const std::string& folder) {
  ::mkdir(dir_.File(folder).c_str(), 0755);
  ini_name_ = folder + "/pvserver.ini";
  SetEnv("PARLEYVOX_HOME", dir_.File(folder));
}

}  // namespace pv::test
