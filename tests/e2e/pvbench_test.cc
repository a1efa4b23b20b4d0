// The load generator's hostile side against the real server: stalled clients that never read and
// a churn of logins, leaves and room changes while the talkers talk. The run must end by itself,
// relay every datagram correctly, and report what the README's figures are read from. Under the
// ThreadSanitizer build this is also the busiest mix of threads the server meets in the suite.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/server_process.h"
#include "support/x_session.h"

namespace pv::test {
namespace {

// The numbers a report line carries, as doubles; empty when the line is missing.
std::vector<double> Numbers(const std::string& report, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(report, match, std::regex(pattern))) return {};
  std::vector<double> out;
  for (size_t i = 1; i < match.size(); ++i) out.push_back(std::stod(match[i].str()));
  return out;
}

TEST(Pvbench, StalledClientsAndChurnRunEndsByItselfAndReportsGapsResidentSetAndChurn) {
  ServerProcess server({{"General", {{"MaxClients", "64"}}}, {"Channels", {{"0", "Lobby"}, {"1", "Side"}}}});
  ASSERT_TRUE(server.Start());
  const ToolResult run = RunTool({PV_PVBENCH_BINARY, "--port", std::to_string(server.TcpPort()), "--pid",
                                  std::to_string(server.Pid()), "--clients", "4", "--talkers", "4", "--duration",
                                  "2", "--stalled", "1", "--churn", "10", "--timeout", "60"},
                                 {}, std::chrono::seconds(90));
  const std::string& report = run.out;
  EXPECT_EQ(run.code, 0) << report;
  EXPECT_EQ(Numbers(report, R"(errors\s+(\d+) )"), std::vector<double>{0}) << report;

  const auto gaps = Numbers(report, R"(talker gaps longest per talker: max ([\d.]+) ms, median ([\d.]+) ms)");
  ASSERT_EQ(gaps.size(), 2u) << report;
  EXPECT_GT(gaps[1], 0.0);
  EXPECT_LE(gaps[1], gaps[0]);

  const auto rss = Numbers(report, R"(server rss\s+([\d.]+) MiB at start, ([\d.]+) MiB at end)");
  ASSERT_EQ(rss.size(), 2u) << report;
  EXPECT_GT(rss[0], 0.0);
  EXPECT_GT(rss[1], 0.0);

  // The relaying threads' share is a part of the server's CPU time, never more.
  const auto cpu = Numbers(report, R"(server cpu\s+([\d.]+) s.*\n\s+of it relaying threads ([\d.]+) s)");
  ASSERT_EQ(cpu.size(), 2u) << report;
  EXPECT_LE(cpu[1], cpu[0]) << report;

  EXPECT_EQ(Numbers(report, R"(stalled\s+(\d+) clients)"), std::vector<double>{1}) << report;
  // 10 cycles a second for 2 s: each a login answered in full, a leave and a room change.
  const auto churn = Numbers(report, R"(churn\s+10 per second: (\d+) logins .*, (\d+) failed; (\d+) room changes)");
  ASSERT_EQ(churn.size(), 3u) << report;
  EXPECT_GE(churn[0], 10.0) << report;
  EXPECT_EQ(churn[1], 0.0) << report;
  EXPECT_GE(churn[2], 10.0) << report;

  EXPECT_EQ(server.Stop(), 0) << server.Log();
}

}  // namespace
}  // namespace pv::test
