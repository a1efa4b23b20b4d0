// Login, readiness and leave: ClientLogin creates a session (or refuses with ServerFull or
// BadServerPassword), ClientReady answers with ServerInfo, ClientLeave ends the session. Each
// returns true when the pass is to close the connection.
#pragma once

#include "base/wire.h"
#include "core/server.h"
#include "sessions/server_client.h"
#include "net/tcp_server.h"

namespace pv {

// A server never holds more sessions than this: PlayerId 256 fits no field.
constexpr int kMaxSessions = 255;

bool ClientLogin(TParleyvoxServer& server, TIdPeerThread& thread, const PacketView& packet);
bool ClientReady(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
bool ClientLeave(TParleyvoxServer& server, TServerClient& session);

// Builds ServerInfo for `session` and queues it without flushing (the pass flushes it).
void QueueServerInfo(TParleyvoxServer& server, TServerClient& session);

// The smallest PlayerIndex no session holds and a random free SessionId (1..50000). Call with
// ClientList locked; -1 when every index is taken.
int ChoosePlayerIndex(const std::vector<SessionPtr>& clients);
int32_t ChooseSessionId(const std::vector<SessionPtr>& clients);

}  // namespace pv
