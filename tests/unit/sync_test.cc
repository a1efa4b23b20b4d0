// The locks and waits every thread of the server relies on: a wake-up is never lost, a bounded
// wait ends at its bound, a guarded list's lock is re-entrant for its holder and excludes the
// others until the view lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/sync.h"
#include "base/thread.h"
#include "net/net_thread.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

constexpr milliseconds kShort{50};
// Far above any scheduling delay, far below the tests' own time-outs.
constexpr milliseconds kLong{5000};

// Runs `wait` and tells how long it took.
template <typename F>
milliseconds Timed(F&& wait) {
  const auto start = Steady::now();
  wait();
  return std::chrono::duration_cast<milliseconds>(Steady::now() - start);
}

TEST(AutoResetEvent, KeepsOneSetForTheNextWaitAndThenResets) {
  AutoResetEvent event;
  event.Set();
  event.Set();  // a second Set before the wait is the same single signal
  EXPECT_TRUE(event.WaitFor(kLong));
  bool second = true;
  const milliseconds took = Timed([&] { second = event.WaitFor(kShort); });
  EXPECT_FALSE(second);
  EXPECT_GE(took, kShort);
  EXPECT_LT(took, kLong);
}

TEST(AutoResetEvent, OneSetReleasesExactlyOneOfTwoWaiters) {
  AutoResetEvent event;
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.WaitFor(milliseconds(1500))) ++released;
  };
  std::thread a(waiter), b(waiter);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 1);
}

TEST(AutoResetEvent, WaitReturnsWhenSetFromAnotherThread) {
  AutoResetEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(kShort);
    event.Set();
  });
  EXPECT_LT(Timed([&] { event.Wait(); }), kLong);
  setter.join();
}

TEST(GuardedList, ReentrantForItsHolderAndExclusiveForOthers) {
  GuardedList<int> list;
  std::atomic<bool> other_in{false};
  std::thread other;
  {
    Locked outer(list);
    {
      Locked inner(list);  // the holder takes it again without waiting
      inner->push_back(1);
    }
    other = std::thread([&] {
      Locked view(list);
      view->push_back(2);
      other_in = true;
    });
    std::this_thread::sleep_for(kShort);
    EXPECT_FALSE(other_in.load()) << "another thread got in while the view held the list";
    outer->push_back(3);
  }
  other.join();
  Locked view(list);
  EXPECT_EQ(*view, (std::vector<int>{1, 3, 2}));
}

TEST(GuardedList, UnlockLetsOthersInBeforeTheViewEnds) {
  GuardedList<int> list;
  Locked view(list);
  view.Unlock();
  std::thread other([&] { Locked(list)->push_back(7); });
  other.join();  // would never return if Unlock had kept the lock
  EXPECT_EQ(Locked(list)->size(), 1u);
}

class Sleeper : public TThread {
 public:
  Sleeper() : TThread("Sleeper") {}
  std::atomic<bool> slept_through{false};

 protected:
  void Execute() override { slept_through = SleepFor(kLong); }
};

TEST(TThread, TerminateCutsTheSleepShortAndWaitForJoins) {
  Sleeper thread;
  thread.Start();
  EXPECT_FALSE(thread.WaitFor(kShort)) << "the body ended before it was asked to";
  thread.Terminate();
  EXPECT_LT(Timed([&] { EXPECT_TRUE(thread.WaitFor(kLong)); }), kLong);
  EXPECT_FALSE(thread.slept_through.load());
  EXPECT_TRUE(thread.Finished());
}

TEST(NetThread, WaitForIsBoundedAndTrueOnceTheBodyEnded) {
  std::atomic<bool> release{false};
  NetThread thread;
  thread.Start("test", [&release] {
    while (!release.load()) std::this_thread::sleep_for(milliseconds(1));
  });
  bool ended = true;
  const milliseconds took = Timed([&] { ended = thread.WaitFor(kShort); });
  EXPECT_FALSE(ended);
  EXPECT_GE(took, kShort);
  EXPECT_FALSE(thread.Ended());
  release = true;
  EXPECT_TRUE(thread.WaitFor(kLong));
  EXPECT_TRUE(thread.Ended());
}

}  // namespace
}  // namespace pv
