// The cap on log lines that datagrams cause, on an injected clock.
#include "core/log_rate_cap.h"

#include <gtest/gtest.h>

namespace pv {
namespace {

using std::chrono::milliseconds;

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

// 150,000 datagrams in 3 s from one session: at most 5 lines and one summary a second.
TEST_F(LogRateCapTest, FloodWritesAFewLinesASecond) {
  uint64_t written = 0, summaries = 0, left_out = 0;
  auto sweep = [&] {
    for (const auto& r : cap_.Sweep()) {
      ++summaries;
      left_out += r.left_out;
    }
  };
  for (int i = 0; i < 150000; ++i) {
    LogRateCap::Verdict v = cap_.Admit(42, 0);
    written += v.write;
    summaries += v.left_out > 0;
    left_out += v.left_out;
    now_ += std::chrono::microseconds(20);
    sweep();
  }
  EXPECT_LE(written, 3u * 5u);
  EXPECT_LE(summaries, 3u);
  // A second after the flood the last count is reported too: every datagram is accounted for.
  now_ += std::chrono::seconds(1);
  sweep();
  EXPECT_EQ(written + left_out, 150000u);
}

}  // namespace
}  // namespace pv
