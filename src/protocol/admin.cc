#include "protocol/admin.h"

#include "base/errors.h"
#include "core/config_file.h"
#include "protocol/notifications.h"
#include "protocol/password_guard.h"
#include "protocol/packets.h"
#include "sessions/client_list.h"

namespace pv {

void AdminLogin(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  const uint32_t from = session.TcpAddress();
  // A locked-out address is answered as a wrong password without its guess being looked at.
  if (server.AdminLoginThrottle.Locked(from)) {
    Count(server.Metrics.AdminLoginsThrottled);
    return SendCommandReply(session, kReplyBadAdminPassword);
  }
  const std::string password = server.AdminPassword();
  if (ParseAdminLogin(packet) != password || RefuseLocalOnlyAdminPassword(password, from)) {
    Count(server.Metrics.AdminLoginsWrongPassword);
    NoteWrongPassword(server.AdminLoginThrottle, from, "Administrator logins");
    return SendCommandReply(session, kReplyBadAdminPassword);
  }
  server.AdminLoginThrottle.Succeeded(from);
  Count(server.Metrics.AdminLoginsAccepted);
  // A "1.2.0" client learns of its success from the reply; the others from PlayerIsAdmin.
  if (session.IsLegacy()) SendCommandReply(session, kReplyAdminLoginAccepted);
  FlushWhenDone told;
  Locked clients(server.ClientList);
  // Kicked since the pass looked: the others have had its PlayerLeft, and nothing may follow it.
  if (session.Leaving) return;
  session.IsAdmin = true;
  BroadcastPlayerIsAdmin(server, session, &told.sessions);
}

void AdminChangeServerPassword(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  // Cut at a line break or NUL before it is used or stored (config_file.h).
  std::string password = IniSafeText(ParseAdminChangeServerPassword(packet));
  // The reply first, then memory, then the file: a file that cannot be written leaves the new
  // password in force and raises to the pass, which logs it.
  SendCommandReply(session, kReplyServerPasswordChanged);
  server.SetServerPassword(password);
  SaveServerPassword(server.ConfigPath(), password);
}

void AdminChangeAdminPassword(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  std::string password = IniSafeText(ParseAdminChangeAdminPassword(packet));
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
  // From here on nothing the kicked client sends is carried out; its connection's thread closes
  // the connection once the PlayerLeft has gone out to it, without a second PlayerLeft. A player
  // already on its way out (kicked, left or gone meanwhile) is no longer there to kick.
  if (!TellLeaving(server, *target, LeaveReason::kKicked)) return SendCommandReply(session, kReplyKickNoSuchPlayer);
  target->CloseWhenSent();
}

}  // namespace pv
