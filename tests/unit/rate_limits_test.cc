// The limits on what a hostile client can cost, on an injected clock: password guessing per
// address (bursts of wrong passwords lock an address out for doubling times, a right one clears
// it, other addresses are never held up) and the cap on log lines that datagrams cause.
#include <gtest/gtest.h>

#include <vector>

#include "core/log_rate_cap.h"
#include "core/login_throttle.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

class LoginThrottleTest : public ::testing::Test {
 protected:
  SteadyTime now_ = SteadyTime() + std::chrono::hours(1000);
  LoginThrottle throttle_{[this] { return now_; }};
  static constexpr uint32_t kA = 0x0200007F;  // 127.0.0.2
  static constexpr uint32_t kB = 0x0300007F;  // 127.0.0.3
  // Five wrong passwords a second apart; the lock-out the fifth began.
  seconds Burst(uint32_t address) {
    seconds lock{0};
    for (int i = 0; i < 5; ++i) {
      EXPECT_FALSE(throttle_.Locked(address)) << "attempt " << i;
      lock = throttle_.Failed(address);
      if (i < 4) {
        EXPECT_EQ(lock.count(), 0) << "attempt " << i;
      }
      now_ += seconds(1);
    }
    return lock;
  }
};

TEST_F(LoginThrottleTest, EachBurstDoublesTheLockOutUpToAnHour) {
  const std::vector<int> expected_minutes = {1, 2, 4, 8, 16, 32, 60, 60};
  for (int want : expected_minutes) {
    const seconds lock = Burst(kA);
    EXPECT_EQ(lock, minutes(want));
    // Locked until the lock-out is over (it began at the fifth failure, a second ago), not longer.
    now_ += lock - seconds(2);
    EXPECT_TRUE(throttle_.Locked(kA));
    now_ += seconds(1);
    EXPECT_FALSE(throttle_.Locked(kA));
  }
}

TEST_F(LoginThrottleTest, FailuresSpreadOverMoreThanAMinuteDoNotLock) {
  for (int round = 0; round < 10; ++round) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(throttle_.Failed(kA).count(), 0);
    now_ += seconds(61);
  }
  EXPECT_FALSE(throttle_.Locked(kA));
}

TEST_F(LoginThrottleTest, RightPasswordStartsTheAddressAfresh) {
  EXPECT_EQ(Burst(kA), minutes(1));
  now_ += minutes(1);
  EXPECT_EQ(Burst(kA), minutes(2));
  now_ += minutes(2);
  throttle_.Succeeded(kA);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(throttle_.Failed(kA).count(), 0);
  EXPECT_EQ(throttle_.Failed(kA), minutes(1));
}

// A guesser who tries as fast as the throttle lets it: 3,000 wrong passwords cost far more than
// ten minutes, while an administrator at another address is never held up.
TEST_F(LoginThrottleTest, ThreeThousandGuessesTakeAtLeastTenMinutes) {
  const SteadyTime start = now_;
  int guesses = 0;
  while (guesses < 3000) {
    if (throttle_.Locked(kA)) {
      now_ += seconds(1);
      ASSERT_FALSE(throttle_.Locked(kB));
      continue;
    }
    throttle_.Failed(kA);
    ++guesses;
    now_ += milliseconds(1);
  }
  // Far more than ten minutes: past the first bursts every lock-out is an hour, about 600 of them.
  EXPECT_GE(now_ - start, std::chrono::hours(590));
}

class LogRateCapTest : public ::testing::Test {
 protected:
  SteadyTime now_ = SteadyTime() + std::chrono::hours(1000);
  LogRateCap cap_{[this] { return now_; }};
};

TEST_F(LogRateCapTest, FiveLinesASecondThenOneSummaryASecond) {
  int written = 0;
  for (int i = 0; i < 100; ++i) written += cap_.Admit(7, 0).write;
  EXPECT_EQ(written, 5);
  // Within the second nothing is reported yet, and another kind or session is not held up.
  EXPECT_EQ(cap_.Admit(7, 0).left_out, 0u);
  EXPECT_TRUE(cap_.Admit(7, 1).write);
  EXPECT_TRUE(cap_.Admit(8, 0).write);
  now_ += milliseconds(1000);
  LogRateCap::Verdict next = cap_.Admit(7, 0);
  EXPECT_TRUE(next.write);
  EXPECT_EQ(next.left_out, 96u);
  EXPECT_EQ(cap_.Admit(7, 0).left_out, 0u);  // reported once
}

TEST_F(LogRateCapTest, SweepReportsWhatIsLeftOutAfterTheFloodStops) {
  for (int i = 0; i < 20; ++i) cap_.Admit(7, 0);
  EXPECT_TRUE(cap_.Sweep().empty());  // not a second yet
  now_ += milliseconds(400);
  EXPECT_TRUE(cap_.Sweep().empty());  // sweeps at most once a second
  now_ += milliseconds(1000);
  std::vector<LogRateCap::Report> reports = cap_.Sweep();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].key, (LogRateCap::Key{7, 0}));
  EXPECT_EQ(reports[0].left_out, 15u);
  now_ += milliseconds(1000);
  EXPECT_TRUE(cap_.Sweep().empty());
}

}  // namespace
}  // namespace pv
