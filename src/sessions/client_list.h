// Look-ups in ClientList: by the session id that datagrams carry, by the PlayerId that commands
// name.
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

// The session whose PlayerId is `player_id`, or null.
SessionPtr FindClientByPlayerId(TParleyvoxServer& server, int player_id);

}  // namespace pv
