#include "probes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace pv::bench {

namespace {

// CPU seconds from one line of a stat file; `name` gets the command (or thread) name.
double CpuSecondsOfStat(const std::string& path, std::string* name = nullptr) {
  std::ifstream in(path);
  std::string text;
  if (!std::getline(in, text)) return -1.0;
  // The command name is in parentheses and may hold spaces: fields are counted after its ')'.
  size_t open = text.find('(');
  size_t close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return -1.0;
  if (name) *name = text.substr(open + 1, close - open - 1);
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double ProcessCpuSeconds(pid_t pid) { return CpuSecondsOfStat("/proc/" + std::to_string(pid) + "/stat"); }

double ThreadsCpuSeconds(pid_t pid, const std::vector<std::string>& names) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  double total = 0.0;
  bool any = false;
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    std::string name;
    double seconds = CpuSecondsOfStat(entry.path().string() + "/stat", &name);
    if (seconds < 0 || std::find(names.begin(), names.end(), name) == names.end()) continue;
    total += seconds;
    any = true;
  }
  return any ? total : -1.0;
}

long ProcessRssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    // "VmRSS:     12345 kB"
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double MachineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string name;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  in >> name >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  if (name != "cpu") return 0.0;
  return static_cast<double>(user + nice + system + irq + softirq + steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

uint64_t UdpDrops(const std::vector<uint16_t>& ports) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);  // the column titles
  uint64_t drops = 0;
  while (std::getline(in, line)) {
    // "  sl: local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout
    //  inode ref pointer drops"; the local address is "HEXIP:HEXPORT".
    std::istringstream fields(line);
    std::string slot, local, last, field;
    fields >> slot >> local;
    while (fields >> field) last = field;
    size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    auto port = static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
    if (std::find(ports.begin(), ports.end(), port) != ports.end()) drops += std::stoull(last);
  }
  return drops;
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

}  // namespace pv::bench
