// The client's side of the control protocol, shared by pvctl, pvbench and the tests: a builder
// for every command a client sends, and a reading of every packet the server sends. These are
// written from the wire layouts, independently of the server's builders, so that an end-to-end
// test checks the server against the layouts and not against itself. Thread rules: none (plain
// values).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/wire.h"
#include "protocol/codes.h"
#include "protocol/packets.h"

namespace pv::client {

using Bytes = std::vector<uint8_t>;

// --- Commands, as real clients send them (session id 0 in the header: the server ignores it). ---

Bytes ClientLogin(std::string_view name, std::string_view password, std::string_view version);
// `flag` goes to offset 9: the value 1 asks to be refused.
Bytes ClientReady(uint8_t flag = 0);
Bytes ChangeRoom(int64_t room_id);
Bytes Leave();
Bytes PlayerStatsReq(int64_t player_id);
Bytes ServerStatsReq();
Bytes AdminLogin(std::string_view password);
Bytes AdminCreateRoom(std::string_view name);
Bytes AdminDeleteRoom(int64_t room_id);
Bytes AdminKickPlayer(int64_t player_id);
Bytes AdminChangeServerPassword(std::string_view password);
Bytes AdminSaveAsDefaultChannels();
Bytes AdminChangeAdminPassword(std::string_view password);
// Any code with any body, for unknown codes and malformed commands.
Bytes RawCommand(int16_t code, const Bytes& body = {});

// --- Packets from the server. ---

// One packet as the stream splitter cut it: the header fields and the whole bytes.
struct ServerPacket {
  uint16_t Magic = 0;
  uint16_t SessionId = 0;
  uint16_t Length = 0;
  int16_t Code = 0;
  Bytes Raw;
  PacketView View() const { return PacketView(Raw.data(), Raw.size()); }
};
ServerPacket MakeServerPacket(Bytes raw);
// "code 12, session 7, 10 bytes" for failure messages.
std::string Describe(const ServerPacket& p);
// True when the packet is as long as its code's layout (for ServerInfo, with its counts) calls
// for, its header's Length included; a code without a fixed layout is taken as it is.
bool HasItsLayoutsSize(const ServerPacket& p);

struct LoginAcceptedMsg {
  std::string ServerName;
  Bytes Tail;  // the four constant bytes after the name
};
LoginAcceptedMsg ParseLoginAccepted(const ServerPacket& p);

struct ServerInfoMsg {
  bool Legacy = false;  // code 2: 33-byte player records without the administrator flag
  int PlayerId = 0;     // the recipient's own
  std::vector<RoomInfo> Rooms;
  std::vector<PlayerInfo> Players;
};
ServerInfoMsg ParseServerInfo(const ServerPacket& p);

struct PlayerRoomMsg {  // PlayerChangedRoom, and PlayerJoined with its name
  int PlayerId = 0;
  int RoomId = 0;
  std::string ClientName;
};
PlayerRoomMsg ParsePlayerChangedRoom(const ServerPacket& p);
PlayerRoomMsg ParsePlayerJoined(const ServerPacket& p);

struct PlayerLeftMsg {
  int PlayerId = 0;
  int LeaveReason = 0;
};
PlayerLeftMsg ParsePlayerLeft(const ServerPacket& p);

RoomInfo ParseRoomCreated(const ServerPacket& p);
int ParseRoomDeleted(const ServerPacket& p);    // RoomId
int ParsePlayerIsAdmin(const ServerPacket& p);  // PlayerId

struct PlayerStatsMsg {
  bool Legacy = false;  // code 60, 73 bytes, no version text
  PlayerStatsData Stats;
};
PlayerStatsMsg ParsePlayerStats(const ServerPacket& p);
ServerStatsData ParseServerStats(const ServerPacket& p);

}  // namespace pv::client
