#include "protocol/notifications.h"

#include "protocol/packets.h"

namespace pv {

namespace {

void Deliver(TServerClient& to, std::vector<uint8_t> packet) {
  to.Enqueue(std::move(packet));
  to.Flush();
}

// Calls `send` for every session in ClientList, in list order, under the list's lock.
template <typename F>
void ForEachSession(TParleyvoxServer& server, F send) {
  Locked clients(server.ClientList);
  for (auto& session : *clients) send(*session);
}

}  // namespace

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

void BroadcastPlayerJoined(TParleyvoxServer& server, const TServerClient& joined) {
  // A new session is always in room index 0, room id 1.
  ForEachSession(server, [&](TServerClient& to) {
    if (&to != &joined) SendPlayerJoined(to, joined.PlayerId(), 1, joined.ClientName);
  });
}

void BroadcastPlayerLeft(TParleyvoxServer& server, const TServerClient& left, LeaveReason reason) {
  ForEachSession(server, [&](TServerClient& to) { SendPlayerLeft(to, left.PlayerId(), reason); });
}

void BroadcastPlayerChangedRoom(TParleyvoxServer& server, const TServerClient& mover, int64_t room_id) {
  ForEachSession(server, [&](TServerClient& to) { SendPlayerChangedRoom(to, mover.PlayerId(), room_id); });
}

void BroadcastPlayerIsAdmin(TParleyvoxServer& server, const TServerClient& admin) {
  ForEachSession(server, [&](TServerClient& to) {
    if (!to.IsLegacy()) SendPlayerIsAdmin(to, admin.PlayerId());
  });
}

void BroadcastRoomCreated(TParleyvoxServer& server, const RoomRecord& room) {
  ForEachSession(server, [&](TServerClient& to) { SendRoomCreated(to, room.RoomId(), room.Name); });
}

void BroadcastRoomDeleted(TParleyvoxServer& server, const RoomRecord& room) {
  ForEachSession(server, [&](TServerClient& to) { SendRoomDeleted(to, room.RoomId()); });
}

}  // namespace pv
