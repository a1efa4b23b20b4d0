// The shell: what the main thread does while the server runs. Headless, it waits for SIGINT or
// SIGTERM; on a desktop it shows the tray icon (shell/desktop). Either way it runs
// Server_DeInit before it returns.
#pragma once

#include <csignal>

#include "core/server.h"

namespace pv {

// SIGINT and SIGTERM: the signals that stop the server in every shell.
sigset_t StopSignals();

// Blocks the stop signals in the calling thread and so in every thread created after it; the
// shells take them synchronously (sigwait, signalfd). Call first thing in main.
void BlockStopSignals();

// Waits for SIGINT or SIGTERM, then stops the server.
void RunHeadlessShell(TParleyvoxServer& server);

}  // namespace pv
