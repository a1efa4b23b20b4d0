// LogRateCap: keeps lines that traffic can cause at will (one per datagram) from flooding the
// event log. Per key (a session) and kind of line, at most `per_second` lines are written in any
// one-second window; the rest are left out and counted, and at most once a second one summary
// line says how many of that kind were left out. A count still waiting is reported with the next
// line of its key and kind, or by Sweep for every key once its second is over.
//
// Thread rules: any thread. One internal lock, a leaf: the caller writes the lines after Admit or
// Sweep returned, never under it. The clock is injectable for tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "base/date_time.h"

namespace pv {

class LogRateCap {
 public:
  using Clock = std::function<SteadyTime()>;
  using Key = std::pair<uint32_t, int>;  // session, kind of line

  struct Verdict {
    bool write = false;     // the line itself is written
    uint64_t left_out = 0;  // lines of this key and kind left out earlier, to report first
  };
  struct Report {
    Key key;
    uint64_t left_out;
  };

  explicit LogRateCap(Clock clock = SteadyNow, size_t per_second = 5)
      : clock_(std::move(clock)), per_second_(per_second) {}

  Verdict Admit(uint32_t session, int kind);
  // Counts whose second is over, for every key; forgets keys that have been quiet for a while.
  // Cheap when called often: it walks the table at most once a second.
  std::vector<Report> Sweep();

 private:
  struct Entry {
    SteadyTime window_start{};
    size_t in_window = 0;
    uint64_t left_out = 0;
    SteadyTime last_report{};
  };

  const Clock clock_;
  const size_t per_second_;
  std::mutex lock_;
  std::map<Key, Entry> entries_;
  // When the next sweep is due, read without the lock: most calls return at once.
  std::atomic<SteadyTime::rep> next_sweep_{0};
};

}  // namespace pv
