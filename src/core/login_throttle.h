// LoginThrottle: limits password guessing per client IPv4 address. After `failures` wrong
// passwords within `window`, every further attempt from that address is refused unchecked for a
// lock-out of `first_lock`; each further burst of wrong passwords doubles the lock-out, up to
// `max_lock`. A right password clears the address's record. Other addresses are not affected.
//
// The table is bounded: an address is forgotten once it is neither locked out nor within a
// window, and has been quiet for `max_lock` (so a patient guesser keeps its doubled lock-outs
// for an hour); when it is full, the entry idle longest makes room.
//
// Thread rules: any thread. One internal lock, a leaf: nothing else is locked, and nothing is
// logged, while it is held. The clock is injectable for tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "base/date_time.h"

namespace pv {

class LoginThrottle {
 public:
  using Clock = std::function<SteadyTime()>;
  struct Rules {
    int failures = 5;
    std::chrono::seconds window{60};
    std::chrono::seconds first_lock{60};
    std::chrono::seconds max_lock{3600};
    size_t max_addresses = 4096;
  };

  explicit LoginThrottle(Clock clock = SteadyNow) : LoginThrottle(Rules{}, std::move(clock)) {}
  LoginThrottle(Rules rules, Clock clock) : rules_(rules), clock_(std::move(clock)) {}

  // True when attempts from `address` (IPv4, network order) are refused without a check now.
  bool Locked(uint32_t address);
  // Records a wrong password. The lock-out it began, or zero when it began none.
  std::chrono::seconds Failed(uint32_t address);
  // Records a right password: the address starts afresh.
  void Succeeded(uint32_t address);

  const Rules& GetRules() const { return rules_; }

 private:
  struct Entry {
    SteadyTime window_start{};
    int failures = 0;
    SteadyTime locked_until{};
    int lock_outs = 0;  // lock-outs so far: the next one lasts first_lock * 2^lock_outs
    SteadyTime last_seen{};
  };

  void MakeRoom(SteadyTime now);

  const Rules rules_;
  const Clock clock_;
  std::mutex lock_;
  std::unordered_map<uint32_t, Entry> entries_;
};

}  // namespace pv
