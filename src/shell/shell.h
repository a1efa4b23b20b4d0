// The shell: what the main thread does while the server runs. Headless, it waits for SIGINT or
// SIGTERM; on a desktop it shows the tray icon (shell/desktop). Either way it calls the stop
// callback (the server's shut-down) before it returns. The shell knows nothing of the server.
#pragma once

#include <csignal>
#include <functional>

namespace pv {

// Stops the server (its Server_DeInit); returns when it has stopped.
using StopServer = std::function<void()>;

// SIGINT and SIGTERM: the signals that stop the server in every shell.
sigset_t StopSignals();

// Blocks the stop signals in the calling thread and so in every thread created after it; the
// shells take them synchronously (sigwait, signalfd). Call first thing in main.
void BlockStopSignals();

// Waits for SIGINT or SIGTERM, then stops the server.
void RunHeadlessShell(const StopServer& stop);

}  // namespace pv
