#include <csignal>

#include "shell/shell.h"

namespace pv {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void RunHeadlessShell(const StopServer& stop) {
  sigset_t set = StopSignals();
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
  stop();
}

}  // namespace pv
