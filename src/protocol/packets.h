// Every control packet layout as pure functions: one builder per server packet, taking plain
// values and returning the finished bytes, and one parser per client command, reading its fields
// at fixed offsets. No sessions, lists or sockets here: the handlers gather the values (under the
// locks they need) and hand them in.
//
// Builders check every number against its field: a value that does not fit (a PlayerId of 256, a
// session id above 0xFFFF, more than 255 rooms) raises ERangeError and nothing is returned.
// Texts are cut to their field's width. Where the client generations differ, `legacy` selects the
// layout of a legacy client (TServerClient::IsLegacy).
//
// Parsers never read past the received bytes: missing bytes read as 0, and a Text30 length byte
// above 30 is taken as 30. Thread rules: none (plain values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/wire.h"
#include "core/traffic_counters.h"
#include "protocol/codes.h"

namespace pv {

// Sizes of the fixed layouts.
constexpr size_t kText30Size = 31;  // length byte + 30 characters
constexpr size_t kText15Size = 16;  // length byte + 15 characters
constexpr size_t kClientLoginSize = 101;
constexpr size_t kLoginAcceptedSize = 43;
constexpr size_t kServerInfoHeadSize = 12;
constexpr size_t kRoomRecordSize = 32;
constexpr size_t kPlayerRecordSizeLegacy = 33;
constexpr size_t kPlayerRecordSize = 34;
constexpr size_t kPlayerChangedRoomSize = 10;
constexpr size_t kPlayerJoinedSize = 41;
constexpr size_t kPlayerLeftSize = 10;
constexpr size_t kRoomCreatedSize = 40;
constexpr size_t kRoomDeletedSize = 9;
constexpr size_t kPlayerIsAdminSize = 9;
constexpr size_t kCommandReplySize = 8;
constexpr size_t kPlayerStatsSizeLegacy = 73;
constexpr size_t kPlayerStatsSize = 104;
constexpr size_t kServerStatsSize = 75;

// Request body offsets. Every command with a body starts it at offset 8.
constexpr size_t kOffBody = 8;
constexpr size_t kOffLoginName = 8;
constexpr size_t kOffLoginPassword = 39;
constexpr size_t kOffLoginVersion = 70;
constexpr size_t kOffReadyFlag = 9;  // ClientReady: the value 1 is refused
constexpr uint8_t kReadyRefusedFlag = 1;

// One room as ServerInfo lists it. RoomId is the room's index + 1.
struct RoomInfo {
  int64_t RoomId = 0;
  std::string Name;
};

// One player as ServerInfo lists it. RoomId is the player's RoomIndex + 1.
struct PlayerInfo {
  int64_t PlayerId = 0;
  int64_t RoomId = 0;
  bool IsAdmin = false;  // carried only in the newer layout
  std::string ClientName;
};

// What PlayerStats reports about its target. Times are already through MillisecondsOfDay.
struct PlayerStatsData {
  uint32_t ConnectionTime = 0;
  float PacketLoss = 0.0f;  // percent, see PacketLossPercent
  uint32_t IdleTime = 0;
  int64_t PingTime = 0;  // milliseconds, must fit a u16
  int64_t UdpPort = 0;
  std::string UdpIP;
  std::string ClientVer;  // carried only in the newer layout
  TrafficSnapshot Traffic;  // the low 32 bits of each go out
  int64_t PlayerId = 0;  // the PlayerId of the request, repeated at the end
};

// What ServerStats reports: the uptime and the server's eight traffic counters, in wire order.
struct ServerStatsData {
  uint32_t Uptime = 0;
  TrafficSnapshot Traffic;  // the low 32 bits of each go out
  std::string ServerVersion;
};

// Login answers. They carry session id 0: the session id is chosen after they are built.
std::vector<uint8_t> BuildLoginAccepted(std::string_view server_name);
std::vector<uint8_t> BuildServerFull();
std::vector<uint8_t> BuildBadServerPassword();

// The answer to ClientReady: code 2 with 33-byte player records for a legacy recipient, code 3
// with 34-byte records (an administrator flag added) for every other one. `player_id` is the
// recipient's own PlayerId; rooms and players are listed in the order given.
std::vector<uint8_t> BuildServerInfo(int64_t session_id, int64_t player_id,
                                     const std::vector<RoomInfo>& rooms,
                                     const std::vector<PlayerInfo>& players, bool legacy);

// Notifications, each built for one recipient whose SessionId goes into the header.
std::vector<uint8_t> BuildPlayerChangedRoom(int64_t session_id, int64_t player_id,
                                            int64_t room_id);
std::vector<uint8_t> BuildPlayerJoined(int64_t session_id, int64_t player_id, int64_t room_id,
                                       std::string_view client_name);
std::vector<uint8_t> BuildPlayerLeft(int64_t session_id, int64_t player_id, LeaveReason reason);
std::vector<uint8_t> BuildRoomCreated(int64_t session_id, int64_t room_id, std::string_view name);
std::vector<uint8_t> BuildRoomDeleted(int64_t session_id, int64_t room_id);
std::vector<uint8_t> BuildPlayerIsAdmin(int64_t session_id, int64_t player_id);
// The bare result of a command: the header alone, Code = result (-32768..32767).
std::vector<uint8_t> BuildCommandReply(int64_t session_id, int64_t result);

// UdpErrors / UdpPacketsIn * 100 computed in double and kept as single precision; 0 when no
// datagram came in.
float PacketLossPercent(uint32_t udp_errors, uint32_t udp_packets_in);

// The answer to PlayerStatsReq: code 60, 73 bytes for a legacy requester; code 61, 104 bytes
// with the target's version text for every other one. The target's UDP port and address are
// shown only when `show_address` (the requester is an administrator): otherwise port 0 and the
// empty text.
std::vector<uint8_t> BuildPlayerStats(int64_t session_id, const PlayerStatsData& target,
                                      bool legacy, bool show_address);

// The answer to ServerStatsReq: 75 bytes, code 70, the version cut to 30 characters.
std::vector<uint8_t> BuildServerStats(int64_t session_id, const ServerStatsData& stats);

// --- Command parsers: the fields the server reads from each command. ---

struct LoginRequest {
  std::string Name;
  std::string Password;
  std::string Version;
};
LoginRequest ParseClientLogin(const PacketView& packet);

// ClientReady: true when the request is refused (byte 9 is 1).
bool ParseClientReadyRefused(const PacketView& packet);

// Commands whose body is one u8 RoomId or PlayerId at offset 8.
uint8_t ParseClientChangeRoom(const PacketView& packet);  // RoomId
uint8_t ParseAdminDeleteRoom(const PacketView& packet);   // RoomId
uint8_t ParsePlayerStatsReq(const PacketView& packet);    // PlayerId
uint8_t ParseAdminKickPlayer(const PacketView& packet);   // PlayerId

// Commands whose body is one Text30 at offset 8.
std::string ParseAdminLogin(const PacketView& packet);                  // admin password
std::string ParseAdminCreateRoom(const PacketView& packet);             // room name
std::string ParseAdminChangeServerPassword(const PacketView& packet);   // new server password
std::string ParseAdminChangeAdminPassword(const PacketView& packet);    // new admin password

}  // namespace pv
