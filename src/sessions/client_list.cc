#include "sessions/client_list.h"

namespace pv {

SessionPtr FindClientBySessionId(TParleyvoxServer& server, uint16_t session_id) {
  Locked clients(server.ClientList);
  for (const SessionPtr& session : *clients)
    if (static_cast<uint32_t>(session->SessionId) == session_id) return session;
  return nullptr;
}

SessionPtr FindClientByPlayerId(TParleyvoxServer& server, int player_id) {
  Locked clients(server.ClientList);
  for (const SessionPtr& session : *clients)
    if (session->PlayerId() == player_id) return session;
  return nullptr;
}

}  // namespace pv
