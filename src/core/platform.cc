#include "core/platform.h"

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace pv {

std::string ExecutableDir() {
  std::vector<char> buf(4096);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "./";
  std::string path(buf.data(), static_cast<size_t>(n));
  auto slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

std::string ConfigDirectory(const char* home_value) {
  if (home_value == nullptr || home_value[0] == '\0') return ExecutableDir();
  std::string dir = home_value;
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool RaiseProcessPriority() {
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, 0);
  if (current == -1 && errno != 0) return false;
  if (current <= -5) return true;
  if (::setpriority(PRIO_PROCESS, 0, -5) == 0) return true;
  // A lower nice value needs CAP_SYS_NICE; every user may run at the normal priority.
  return errno == EACCES || errno == EPERM;
}

void IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace pv
