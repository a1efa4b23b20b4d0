// The codes of the control protocol: command codes (client to server), packet codes (server to
// client), the result codes carried by CommandReply, and the LeaveReason values of PlayerLeft.
// Every code travels as the signed 16-bit Code field at offset 6 of the control header.
// Thread rules: none (constants).
#pragma once

#include <cstdint>

namespace pv {

// Commands a client sends. Only kCmdClientLogin is accepted on a connection without a session.
constexpr int16_t kCmdClientLogin = 1;
constexpr int16_t kCmdClientReady = 2;
constexpr int16_t kCmdClientChangeRoom = 50;
constexpr int16_t kCmdClientLeave = 51;
constexpr int16_t kCmdPlayerStatsReq = 60;
constexpr int16_t kCmdServerStatsReq = 70;
constexpr int16_t kCmdAdminLogin = 100;
constexpr int16_t kCmdAdminCreateRoom = 110;
constexpr int16_t kCmdAdminDeleteRoom = 120;
constexpr int16_t kCmdAdminKickPlayer = 130;
constexpr int16_t kCmdAdminChangeServerPassword = 140;
constexpr int16_t kCmdAdminSaveAsDefaultChannels = 150;
constexpr int16_t kCmdAdminChangeAdminPassword = 160;

// Packets the server sends. Where the two client generations differ, the "Legacy" code goes to a
// client whose version text is exactly "1.2.0".
constexpr int16_t kPktLoginAccepted = 1;
constexpr int16_t kPktServerFull = -1;
constexpr int16_t kPktBadServerPassword = -2;
constexpr int16_t kPktServerInfoLegacy = 2;
constexpr int16_t kPktServerInfo = 3;
constexpr int16_t kPktPlayerChangedRoom = 10;
constexpr int16_t kPktPlayerJoined = 11;
constexpr int16_t kPktPlayerLeft = 12;
constexpr int16_t kPktRoomCreated = 13;
constexpr int16_t kPktRoomDeleted = 14;
constexpr int16_t kPktPlayerIsAdmin = 15;
constexpr int16_t kPktPlayerStatsLegacy = 60;
constexpr int16_t kPktPlayerStats = 61;
constexpr int16_t kPktServerStats = 70;

// Result codes of CommandReply, whose Code is the result; negative results are refusals.
constexpr int16_t kReplyReadyRefused = -5;            // ClientReady; the connection closes next
constexpr int16_t kReplyStatsNoSuchPlayer = -60;      // PlayerStatsReq
constexpr int16_t kReplyAdminLoginAccepted = 100;     // AdminLogin, "1.2.0" clients only
constexpr int16_t kReplyNotAdmin = -100;              // every admin command but AdminLogin
constexpr int16_t kReplyBadAdminPassword = -101;      // AdminLogin
constexpr int16_t kReplyRoomExists = -111;            // AdminCreateRoom
constexpr int16_t kReplyNoSuchRoom = -120;            // AdminDeleteRoom
constexpr int16_t kReplyKickNoSuchPlayer = -130;      // AdminKickPlayer
constexpr int16_t kReplyServerPasswordChanged = 140;  // AdminChangeServerPassword
constexpr int16_t kReplyChannelsSaved = 150;          // AdminSaveAsDefaultChannels
constexpr int16_t kReplyAdminPasswordChanged = 160;   // AdminChangeAdminPassword

// Why a player left, as PlayerLeft tells the others.
enum class LeaveReason : uint8_t {
  kLeft = 0,           // ClientLeave, or its connection was closed
  kNoPingAnswer = 2,   // ping supervision gave up on it
  kKicked = 4,         // AdminKickPlayer
};

}  // namespace pv
