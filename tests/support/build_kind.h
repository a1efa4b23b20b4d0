// What the kind of build changes for the end-to-end tests' bounds, and the server's resident
// memory. The sanitizers add shadow memory (AddressSanitizer also keeps freed memory in
// quarantine), so the server's resident size says nothing about what it holds; the memory bounds
// are checked in the other builds. AddressSanitizer makes the server (and the tests) about three
// times slower, ThreadSanitizer about five.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace pv::test {

#if !defined(__has_feature)
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
constexpr bool kRssMeaningful = false;
constexpr int kSlowdown = 5;
#elif defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kRssMeaningful = false;
constexpr int kSlowdown = 3;
#else
constexpr bool kRssMeaningful = true;
constexpr int kSlowdown = 1;
#endif

// A process's resident memory in KiB, from /proc/PID/status; -1 when it cannot be read.
inline int64_t RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}

}  // namespace pv::test
