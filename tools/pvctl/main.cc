// pvctl: administers a running server over its own control protocol, as a client would. It
// connects, logs in (as administrator only when the command needs it), does one thing, leaves
// and exits: 0 done, 1 refused by the server, 2 usage, 3 no connection or no answer in time
// (or output that could not be written).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "session.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  pv::ctl::Options options;
  std::string error = pv::ctl::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (options.help) {
    std::fputs(pv::ctl::UsageText(), stdout);
    return pv::ctl::kExitDone;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "pvctl: %s\n%s", error.c_str(), pv::ctl::UsageText());
    return pv::ctl::kExitUsage;
  }
  try {
    std::string out = pv::ctl::RunCommand(options);
    // A script must not take output that never arrived (a full disk, a closed pipe) for success.
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "pvctl: cannot write the output: %s\n", std::strerror(errno));
      return pv::ctl::kExitConnection;
    }
    return pv::ctl::kExitDone;
  } catch (const pv::ctl::Failure& f) {
    std::fprintf(stderr, "pvctl: %s\n", f.what());
    return f.exit_code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pvctl: %s\n", e.what());
    return pv::ctl::kExitConnection;
  }
}
