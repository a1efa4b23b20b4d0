// The start-up banner: one short block on stderr, printed only when stderr is a terminal (an
// operator watching), never into a log file or a service manager's journal. The event log is
// not touched. Thread rules: none (the text is a plain value).
#pragma once

#include <string>

namespace pv {

struct BannerFacts {
  std::string version;        // the version text clients see
  std::string ip;             // the IP setting; empty: every address
  int tcp_port = 0;
  int udp_port = 0;
  std::string ini_path;
  std::string log_path;       // as given; made absolute against the working directory
  std::string monitoring;     // "host:port" of the monitoring endpoint, empty when off
  bool desktop = false;       // a tray icon is shown
  long pid = 0;
};

std::string BannerText(const BannerFacts& facts, const std::string& working_dir);

// Writes BannerText to stderr when stderr is a terminal.
void PrintBannerIfTerminal(const BannerFacts& facts);

}  // namespace pv
