#include "protocol/dispatch.h"

#include <algorithm>
#include <cstring>

#include "base/errors.h"
#include "base/printf.h"
#include "base/event_log.h"
#include "core/metrics.h"
#include "sessions/capped_log.h"
#include "protocol/admin.h"
#include "protocol/codes.h"
#include "protocol/login.h"
#include "protocol/notifications.h"
#include "protocol/rooms.h"
#include "protocol/stats.h"

namespace pv {

namespace {

// A command handler of a logged-in session; true asks the pass to close the connection.
using Handler = bool (*)(TParleyvoxServer&, const PacketView&, TServerClient&);

template <void (*F)(TParleyvoxServer&, const PacketView&, TServerClient&)>
bool NeverCloses(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  F(server, packet, session);
  return false;
}

bool Leave(TParleyvoxServer& server, const PacketView&, TServerClient& session) { return ClientLeave(server, session); }

struct Command {
  int16_t code;
  Handler handler;
};

// Every command of a logged-in session. ClientLogin is handled before the table, since it is
// the one command a connection without a session may send.
constexpr Command kCommands[] = {
    {kCmdClientReady, ClientReady},
    {kCmdClientChangeRoom, NeverCloses<ClientChangeRoom>},
    {kCmdClientLeave, Leave},
    {kCmdPlayerStatsReq, NeverCloses<PlayerStatsReq>},
    {kCmdServerStatsReq, NeverCloses<ServerStatsReq>},
    {kCmdAdminLogin, NeverCloses<AdminLogin>},
    {kCmdAdminCreateRoom, NeverCloses<AdminCreateRoom>},
    {kCmdAdminDeleteRoom, NeverCloses<AdminDeleteRoom>},
    {kCmdAdminKickPlayer, NeverCloses<AdminKickPlayer>},
    {kCmdAdminChangeServerPassword, NeverCloses<AdminChangeServerPassword>},
    {kCmdAdminSaveAsDefaultChannels, NeverCloses<AdminSaveAsDefaultChannels>},
    {kCmdAdminChangeAdminPassword, NeverCloses<AdminChangeAdminPassword>},
};

// Unknown codes do nothing: the packet is only counted.
bool Dispatch(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  for (const auto& command : kCommands)
    if (command.code == packet.Code()) return command.handler(server, packet, session);
  return false;
}

// Ends a session: the others are told unless it was leaving, it leaves ClientList, and it is
// destroyed. Only the session's own connection thread calls it; a session no longer in the list
// (shut-down took it) is only destroyed.
void CloseSession(TParleyvoxServer& server, const SessionPtr& session) {
  // A lost connection is told as a leave, unless a leave or a kick was told already.
  TellLeaving(server, *session, LeaveReason::kLeft);
  bool listed;
  {
    Locked clients(server.ClientList);
    auto& items = *clients;
    auto it = std::find(items.begin(), items.end(), session);
    listed = it != items.end();
    if (listed) items.erase(it);
  }
  if (listed) WriteLog(Printf("Distroying client %s[%d]", session->ClientName.c_str(), session->PlayerId()), 3);
  session->Destroy();
}

// The close step of a pass that decided to end the connection.
void ClosePass(TParleyvoxServer& server, TIdTCPConnection& connection, const SessionPtr& session, PassWait waited) {
  if (session) {
    if (waited == PassWait::kSlowClient) {
      WriteLog(Printf("Dropped slow client %s[%d]", session->ClientName.c_str(), session->PlayerId()), 3);
      Count(server.Metrics.SlowClientsDropped);
    } else {
      // What was queued last (the reply to a refused ClientReady, its own PlayerLeft) still
      // reaches the client.
      SendRestBeforeClose(*session, connection);
    }
    CloseSession(server, session);
  } else if (waited == PassWait::kLoginTimeout) {
    Count(server.Metrics.ConnectionsClosedBeforeLogin);
  }
  connection.Close();
}

}  // namespace

void TCPServerExecute(TParleyvoxServer& server, TIdPeerThread& thread) {
  SessionPtr session;
  try {
    TIdTCPConnection& connection = thread.Connection();
    session = thread.AppDataAs<TServerClient>();
    bool close = false;
    size_t n = 1;
    uint8_t buffer[kPacketBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    PassWait waited = PassWait::kLost;
    try {
      waited = WaitForPacket(thread, session);
    } catch (const std::exception&) {
      waited = PassWait::kLost;
    }
    if (waited != PassWait::kPacket) close = true;
    if (!close) {
      n = TakePacket(connection, buffer, sizeof buffer) - 1;
      close = true;
      PacketView packet(buffer, 1 + n);
      if (session && session->Leaving) {
        // Kicked while its packet arrived: nothing a kicked client sends is carried out.
      } else if (packet.Code() == kCmdClientLogin) {
        close = ClientLogin(server, thread, packet);
      } else if (session) {
        close = Dispatch(server, packet, *session);
      }
    }
    server.Traffic.CountTcpIn(1 + n);
    if (session && !session->Leaving) {
      session->Traffic.CountTcpIn(1 + n);
      session->Touch();
      session->NotePacket(SteadyNow());
      session->SendQueued();  // the rest, if any, goes out while the next pass waits
    }
    if (close) ClosePass(server, connection, session, waited);
  } catch (const std::exception& e) {
    // The connection stays open and the next pass reads the next packet. A client can cause
    // these at will (a statistics request for player 0 is a range error): capped per session.
    const uint32_t key = session ? static_cast<uint32_t>(session->SessionId) : 0;
    WriteCappedLog(server, key, CappedLogLine::kPassFailure, CaughtLine("in: TCPServerExecute excption ", e), 0);
  }
}

void EndConnection(TParleyvoxServer& server, TIdPeerThread& thread) {
  if (SessionPtr session = thread.AppDataAs<TServerClient>()) CloseSession(server, session);
}

}  // namespace pv
