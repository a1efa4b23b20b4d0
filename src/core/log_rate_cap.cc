#include "core/log_rate_cap.h"

namespace pv {

namespace {

constexpr std::chrono::seconds kSecond{1};
// A key with nothing to report is forgotten after this much quiet.
constexpr std::chrono::seconds kForgetAfter{10};

}  // namespace

LogRateCap::Verdict LogRateCap::Admit(uint32_t session, int kind) {
  std::lock_guard<std::mutex> hold(lock_);
  const SteadyTime now = clock_();
  auto [it, fresh] = entries_.try_emplace(Key{session, kind});
  Entry& e = it->second;
  if (fresh || now - e.window_start >= kSecond) {
    e.window_start = now;
    e.in_window = 0;
  }
  Verdict verdict;
  if (e.left_out > 0 && now - e.last_report >= kSecond) {
    verdict.left_out = e.left_out;
    e.left_out = 0;
    e.last_report = now;
  }
  if (e.in_window < per_second_) {
    ++e.in_window;
    verdict.write = true;
  } else {
    // The first count of a flood is reported a second after its first line left out.
    if (e.left_out == 0 && verdict.left_out == 0 && now - e.last_report >= kSecond) e.last_report = now;
    ++e.left_out;
  }
  return verdict;
}

std::vector<LogRateCap::Report> LogRateCap::Sweep() {
  std::vector<Report> reports;
  const SteadyTime now = clock_();
  if (now.time_since_epoch().count() < next_sweep_.load(std::memory_order_relaxed)) return reports;
  std::lock_guard<std::mutex> hold(lock_);
  next_sweep_.store((now + kSecond).time_since_epoch().count(), std::memory_order_relaxed);
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& e = it->second;
    if (e.left_out > 0 && now - e.last_report >= kSecond) {
      reports.push_back(Report{it->first, e.left_out});
      e.left_out = 0;
      e.last_report = now;
    }
    bool quiet = e.left_out == 0 && now - e.window_start >= kForgetAfter && now - e.last_report >= kForgetAfter;
    it = quiet ? entries_.erase(it) : std::next(it);
  }
  return reports;
}

}  // namespace pv
