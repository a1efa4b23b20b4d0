// TCPServerExecute: one pass over a control connection: flush, read one packet, dispatch it,
// count it, and close the session and the connection when the pass decides so.
#pragma once

#include "core/server.h"
#include "net/tcp_server.h"

namespace pv {

void TCPServerExecute(TParleyvoxServer& server, TIdPeerThread& thread);

}  // namespace pv
