// The program's entry: create the server, start it, hand the main thread to the shell until
// the server is to stop. Exit code 0 after a normal end, 1 after a failed start-up.
#include <unistd.h>

#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/platform.h"
#include "core/server.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
  // Before any thread exists, so every thread inherits the blocked stop signals.
  pv::BlockStopSignals();
  pv::IgnoreSigpipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  pv::TParleyvoxServer server(args);
  if (!server.Server_Init()) {
    pv::WriteLog(server.FatalMessage, 0);
    // Nothing started so far is undone: the process ends at once.
    ::_exit(1);
  }
  pv::RunHeadlessShell(server);
  return 0;
}
