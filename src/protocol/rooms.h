// The room list: creation (smallest free index, name cut to 30 characters, appended), deletion,
// and the room commands of players and administrators.
// Lock order: RoomList before ClientList before a session's out-queue.
#pragma once

#include <cstdint>
#include <string>

#include "base/wire.h"
#include "core/server.h"
#include "sessions/server_client.h"

namespace pv {

// Rooms are numbered 0..254 so that every RoomId (index + 1) fits its byte on the wire.
constexpr int kMaxRooms = 255;

// One room of RoomList: its index (0..254) and its name (at most 30 characters).
struct RoomRecord {
  uint8_t Index = 0;
  std::string Name;
  int RoomId() const { return Index + 1; }
};

// Creates a room and announces it to every session. Raises ERangeError when all 255 indexes
// are taken (nothing is created then).
RoomRecord CreateRoom(TParleyvoxServer& server, const std::string& name);

void ClientChangeRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void AdminCreateRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void AdminDeleteRoom(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);
void AdminSaveAsDefaultChannels(TParleyvoxServer& server, const PacketView& packet, TServerClient& session);

}  // namespace pv
