// Look-ups in ClientList by the session id that datagrams carry.
//
// Thread rules: any thread. The ClientList lock is held only for the walk; the session returned
// is kept alive by the shared pointer after the lock is released.
#pragma once

#include <cstdint>

#include "core/server.h"
#include "sessions/server_client.h"

namespace pv {

// The first session whose SessionId equals `session_id`, or null. The id is the u16 a datagram
// carries, compared as an unsigned number.
SessionPtr FindClientBySessionId(TParleyvoxServer& server, uint16_t session_id);

// The same walk over a list the caller already holds (or a copy of it).
TServerClient* FindSessionIn(const std::vector<SessionPtr>& clients, uint16_t session_id);

}  // namespace pv
