#include "fuzz_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/event_log.h"
#include "core/server.h"
#include "sessions/server_client.h"

namespace pv::fuzz {

namespace {

// Folders are named after the process; one whose process is gone (a run that crashed or was
// cut short, which skips the clean-up) is removed by the next run.
constexpr const char* kPrefix = "pvfuzz-";

std::string BaseDir() {
  std::error_code ignored;
  if (std::filesystem::is_directory("/dev/shm", ignored) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

void RemoveStale(const std::string& base) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(base, ignored)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(kPrefix, 0) != 0) continue;
    long pid = std::strtol(name.c_str() + std::strlen(kPrefix), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      std::filesystem::remove_all(entry.path(), ignored);
  }
}

std::string MakeWorkDir() {
  std::string base = BaseDir();
  RemoveStale(base);
  std::string path = base + "/" + kPrefix + std::to_string(getpid());
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
  if (mkdir(path.c_str(), 0700) != 0) Fail("cannot create the fuzz working folder " + path);
  return path + "/";
}

// Removes the folder when the process ends through exit().
struct Folder {
  std::string path = MakeWorkDir();
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

std::string_view ByteReader::Bytes(size_t n) {
  size_t take = n < Remaining() ? n : Remaining();
  std::string_view out(reinterpret_cast<const char*>(data_ + pos_), take);
  pos_ += take;
  return out;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path);
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
