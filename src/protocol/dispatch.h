// TCPServerExecute: one pass over a control connection: flush, read one packet, dispatch it,
// count it, and close the session and the connection when the pass decides so.
#pragma once

#include "core/server.h"
#include "sessions/server_client.h"
#include "net/tcp_server.h"
#include "protocol/packet_wait.h"

namespace pv {

void TCPServerExecute(TParleyvoxServer& server, TIdPeerThread& thread);

// The last step of every connection thread, however its connection ended: a session still in
// ClientList is ended as a lost connection would end it (the others get PlayerLeft), so no
// session outlives its connection.
void EndConnection(TParleyvoxServer& server, TIdPeerThread& thread);

}  // namespace pv
