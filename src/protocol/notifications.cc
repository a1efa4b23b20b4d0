#include "protocol/notifications.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "protocol/packets.h"

namespace pv {

namespace {

void Deliver(TServerClient& to, std::vector<uint8_t> packet) {
  to.Enqueue(std::move(packet));
  to.Flush();
}

// Queues, for every session in ClientList that `build` gives a packet for, that packet, in list
// order under the list's lock, so every client gets the broadcasts in one order. The bytes go out
// once the lock is released; those that do not fit into a socket are left to its connection's
// thread. A range error ends the walk; what was queued until then still goes out.
template <typename F>
void ForEachSession(TParleyvoxServer& server, F build, PendingFlush* later = nullptr) {
  PendingFlush own;
  PendingFlush& recipients = later ? *later : own;
  auto flush = [&recipients, later] {
    if (!later) FlushAll(recipients);
  };
  try {
    Locked clients(server.ClientList);
    recipients.reserve(clients->size());
    for (auto& session : *clients) {
      std::optional<std::vector<uint8_t>> packet = build(*session);
      if (!packet) continue;
      session->Enqueue(std::move(*packet));
      recipients.push_back(session);
    }
  } catch (...) {
    flush();
    throw;
  }
  flush();
}

}  // namespace

void FlushAll(PendingFlush& sessions) {
  for (auto& session : sessions) session->Flush();
  sessions.clear();
}

void SendPlayerChangedRoom(TServerClient& to, int64_t player_id, int64_t room_id) {
  Deliver(to, BuildPlayerChangedRoom(to.SessionId, player_id, room_id));
}

void SendPlayerJoined(TServerClient& to, int64_t player_id, int64_t room_id, const std::string& name) {
  Deliver(to, BuildPlayerJoined(to.SessionId, player_id, room_id, name));
}

void SendPlayerLeft(TServerClient& to, int64_t player_id, LeaveReason reason) {
  Deliver(to, BuildPlayerLeft(to.SessionId, player_id, reason));
}

void SendRoomCreated(TServerClient& to, int64_t room_id, const std::string& name) {
  Deliver(to, BuildRoomCreated(to.SessionId, room_id, name));
}

void SendRoomDeleted(TServerClient& to, int64_t room_id) { Deliver(to, BuildRoomDeleted(to.SessionId, room_id)); }

void SendPlayerIsAdmin(TServerClient& to, int64_t player_id) {
  Deliver(to, BuildPlayerIsAdmin(to.SessionId, player_id));
}

void SendCommandReply(TServerClient& to, int64_t result) { Deliver(to, BuildCommandReply(to.SessionId, result)); }

bool TellLeaving(TParleyvoxServer& server, TServerClient& session, LeaveReason reason) {
  FlushWhenDone told;
  Locked clients(server.ClientList);
  // Left, kicked or gone already: the others have been told once.
  if (session.Leaving || std::find_if(clients->begin(), clients->end(), [&](const SessionPtr& s) {
                           return s.get() == &session;
                         }) == clients->end())
    return false;
  session.MarkLeaving();
  BroadcastPlayerLeft(server, session, reason, &told.sessions);
  return true;
}

void BroadcastPlayerJoined(TParleyvoxServer& server, const TServerClient& joined, PendingFlush* later) {
  // A new session is always in room index 0, room id 1.
  ForEachSession(
      server,
      [&](TServerClient& to) -> std::optional<std::vector<uint8_t>> {
        if (&to == &joined) return std::nullopt;
        return BuildPlayerJoined(to.SessionId, joined.PlayerId(), 1, joined.ClientName);
      },
      later);
}

void BroadcastPlayerLeft(TParleyvoxServer& server, const TServerClient& left, LeaveReason reason, PendingFlush* later) {
  ForEachSession(
      server,
      [&](TServerClient& to) -> std::optional<std::vector<uint8_t>> {
        return BuildPlayerLeft(to.SessionId, left.PlayerId(), reason);
      },
      later);
}

void BroadcastPlayerChangedRoom(TParleyvoxServer& server, const TServerClient& mover, int64_t room_id,
                                PendingFlush* later) {
  ForEachSession(
      server,
      [&](TServerClient& to) -> std::optional<std::vector<uint8_t>> {
        return BuildPlayerChangedRoom(to.SessionId, mover.PlayerId(), room_id);
      },
      later);
}

void BroadcastPlayerIsAdmin(TParleyvoxServer& server, const TServerClient& admin, PendingFlush* later) {
  ForEachSession(
      server,
      [&](TServerClient& to) -> std::optional<std::vector<uint8_t>> {
        if (to.IsLegacy()) return std::nullopt;
        return BuildPlayerIsAdmin(to.SessionId, admin.PlayerId());
      },
      later);
}

void BroadcastRoomCreated(TParleyvoxServer& server, const RoomRecord& room, PendingFlush* later) {
  ForEachSession(
      server,
      [&](TServerClient& to) -> std::optional<std::vector<uint8_t>> {
        return BuildRoomCreated(to.SessionId, room.RoomId(), room.Name);
      },
      later);
}

void BroadcastRoomDeleted(TParleyvoxServer& server, const RoomRecord& room, PendingFlush* later) {
  ForEachSession(
      server,
      [&](TServerClient& to) -> std::optional<std::vector<uint8_t>> {
        return BuildRoomDeleted(to.SessionId, room.RoomId());
      },
      later);
}

}  // namespace pv
