// The base synchronisation primitives: the auto-reset event, the guarded list's lock, the
// worker thread's life (start, bounded stop, the log line of an error that escapes its body) and
// the transport thread's bounded wait.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

#include "base/errors.h"
#include "base/sync.h"
#include "base/thread.h"
#include "net/net_thread.h"
#include "session_fixture.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kDeadline{5000};
// How long a waiter that must stay blocked is watched: long enough to catch it released, never
// needed for a test to pass.
constexpr milliseconds kStaysBlocked{100};

TEST(AutoResetEvent, ASetIsKeptForTheNextWaiterAndReleasesOnlyOne) {
  AutoResetEvent event;
  EXPECT_FALSE(event.WaitFor(milliseconds(0)));
  event.Set();
  event.Set();  // not counted: one wait uses it up
  EXPECT_TRUE(event.WaitFor(milliseconds(0)));
  EXPECT_FALSE(event.WaitFor(milliseconds(0)));

  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.WaitFor(kDeadline)) ++released;
  };
  auto a = std::async(std::launch::async, waiter);
  auto b = std::async(std::launch::async, waiter);
  event.Set();
  ASSERT_TRUE(test::WaitUntil([&] { return released == 1; }, kDeadline));
  EXPECT_FALSE(test::WaitUntil([&] { return released == 2; }, kStaysBlocked));
  event.Set();
  a.get();
  b.get();
  EXPECT_EQ(released, 2);
}

TEST(GuardedList, AViewHoldsTheListForItsWholeExtentAndTheSameThreadMayTakeItAgain) {
  GuardedList<int> list;
  Locked view(list);
  view->push_back(1);
  {
    Locked again(list);  // re-entrant on the holding thread
    again->push_back(2);
  }
  auto other = std::async(std::launch::async, [&] {
    Locked theirs(list);
    theirs->push_back(3);
    return theirs->size();
  });
  EXPECT_EQ(other.wait_for(kStaysBlocked), std::future_status::timeout);
  view.Unlock();
  ASSERT_EQ(other.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(other.get(), 3u);
}

class Worker : public TThread {
 public:
  explicit Worker(std::function<void(Worker&)> body) : TThread("TestWorker"), body_(std::move(body)) {}
  ~Worker() override {
    Terminate();
    WaitFor(kDeadline);
  }
  bool Sleep(milliseconds d) { return SleepFor(d); }

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(Worker&)> body_;
};

TEST(TThread, CreatedSuspendedStoppedByTerminateWithinABoundedWait) {
  std::atomic<int> runs{0};
  std::atomic<bool> slept_full{true};
  Worker w([&](Worker& self) {
    ++runs;
    slept_full = self.Sleep(milliseconds(60000));
  });
  EXPECT_FALSE(w.Started());
  EXPECT_TRUE(w.WaitFor(milliseconds(0)));  // nothing to wait for before the start
  w.Start();
  w.Start();  // a second start does nothing
  EXPECT_FALSE(w.WaitFor(kStaysBlocked));  // still asleep: the bounded wait gives up
  w.Terminate();
  ASSERT_TRUE(w.WaitFor(kDeadline));  // the sleep is cut short
  EXPECT_TRUE(w.Finished());
  EXPECT_FALSE(slept_full);
  EXPECT_EQ(runs, 1);
}

TEST(TThread, AnErrorThatEscapesTheBodyIsLoggedWithTheThreadsName) {
  test::LogCapture log;
  const struct {
    std::function<void(Worker&)> body;
    const char* line;
  } cases[] = {
      {[](Worker&) { throw ERangeError(); }, "in: TestWorker thread exception ERangeError: Range check error"},
      {[](Worker&) { throw 42; }, "in: TestWorker thread exception unknown"},
  };
  for (const auto& c : cases) {
    Worker w(c.body);
    w.Start();
    ASSERT_TRUE(w.WaitFor(kDeadline));
    EXPECT_TRUE(log.Has(c.line)) << c.line;
  }
}

TEST(NetThread, WaitForIsBoundedAndTrueOnceTheBodyEnded) {
  std::atomic<bool> release{false};
  NetThread thread;
  thread.Start("TestNetThread", [&release] {
    while (!release.load()) std::this_thread::sleep_for(milliseconds(1));
  });
  EXPECT_FALSE(thread.WaitFor(kStaysBlocked));  // still running: the bounded wait gives up
  EXPECT_FALSE(thread.Ended());
  release = true;
  ASSERT_TRUE(thread.WaitFor(kDeadline));
  EXPECT_TRUE(thread.Ended());
}

}  // namespace
}  // namespace pv
