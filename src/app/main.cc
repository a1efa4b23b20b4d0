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
#if PV_DESKTOP
#include "shell/desktop/desktop_shell.h"
#endif

int main(int argc, char** argv) {
  // Before any thread exists (the server's or the GUI toolkit's), so every thread inherits
  // the blocked stop signals.
  pv::BlockStopSignals();
  pv::IgnoreSigpipe();
  std::vector<std::string> args(argv + 1, argv + argc);
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
