#include "base/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include "base/printf.h"
#include "base/sync.h"

namespace pv {

namespace {

// LogLock and the file name it guards live as long as the process (never destroyed), so threads
// that write their last lines while the server shuts down always find them valid.
struct LogState {
  Mutex LogLock;
  std::string file_name GUARDED_BY(LogLock) = "pvserver.log";
};

LogState& Log() {
  static auto* state = new LogState;
  return *state;
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
    else if (c == '\n')
      continue;
    else if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == '\x7f')
      // A name or an answer from afar must not steer the terminal the log is read on (escape
      // sequences that move the cursor, clear the screen or hide lines).
      out += '?';
    else
      out += c;
  }
  return out;
}

void SetLogFileName(const std::string& name) {
  LogState& log = Log();
  MutexLock hold(log.LogLock);
  log.file_name = name;
}

std::string GetLogFileName() {
  LogState& log = Log();
  MutexLock hold(log.LogLock);
  return log.file_name;
}

void WriteLog(const std::string& message, int /*level*/) noexcept {
  try {
    std::string cleaned = CleanLogMessage(message);
    LogState& log = Log();
    MutexLock hold(log.LogLock);
    // The timestamp is taken inside the lock, so lines appear in time order.
    std::string line = TimestampNow() + " | " + cleaned + "\r\n";
    // Never waits: a named pipe without a reader fails to open, one whose reader does not read
    // takes what fits, and the rest of the line is lost like any line that cannot be written.
    int fd = ::open(log.file_name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                    0644);
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
