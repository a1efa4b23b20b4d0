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
  FlushWhenDone told;
  Locked rooms(server.RoomList);
  std::optional<RoomRecord> room = AppendRoom(*rooms, name);
  if (!room) throw ERangeError();
  // Queued under RoomList, so no deletion of the room can be announced before its creation.
  BroadcastRoomCreated(server, *room, &told.sessions);
  return *room;
}

void ClientChangeRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  int room_id = ParseClientChangeRoom(packet);
  session.NoteRoomChange(SteadyNow());
  FlushWhenDone told;
  Locked clients(server.ClientList);
  // Kicked since the pass looked: the others have had its PlayerLeft, and nothing may follow it.
  if (session.Leaving) return;
  // Any room id is taken as it is, also one no room has.
  session.SetRoomIndexFromId(room_id);
  BroadcastPlayerChangedRoom(server, session, room_id, &told.sessions);
}

void AdminCreateRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  // A name ends up in the configuration file when the rooms are saved: cut at a line break or
  // NUL before it is used (config_file.h).
  std::string name = IniSafeText(ParseAdminCreateRoom(packet));
  bool duplicate = false;
  {
    FlushWhenDone told;
    // The duplicate check, the creation and its announcement are one step, so two administrators
    // cannot both create the same name, and no deletion of the room overtakes its creation.
    Locked rooms(server.RoomList);
    // Room names compare with a to z turned to upper case, nothing else.
    for (const auto& existing : *rooms) duplicate = duplicate || SameAsciiIgnoringCase(existing.Name, name);
    // With 255 rooms present nothing is created and nothing is sent.
    if (!duplicate) {
      if (std::optional<RoomRecord> room = AppendRoom(*rooms, name)) BroadcastRoomCreated(server, *room, &told.sessions);
    }
  }
  if (duplicate) SendCommandReply(session, kReplyRoomExists);
}

void AdminDeleteRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  if (!session.IsAdmin) return SendCommandReply(session, kReplyNotAdmin);
  int room_id = ParseAdminDeleteRoom(packet);
  if (room_id == 0) throw ERangeError();  // RoomId 0 names no room
  bool found = false;
  {
    FlushWhenDone told;
    Locked rooms(server.RoomList);
    auto it = std::find_if(rooms->begin(), rooms->end(), [&](const RoomRecord& r) { return r.RoomId() == room_id; });
    found = it != rooms->end();
    if (found) {
      // Announced while RoomList is held, then removed, so no room created meanwhile with the
      // same id is announced before this deletion. The bytes go out after the lock is released.
      BroadcastRoomDeleted(server, *it, &told.sessions);
      rooms->erase(it);
    }
  }
  if (!found) SendCommandReply(session, kReplyNoSuchRoom);
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
