// Statistics requests: one player's traffic and times, and the server's counters and uptime.
// Both answers are queued without a flush; the pass flushes them.
#pragma once

#include "base/wire.h"
#include "core/server.h"
#include "sessions/server_client.h"

namespace pv {

void PlayerStatsReq(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void ServerStatsReq(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);

}  // namespace pv
