// Administrator commands: the administrator login, both password changes (written back to the
// configuration file), and the kick. Refusals are CommandReply codes.
#pragma once

#include "base/wire.h"
#include "core/server.h"
#include "sessions/server_client.h"

namespace pv {

void AdminLogin(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void AdminChangeServerPassword(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void AdminChangeAdminPassword(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void AdminKickPlayer(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);

}  // namespace pv
