// The command line, the event log file, date and tick arithmetic, and the CRC-32.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include "base/crc32.h"
#include "base/date_time.h"
#include "base/errors.h"
#include "core/command_line.h"
#include "base/event_log.h"
#include "core/platform.h"
#include "session_fixture.h"

namespace pv {
namespace {

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

TEST(EventLogFile, LineFormatIsTimestampBarMessageCrLf) {
  test::LogCapture log;
  WriteLog("Done reading ini file", 3);
  WriteLog("", 0);
  std::string text = log.Text();
  // dd/mm/yyyy hh:nn:ss | message CR LF
  ASSERT_EQ(text.size(), 19u + 3u + 21u + 2u + 19u + 3u + 2u);
  EXPECT_EQ(text[2], '/');
  EXPECT_EQ(text[5], '/');
  EXPECT_EQ(text[10], ' ');
  EXPECT_EQ(text[13], ':');
  EXPECT_EQ(text.substr(19, 26), " | Done reading ini file\r\n");
  EXPECT_EQ(text.substr(text.size() - 5), " | \r\n");
}

TEST(EventLogFile, DeletedFileIsCreatedAgainAndMissingFolderIsSilent) {
  test::LogCapture log;
  WriteLog("one", 3);
  std::filesystem::remove(log.Path());
  WriteLog("two", 3);
  std::string text = log.Text();
  EXPECT_EQ(text.find("one"), std::string::npos);
  EXPECT_NE(text.find(" | two\r\n"), std::string::npos);
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

TEST(DateTime, MillisecondsOfDayDropsWholeDaysAndRoundsHalfToEven) {
  EXPECT_EQ(MillisecondsOfDay(TDateTime{1.0 + 1.0 / 24.0}), 3600000u);
  EXPECT_EQ(MillisecondsOfDay(TDateTime{0.5}), 43200000u);
  EXPECT_EQ(MillisecondsOfDay(TDateTime{0.5 / 86400000.0}), 0u);  // 0.5 ms -> 0 (even)
  EXPECT_EQ(MillisecondsOfDay(TDateTime{1.5 / 86400000.0}), 2u);  // 1.5 ms -> 2 (even)
  EXPECT_THROW(MillisecondsOfDay(TDateTime{-0.001}), ERangeError);
  EXPECT_EQ(MillisecondsOfDay(std::chrono::hours(25)), 3600000u);
}

TEST(DateTime, EncodeAndFormatRoundTrip) {
  auto t = EncodeDateTime(2026, 12, 6, 18, 57, 54, 0);
  EXPECT_EQ(FormatLogTimestamp(t), "06/12/2026 18:57:54");
  EXPECT_DOUBLE_EQ(std::floor(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0).value), 0.0);
}

}  // namespace
}  // namespace pv
