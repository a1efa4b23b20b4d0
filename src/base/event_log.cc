#include "base/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

#include "base/printf.h"

namespace pv {

namespace {

// The lock and the file name live as long as the process (never destroyed), so threads that
// write their last lines while the server shuts down always find them valid.
std::mutex& LogLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::string& LogFileNameStorage() {
  static auto* name = new std::string("pvserver.log");
  return *name;
}

std::string TimestampNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return Printf("%02d/%02d/%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace

std::string CleanLogMessage(const std::string& message) {
  std::string out;
  out.reserve(message.size());
  for (char c : message) {
    if (c == '\r')
      out += " : ";
    else if (c != '\n')
      out += c;
  }
  return out;
}

void SetLogFileName(const std::string& name) {
  std::lock_guard<std::mutex> hold(LogLock());
  LogFileNameStorage() = name;
}

std::string GetLogFileName() {
  std::lock_guard<std::mutex> hold(LogLock());
  return LogFileNameStorage();
}

void WriteLog(const std::string& message, int /*level*/) noexcept {
  try {
    std::string cleaned = CleanLogMessage(message);
    std::lock_guard<std::mutex> hold(LogLock());
    // The timestamp is taken inside the lock, so lines appear in time order.
    std::string line = TimestampNow() + " | " + cleaned + "\r\n";
    int fd = ::open(LogFileNameStorage().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    ::close(fd);
  } catch (...) {
    // The log never stops the server: a line that cannot be written is lost.
  }
}

}  // namespace pv
