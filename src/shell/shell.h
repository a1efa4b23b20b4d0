// The shell: what the main thread does while the server runs. Headless, it waits for SIGINT or
// SIGTERM; on a desktop it shows the tray icon. Either way it runs Server_DeInit before it
// returns.
#pragma once

#include "core/server.h"

namespace pv {

// Blocks SIGINT and SIGTERM in the calling thread and so in every thread created after it; the
// headless shell takes them with sigwait. Call first thing in main.
void BlockStopSignals();

// Waits for SIGINT or SIGTERM, then stops the server.
void RunHeadlessShell(TParleyvoxServer& server);

}  // namespace pv
