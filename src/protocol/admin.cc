#include "protocol/admin.h"

#include "base/errors.h"
#include "core/config_file.h"
#include "protocol/notifications.h"
#include "protocol/packets.h"
#include "sessions/client_list.h"

namespace pv {

void AdminLogin(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (ParseAdminLogin(packet) != server.AdminPassword()) {
    Count(server.Metrics.AdminLoginsWrongPassword);
    return SendCommandReply(session, kReplyBadAdminPassword);
  }
  session.IsAdmin = true;
  Count(server.Metrics.AdminLoginsAccepted);
  // A "1.2.0" client learns of its success from the reply; the others from PlayerIsAdmin.
  if (session.IsLegacy()) SendCommandReply(session, kReplyAdminLoginAccepted);
  BroadcastPlayerIsAdmin(server, session);
}

void AdminChangeServerPassword(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  std::string password = ParseAdminChangeServerPassword(packet);
  // The reply first, then memory, then the file: a file that cannot be written leaves the new
  // password in force and raises to the pass, which logs it.
  SendCommandReply(session, kReplyServerPasswordChanged);
  server.SetServerPassword(password);
  SaveServerPassword(server.ConfigPath(), password);
}

void AdminChangeAdminPassword(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  std::string password = ParseAdminChangeAdminPassword(packet);
  SendCommandReply(session, kReplyAdminPasswordChanged);
  server.SetAdminPassword(password);
  SaveAdminPassword(server.ConfigPath(), password);
}

void AdminKickPlayer(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  int player_id = ParseAdminKickPlayer(packet);
  if (player_id == 0) throw ERangeError();  // PlayerId 0 names no player
  SessionPtr target = FindClientByPlayerId(server, player_id);
  if (!target) return SendCommandReply(session, kReplyKickNoSuchPlayer);
  // The kicked connection is closed by its own next pass, without a second PlayerLeft.
  target->Leaving = true;
  BroadcastPlayerLeft(server, *target, LeaveReason::kKicked);
}

}  // namespace pv
