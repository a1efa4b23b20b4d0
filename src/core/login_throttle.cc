#include "core/login_throttle.h"

#include <algorithm>

namespace pv {

bool LoginThrottle::Locked(uint32_t address) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = entries_.find(address);
  return it != entries_.end() && clock_() < it->second.locked_until;
}

std::chrono::seconds LoginThrottle::Failed(uint32_t address) {
  std::lock_guard<std::mutex> hold(lock_);
  const SteadyTime now = clock_();
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= rules_.max_addresses) MakeRoom(now);
    it = entries_.emplace(address, Entry{}).first;
    it->second.window_start = now;
  }
  Entry& e = it->second;
  e.last_seen = now;
  // Failures count within a window that starts at the first of them.
  if (e.failures == 0 || now - e.window_start >= rules_.window) {
    e.window_start = now;
    e.failures = 0;
  }
  if (++e.failures < rules_.failures) return std::chrono::seconds(0);
  // A burst: locked out, each burst twice as long as the one before, up to the ceiling.
  std::chrono::seconds lock = rules_.first_lock;
  for (int i = 0; i < e.lock_outs && lock < rules_.max_lock; ++i) lock *= 2;
  lock = std::min(lock, rules_.max_lock);
  ++e.lock_outs;
  e.failures = 0;
  e.locked_until = now + lock;
  return lock;
}

void LoginThrottle::Succeeded(uint32_t address) {
  std::lock_guard<std::mutex> hold(lock_);
  entries_.erase(address);
}

void LoginThrottle::MakeRoom(SteadyTime now) {
  // Forget what no longer matters: not locked, no open window, quiet for the longest lock-out.
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = it->second;
    bool settled = now >= e.locked_until && now - e.window_start >= rules_.window &&
                   now - std::max(e.last_seen, e.locked_until) >= rules_.max_lock;
    it = settled ? entries_.erase(it) : std::next(it);
  }
  if (entries_.size() < rules_.max_addresses) return;
  auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
    return a.second.last_seen < b.second.last_seen;
  });
  entries_.erase(oldest);
}

}  // namespace pv
