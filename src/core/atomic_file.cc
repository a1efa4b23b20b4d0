#include "core/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "base/printf.h"

namespace pv {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MayWrite(const std::string& path, mode_t mode, int how) {
  return ::access(path.c_str(), how) == 0 && (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

bool ReplaceFile(const std::string& target, std::string_view bytes, const struct stat* old) {
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + Printf(".%d.%u.tmp", static_cast<int>(::getpid()), counter++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes);
  if (ok && old != nullptr) {
    if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Only root may give the file away; otherwise it becomes the writer's, as on any edit.
    }
    ok = ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  int dir_fd = ::open(DirName(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);  // makes the rename itself durable; the file is whole either way
    ::close(dir_fd);
  }
  return true;
}

namespace {

// "<pid>.<n>" of a temporary file's name; the pid, or -1 when the name is not of that form.
long TemporaryPid(std::string_view middle) {
  size_t dot = middle.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == middle.size()) return -1;
  for (size_t i = 0; i < middle.size(); ++i)
    if (i != dot && (middle[i] < '0' || middle[i] > '9')) return -1;
  if (dot > 9) return -1;
  return std::strtol(std::string(middle.substr(0, dot)).c_str(), nullptr, 10);
}

bool Stale(const std::string& path, long pid) {
  if (pid == ::getpid() || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) return true;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && ::time(nullptr) - st.st_mtime > 60;
}

}  // namespace

int RemoveStaleTemporaries(const std::string& target) {
  const std::string dir = DirName(target);
  const size_t slash = target.find_last_of('/');
  const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".";
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> d(::opendir(dir.c_str()));
  if (!d) return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(d.get())) {
    std::string_view name(entry->d_name);
    if (name.size() <= prefix.size() + 4 || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - 4) != ".tmp")
      continue;
    long pid = TemporaryPid(name.substr(prefix.size(), name.size() - prefix.size() - 4));
    const std::string path = dir + "/" + std::string(name);
    if (pid > 0 && Stale(path, pid) && ::unlink(path.c_str()) == 0) ++removed;
  }
  return removed;
}

std::string WriteTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

bool ReadWholeFile(const std::string& path, std::string& out, bool& exists) {
  exists = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  exists = true;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      out.clear();
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace pv
