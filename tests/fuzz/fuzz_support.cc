#include "fuzz_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/event_log.h"
#include "core/server.h"
#include "sessions/server_client.h"

namespace pv::fuzz {

namespace {

// Folders are named after the process; one whose process is gone (a run that crashed or was
// cut short, which skips the clean-up) is removed by the next run.
constexpr std::string_view kPrefix = "pvfuzz-";

// Memory-backed when it can be, else TMPDIR or /tmp.
std::string BaseDir() {
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

// Removed when the process ends through exit().
struct Folder {
  std::string path;
  Folder() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    const std::string base = BaseDir();
    for (const auto& entry : fs::directory_iterator(base, ignored)) {
      std::string name = entry.path().filename().string();
      long pid = name.rfind(kPrefix, 0) == 0 ? std::strtol(name.c_str() + kPrefix.size(), nullptr, 10) : 0;
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ignored);
    }
    path = base + "/" + std::string(kPrefix) + std::to_string(getpid());
    fs::remove_all(path, ignored);
    if (mkdir(path.c_str(), 0700) != 0) Fail("cannot create the fuzz working folder " + path);
    path += "/";
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

const std::string& WorkDir() {
  static Folder folder;
  [[maybe_unused]] static const bool quiet = (SetLogFileName("/dev/null"), true);
  return folder.path;
}

void Fail(const std::string& message) {
  std::fprintf(stderr, "\nINVARIANT FAILED: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

void SetSocketBuffer(int fd, int option, int bytes) {
  const int force = option == SO_SNDBUF ? SO_SNDBUFFORCE : SO_RCVBUFFORCE;
  if (setsockopt(fd, SOL_SOCKET, force, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

void ClearSessions(TParleyvoxServer& server) {
  Locked sessions(server.ClientList);
  for (const SessionPtr& s : *sessions) s->Destroy();
  sessions->clear();
}

}  // namespace pv::fuzz
