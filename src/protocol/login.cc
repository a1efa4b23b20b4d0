#include "protocol/login.h"

#include <random>

#include "base/free_index.h"
#include "base/printf.h"
#include "base/event_log.h"
#include "protocol/notifications.h"
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
  {
    // The count, the checks and the append happen under one hold of the lock, so racing
    // logins never pass MaxClients.
    auto clients = server.ClientList.Lock();
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
    if (!password.empty() && request.Password != password) {
      clients.Unlock();
      Count(server.Metrics.LoginsWrongPassword);
      WriteRefusal(server, thread, BuildBadServerPassword());
      return true;
    }
    session = std::make_shared<TServerClient>(server, thread.shared_from_this());
    session->ClientName = request.Name;
    session->ClientVer = request.Version;
    WriteLog(Printf("Created client %s", session->ClientName.c_str()), 3);
    std::vector<uint8_t> accepted = BuildLoginAccepted(server.Config.Servername);
    thread.SetAppData(session);
    session->PlayerIndex = static_cast<uint8_t>(ChoosePlayerIndex(*clients));
    session->SessionId = ChooseSessionId(*clients);
    clients->push_back(session);
    clients.Unlock();
    Count(server.Metrics.LoginsAccepted);
    WriteLog(Printf("Assigned playerId for client %s[%d]", session->ClientName.c_str(), session->PlayerId()), 3);
    session->Enqueue(std::move(accepted));
  }
  BroadcastPlayerJoined(server, *session);
  return false;
}

bool ClientReady(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (ParseClientReadyRefused(packet)) {
    SendCommandReply(session, kReplyReadyRefused);
    return true;
  }
  QueueServerInfo(server, session);
  return false;
}

bool ClientLeave(TParleyvoxServer& server, TServerClient& session) {
  session.Leaving = true;
  BroadcastPlayerLeft(server, session, LeaveReason::kLeft);
  return true;
}

void QueueServerInfo(TParleyvoxServer& server, TServerClient& session) {
  // The two lists are read one after the other, each under its own lock, never both at once.
  std::vector<PlayerInfo> players;
  {
    auto clients = server.ClientList.Lock();
    players.reserve(clients->size());
    for (const auto& c : *clients) players.push_back({c->PlayerId(), c->RoomIndex + 1, c->IsAdmin, c->ClientName});
  }
  std::vector<RoomInfo> rooms;
  {
    auto list = server.RoomList.Lock();
    for (const auto& room : *list) rooms.push_back({room.RoomId(), room.Name});
  }
  session.Enqueue(BuildServerInfo(session.SessionId, session.PlayerId(), rooms, players, session.IsLegacy()));
}

}  // namespace pv
