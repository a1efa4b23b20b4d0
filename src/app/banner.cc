#include "app/banner.h"

#include <unistd.h>

#include <cstdio>

#include "base/printf.h"

namespace pv {

std::string BannerText(const BannerFacts& f, const std::string& working_dir) {
  const std::string where = f.ip.empty() ? "every address" : f.ip;
  std::string log = f.log_path;
  if (!log.empty() && log[0] != '/') log = working_dir + "/" + log;
  std::string out = Printf("Parleyvox Server %s is running.\n", f.version.c_str());
  out += Printf("  control (TCP)  %s, port %d\n", where.c_str(), f.tcp_port);
  out += Printf("  voice (UDP)    %s, port %d\n", where.c_str(), f.udp_port);
  out += Printf("  settings       %s\n", f.ini_path.c_str());
  out += Printf("  event log      %s\n", log.c_str());
  if (!f.monitoring.empty()) out += Printf("  monitoring     http://%s/\n", f.monitoring.c_str());
  out += Printf("Stop it with Ctrl-C or kill -TERM %ld%s.\n", f.pid, f.desktop ? ", or Exit in the tray menu" : "");
  return out;
}

void PrintBannerIfTerminal(const BannerFacts& facts) {
  if (::isatty(STDERR_FILENO) == 0) return;
  char cwd[4096];
  std::string dir = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
  std::string text = BannerText(facts, dir);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace pv
