#include "protocol/rooms.h"

#include <algorithm>
#include <optional>

#include "base/ascii.h"
#include "base/errors.h"
#include "base/free_index.h"
#include "core/config_file.h"
#include "protocol/notifications.h"
#include "protocol/packets.h"

namespace pv {

namespace {

// Appends a new room, or nothing when every index is taken; call with RoomList locked.
std::optional<RoomRecord> AppendRoom(std::vector<RoomRecord>& rooms, const std::string& name) {
  int index = SmallestFreeIndex(rooms, kMaxRooms, [](const RoomRecord& room) { return room.Index; });
  if (index < 0) return std::nullopt;
  RoomRecord room{static_cast<uint8_t>(index), name.substr(0, 30)};
  rooms.push_back(room);
  return room;
}

}  // namespace

RoomRecord CreateRoom(TParleyvoxServer& server, const std::string& name) {
  std::optional<RoomRecord> room;
  {
    Locked rooms(server.RoomList);
    room = AppendRoom(*rooms, name);
  }
  if (!room) throw ERangeError();
  // Announced outside the RoomList lock.
  BroadcastRoomCreated(server, *room);
  return *room;
}

void ClientChangeRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  int room_id = ParseClientChangeRoom(packet);
  // Any room id is taken as it is, also one no room has.
  session.SetRoomIndexFromId(room_id);
  BroadcastPlayerChangedRoom(server, session, room_id);
}

void AdminCreateRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  // A name ends up in the configuration file when the rooms are saved: cut at a line break or
  // NUL before it is used (config_file.h).
  std::string name = IniSafeText(ParseAdminCreateRoom(packet));
  std::optional<RoomRecord> room;
  bool duplicate = false;
  {
    // The duplicate check and the creation are one step, so two administrators cannot both
    // create the same name.
    Locked rooms(server.RoomList);
    // Room names compare with a to z turned to upper case, nothing else.
    for (const auto& existing : *rooms) duplicate = duplicate || SameAsciiIgnoringCase(existing.Name, name);
    if (!duplicate) room = AppendRoom(*rooms, name);
  }
  if (duplicate) return SendCommandReply(session, kReplyRoomExists);
  // With 255 rooms present nothing is created and nothing is sent.
  if (room) BroadcastRoomCreated(server, *room);
}

void AdminDeleteRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  int room_id = ParseAdminDeleteRoom(packet);
  if (room_id == 0) throw ERangeError();  // RoomId 0 names no room
  PendingFlush announced;
  {
    Locked rooms(server.RoomList);
    auto it = std::find_if(rooms->begin(), rooms->end(), [&](const RoomRecord& r) { return r.RoomId() == room_id; });
    if (it == rooms->end()) {
      rooms.Unlock();
      return SendCommandReply(session, kReplyNoSuchRoom);
    }
    // Announced while RoomList is held, then removed, so no room created meanwhile with the same
    // id is announced before this deletion. The bytes go out after the lock is released.
    try {
      BroadcastRoomDeleted(server, *it, announced);
    } catch (...) {
      rooms.Unlock();
      FlushAll(announced);
      throw;
    }
    rooms->erase(it);
  }
  FlushAll(announced);
}

void AdminSaveAsDefaultChannels(TParleyvoxServer& server, const PacketView&, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  {
    Locked rooms(server.RoomList);
    std::vector<std::string> names;
    for (const auto& room : *rooms) names.push_back(room.Name);
    SaveRooms(server.ConfigPath(), names);
  }
  SendCommandReply(session, kReplyChannelsSaved);
}

}  // namespace pv
