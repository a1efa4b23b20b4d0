// The program's entry: create the server, decide whether a tray icon is shown, start the server,
// hand the main thread to the shell until the server is to stop. Exit code 0 after a normal
// end, 1 after a failed start-up.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/server_app.h"
#include "base/event_log.h"
#include "core/platform.h"
#include "shell/shell.h"
#include "shell/version_info.h"
#if PV_DESKTOP
#include "shell/desktop/desktop_shell.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: pvserver [-INI=name] [-LOG=name]\n"
    "Runs the Parleyvox voice-conference server until SIGINT or SIGTERM.\n"
    "  -INI=name   the configuration file, relative to the configuration folder (default pvserver.ini)\n"
    "  -LOG=name   the event log, relative to the working directory (default pvserver.log)\n"
    "  --help, -h  this text and nothing else;  --version  the version and nothing else\n"
    "The configuration folder is PARLEYVOX_HOME, or the program's own folder when it is unset.\n"
    "See pvserver(8).\n";

// Asked for help or the version, the program answers and starts nothing: a server started by
// mistake would listen on every address and write a configuration file beside the program.
bool AnsweredInstead(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return true;
    }
    if (arg == "--version") {
      std::string version = pv::TVersionInfo().GetVersionText();
      while (!version.empty() && version.back() == ' ') version.pop_back();
      std::printf("pvserver %s\n", version.c_str());
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists (the server's or the GUI toolkit's), so every thread inherits
  // the blocked stop signals.
  pv::BlockStopSignals();
  pv::IgnoreSigpipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (AnsweredInstead(args)) return 0;
  pv::ServerApp app(args);
#if PV_DESKTOP
  // Settled before start-up: the version text says " Service" exactly when no tray is shown.
  std::unique_ptr<pv::DesktopShell> desktop = pv::DesktopShell::Open(argc > 0 ? argv[0] : "pvserver");
  app.SetDesktop(desktop != nullptr);
#endif
  if (!app.Server_Init()) {
    // Also for the operator, and for a service manager's journal: the log may be out of reach.
    // Written first, so the log line stays the last thing the process does before it ends.
    std::fprintf(stderr, "%s\n", app.FatalMessage().c_str());
    pv::WriteLog(app.FatalMessage(), 0);
    // Nothing started so far is undone, and no window exists yet: the process ends at once.
    ::_exit(1);
  }
  const pv::StopServer stop = [&app] { app.Server_DeInit(); };
#if PV_DESKTOP
  if (desktop) {
    desktop->Run(stop);
    return 0;
  }
#endif
  pv::RunHeadlessShell(stop);
  return 0;
}
