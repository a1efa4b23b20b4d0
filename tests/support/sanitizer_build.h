// What a sanitizer build changes for tests that load the real server: AddressSanitizer makes the
// server (and the test) about three times slower, ThreadSanitizer about five, so loads and time
// bounds are scaled by kSlowdown. Both add shadow memory (AddressSanitizer also keeps freed
// memory in quarantine), so the server's resident size says nothing about what it holds there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <string>

#if !defined(__has_feature)
#define __has_feature(x) 0
#endif

namespace pv::test {

#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
constexpr int kSlowdown = 5;
constexpr bool kThreadSanitizer = true;
#elif defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr int kSlowdown = 3;
constexpr bool kThreadSanitizer = false;
#else
constexpr int kSlowdown = 1;
constexpr bool kThreadSanitizer = false;
#endif
constexpr bool kRssMeaningful = kSlowdown == 1;  // no sanitizer's shadow memory

// A process's resident memory in KiB, from /proc/PID/status; -1 when it cannot be read.
inline int64_t RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}

}  // namespace pv::test
