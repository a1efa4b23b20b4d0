#include "protocol/login.h"

#include <random>

#include "base/free_index.h"
#include "base/printf.h"
#include "base/event_log.h"
#include "net/local_address.h"
#include "protocol/notifications.h"
#include "protocol/password_guard.h"
#include "protocol/packets.h"

namespace pv {

namespace {

// Writes a refusal straight onto the connection (no session, no queue exists yet).
void WriteRefusal(TParleyvoxServer& server, TIdPeerThread& thread, const std::vector<uint8_t>& packet) {
  thread.Connection().WriteBytes(packet.data(), packet.size());
  server.Traffic.CountTcpOut(packet.size());
}

}  // namespace

int ChoosePlayerIndex(const std::vector<SessionPtr>& clients) {
  return SmallestFreeIndex(clients, kMaxSessions, [](const SessionPtr& s) { return s->PlayerIndex; });
}

int32_t ChooseSessionId(const std::vector<SessionPtr>& clients) {
  thread_local std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<int32_t> draw(1, 50000);
  for (;;) {
    int32_t id = draw(rng);
    bool taken = false;
    for (const auto& session : clients) taken = taken || session->SessionId == id;
    if (!taken) return id;
  }
}

bool ClientLogin(TParleyvoxServer& server, TIdPeerThread& thread, const PacketView& packet) {
  LoginRequest request = ParseClientLogin(packet);
  SessionPtr session;
  FlushWhenDone told;  // the others' PlayerJoined, written after the log lines
  {
    // The count, the checks and the append happen under one hold of the lock, so racing
    // logins never pass MaxClients.
    Locked clients(server.ClientList);
    for (const auto& existing : *clients)
      if (existing->BelongsTo(&thread)) return false;  // a second login on this connection
    int64_t count = static_cast<int64_t>(clients->size());
    if (count >= server.Config.MaxClients || count >= kMaxSessions) {
      clients.Unlock();
      Count(server.Metrics.LoginsFull);
      WriteRefusal(server, thread, BuildServerFull());
      return true;
    }
    std::string password = server.ServerPassword();
    if (!password.empty()) {
      // Guessing is throttled per address: a locked-out address is refused as a wrong password
      // without its guess being looked at.
      const uint32_t from = IPv4OrZero(thread.Connection().PeerIP());
      bool throttled = server.ServerPasswordThrottle.Locked(from);
      if (throttled || request.Password != password) {
        clients.Unlock();
        if (throttled) {
          Count(server.Metrics.LoginsThrottled);
        } else {
          Count(server.Metrics.LoginsWrongPassword);
          NoteWrongPassword(server.ServerPasswordThrottle, from, "Client logins");
        }
        WriteRefusal(server, thread, BuildBadServerPassword());
        return true;
      }
      server.ServerPasswordThrottle.Succeeded(from);
    }
    session = std::make_shared<TServerClient>(server, thread.shared_from_this());
    session->ClientName = request.Name;
    session->ClientVer = request.Version;
    thread.SetAppData(session);
    session->PlayerIndex = static_cast<uint8_t>(ChoosePlayerIndex(*clients));
    session->SessionId = ChooseSessionId(*clients);
    // Queued before the session is listed, so no broadcast can come before the answer.
    session->Enqueue(BuildLoginAccepted(server.Config.Servername));
    clients->push_back(session);
    // The others are told in the same hold of the lock: a kick or a ServerInfo that finds the
    // new session comes after its PlayerJoined.
    BroadcastPlayerJoined(server, *session, &told.sessions);
  }
  Count(server.Metrics.LoginsAccepted);
  // Logged after ClientList is released: no thread waits for the log while holding it.
  WriteLog(Printf("Created client %s", session->ClientName.c_str()), 3);
  WriteLog(Printf("Assigned playerId for client %s[%d]", session->ClientName.c_str(), session->PlayerId()), 3);
  // A logged-in connection no longer counts against the limits on connections without a login.
  thread.SetEstablished();
  return false;
}

bool ClientReady(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (ParseClientReadyRefused(packet)) {
    SendCommandReply(session, kReplyReadyRefused);
    return true;
  }
  QueueServerInfo(server, session);
  session.NoteServerInfo(SteadyNow());
  return false;
}

bool ClientLeave(TParleyvoxServer& server, TServerClient& session) {
  TellLeaving(server, session, LeaveReason::kLeft);
  return true;
}

void QueueServerInfo(TParleyvoxServer& server, TServerClient& session) {
  // Both lists are held (in the lock order) while the packet is made and queued: the room and
  // player broadcasts are queued under them too, so none queued before this packet is missing
  // from it and none after it is already in it. Players on their way out are left out: the
  // others have had their PlayerLeft, and a newcomer would never get one.
  std::vector<RoomInfo> rooms;
  Locked room_list(server.RoomList);
  for (const auto& room : *room_list) rooms.push_back({room.RoomId(), room.Name});
  std::vector<PlayerInfo> players;
  Locked clients(server.ClientList);
  players.reserve(clients->size());
  for (const auto& c : *clients)
    if (!c->Leaving) players.push_back({c->PlayerId(), c->RoomIndex + 1, c->IsAdmin, c->ClientName});
  session.Enqueue(BuildServerInfo(session.SessionId, session.PlayerId(), rooms, players, session.IsLegacy()));
}

}  // namespace pv
