// The command line, the event log file, the connection cap, date arithmetic, and the base
// synchronisation primitives: the auto-reset event, the guarded list's lock, the worker thread's
// life (start, bounded stop, the log line of an error that escapes its body) and the transport
// thread's bounded wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/date_time.h"
#include "base/errors.h"
#include "base/event_log.h"
#include "base/sync.h"
#include "base/thread.h"
#include "core/command_line.h"
#include "core/platform.h"
#include "net/net_thread.h"
#include "session_fixture.h"

namespace pv {
namespace {

using std::chrono::milliseconds;

TEST(CommandLine, SwitchesNameTheConfigurationAndLogFiles) {
  const struct {
    std::vector<std::string> args;
    const char* ini;
    const char* log;
  } cases[] = {
      {{}, "pvserver.ini", "pvserver.log"},
      // Any letter case; the value keeps its own.
      {{"-ini=Other.ini", "-Log=My.LOG", "-PID=77", "stray"}, "Other.ini", "My.LOG"},
      {{"-INI=a.ini", "-INI=b.ini"}, "b.ini", "pvserver.log"},  // the last one wins
      // A switch found anywhere in an argument cuts its first five characters.
      {{"x-LOG=f.log"}, "pvserver.ini", "=f.log"},
      {{"-INI="}, "", "pvserver.log"},
      // The -LOG= test looks at what the -INI= step left.
      {{"-INI=-LOG=zz"}, "-LOG=zz", "zz"},
  };
  for (const auto& c : cases) {
    ProgramNames n;
    ParseCommandLine(c.args, n);
    EXPECT_EQ(n.ConfigFileName, c.ini) << ::testing::PrintToString(c.args);
    EXPECT_EQ(n.LogFileName, c.log) << ::testing::PrintToString(c.args);
  }
}

TEST(EventLog, CleaningTurnsCarriageReturnsIntoSeparatorsAndOtherControlsIntoQuestionMarks) {
  EXPECT_EQ(CleanLogMessage("first\r\nsecond"), "first : second");
  EXPECT_EQ(CleanLogMessage("a\nb\rc"), "ab : c");
  EXPECT_EQ(CleanLogMessage(""), "");
  EXPECT_EQ(CleanLogMessage("\x1b]0;owned\x07\x1b[2J\x7f|\t|\xe9"), "?]0;owned??[2J?|\t|\xe9");
}

TEST(EventLogFile, LinesAreTimestampBarMessageCrLfInAFileMadeAgainWhenDeletedAndLostSilentlyWithoutAFolder) {
  test::LogCapture log;
  WriteLog("Done reading ini file", 3);
  WriteLog("", 0);
  const std::string stamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \| )";  // dd/mm/yyyy hh:nn:ss | message CR LF
  const std::string text = log.Text();
  EXPECT_TRUE(std::regex_match(text, std::regex(stamp + "Done reading ini file\r\n" + stamp + "\r\n"))) << text;
  std::filesystem::remove(log.Path());
  WriteLog("two", 3);
  EXPECT_TRUE(std::regex_match(log.Text(), std::regex(stamp + "two\r\n"))) << log.Text();
  SetLogFileName(log.Path() + "/no/such/x.log");
  EXPECT_NO_THROW(WriteLog("lost", 0));
}

// A pipe nobody opened is tests/e2e/hostile_clients_test.cc's; one whose reader never reads
// fills, and the lines that do not fit are lost at once.
TEST(EventLogFile, APipeThatIsNeverReadLosesTheLinesThatDoNotFit) {
  test::LogCapture log;
  ASSERT_EQ(::mkfifo(log.Path().c_str(), 0644), 0);
  auto start = std::chrono::steady_clock::now();
  int reader = ::open(log.Path().c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (int i = 0; i < 2000; ++i) WriteLog(std::string(100, 'x'), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ::close(reader);
  std::filesystem::remove(log.Path());
}

TEST(EventLogFile, ConcurrentWritersNeverInterleave) {
  test::LogCapture log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) WriteLog(std::string(100, static_cast<char>('a' + t)), 3);
    });
  for (auto& th : threads) th.join();
  std::istringstream lines(log.Text());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.size(), 19u + 3u + 100u + 1u);  // getline leaves the CR
    EXPECT_EQ(line.find_first_not_of(line[22], 22), line.size() - 1);
    ++count;
  }
  EXPECT_EQ(count, 800);
}

TEST(Platform, ConnectionCapIsMaxClientsPlus64WithinTheDescriptorLimit) {
  const struct {
    int max_clients;
    uint64_t descriptors;
    size_t cap;
  } cases[] = {
      {16, 1048576, 80},  {255, 1048576, 319}, {1000, 1048576, 319}, {-3, 1048576, 64},
      {16, 1024, 80},     {255, 1024, 319},    {255, 256, 96},       {16, 40, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ConnectionCap(c.max_clients, c.descriptors), c.cap) << c.max_clients << " / " << c.descriptors;
}

TEST(DateTime, MillisecondsOfDayDropsWholeDaysAndRoundsHalfToEvenAndEncodeAndFormatRoundTrip) {
  EXPECT_EQ(MillisecondsOfDay(TDateTime{1.0 + 1.0 / 24.0}), 3600000u);
  EXPECT_EQ(MillisecondsOfDay(TDateTime{0.5}), 43200000u);
  EXPECT_EQ(MillisecondsOfDay(TDateTime{0.5 / 86400000.0}), 0u);  // 0.5 ms -> 0 (even)
  EXPECT_EQ(MillisecondsOfDay(TDateTime{1.5 / 86400000.0}), 2u);  // 1.5 ms -> 2 (even)
  EXPECT_THROW(MillisecondsOfDay(TDateTime{-0.001}), ERangeError);
  EXPECT_EQ(MillisecondsOfDay(std::chrono::hours(25)), 3600000u);
  EXPECT_EQ(FormatLogTimestamp(EncodeDateTime(2026, 12, 6, 18, 57, 54, 0)), "06/12/2026 18:57:54");
}

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
