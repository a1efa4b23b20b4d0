#include "protocol/packets.h"

#include <cassert>

namespace pv {

namespace {

// The login answers go out before the session has an id.
constexpr int64_t kNoSessionId = 0;

// Fixed-layout packets end with a known size; a builder that writes another size is a bug here,
// never the caller's fault, so it is only asserted.
std::vector<uint8_t> FinishFixed(PacketWriter& w, [[maybe_unused]] size_t size) {
  std::vector<uint8_t> bytes = w.Finish();
  assert(bytes.size() == size);
  return bytes;
}

}  // namespace

std::vector<uint8_t> BuildLoginAccepted(std::string_view server_name) {
  PacketWriter w;
  // The four bytes after the name are constants every client expects.
  w.Begin(kNoSessionId, kPktLoginAccepted).Text30(server_name).U8(0).U8(2).U8(1).U8(2);
  return FinishFixed(w, kLoginAcceptedSize);
}

std::vector<uint8_t> BuildServerFull() {
  PacketWriter w;
  w.Begin(kNoSessionId, kPktServerFull);
  return FinishFixed(w, kCommandReplySize);
}

std::vector<uint8_t> BuildBadServerPassword() {
  PacketWriter w;
  w.Begin(kNoSessionId, kPktBadServerPassword);
  return FinishFixed(w, kCommandReplySize);
}

std::vector<uint8_t> BuildServerInfo(int64_t session_id, int64_t player_id,
                                     const std::vector<RoomInfo>& rooms,
                                     const std::vector<PlayerInfo>& players, bool legacy) {
  PacketWriter w;
  w.Begin(session_id, legacy ? kPktServerInfoLegacy : kPktServerInfo);
  // The counts are single bytes: a 256th room or player fails the whole packet.
  w.U8(static_cast<int64_t>(rooms.size())).U8(static_cast<int64_t>(players.size()));
  w.U16(player_id);
  for (const RoomInfo& room : rooms) w.U8(room.RoomId).Text30(room.Name);
  for (const PlayerInfo& player : players) {
    w.U8(player.PlayerId).U8(player.RoomId);
    if (!legacy) w.U8(player.IsAdmin ? 1 : 0);
    w.Text30(player.ClientName);
  }
  return w.Finish();
}

std::vector<uint8_t> BuildPlayerChangedRoom(int64_t session_id, int64_t player_id,
                                            int64_t room_id) {
  PacketWriter w;
  w.Begin(session_id, kPktPlayerChangedRoom).U8(player_id).U8(room_id);
  return FinishFixed(w, kPlayerChangedRoomSize);
}

std::vector<uint8_t> BuildPlayerJoined(int64_t session_id, int64_t player_id, int64_t room_id,
                                       std::string_view client_name) {
  PacketWriter w;
  w.Begin(session_id, kPktPlayerJoined).U8(player_id).U8(room_id).Text30(client_name);
  return FinishFixed(w, kPlayerJoinedSize);
}

std::vector<uint8_t> BuildPlayerLeft(int64_t session_id, int64_t player_id, LeaveReason reason) {
  PacketWriter w;
  w.Begin(session_id, kPktPlayerLeft).U8(player_id).U8(static_cast<int64_t>(reason));
  return FinishFixed(w, kPlayerLeftSize);
}

std::vector<uint8_t> BuildRoomCreated(int64_t session_id, int64_t room_id, std::string_view name) {
  PacketWriter w;
  w.Begin(session_id, kPktRoomCreated).U8(room_id).Text30(name);
  return FinishFixed(w, kRoomCreatedSize);
}

std::vector<uint8_t> BuildRoomDeleted(int64_t session_id, int64_t room_id) {
  PacketWriter w;
  w.Begin(session_id, kPktRoomDeleted).U8(room_id);
  return FinishFixed(w, kRoomDeletedSize);
}

std::vector<uint8_t> BuildPlayerIsAdmin(int64_t session_id, int64_t player_id) {
  PacketWriter w;
  w.Begin(session_id, kPktPlayerIsAdmin).U8(player_id);
  return FinishFixed(w, kPlayerIsAdminSize);
}

std::vector<uint8_t> BuildCommandReply(int64_t session_id, int64_t result) {
  PacketWriter w;
  w.Begin(session_id, result);
  return FinishFixed(w, kCommandReplySize);
}

namespace {

// The eight traffic counters in wire order, each as its low 32 bits: the numbers clients have
// always seen from counters that wrap at 2^32.
void WriteTraffic(PacketWriter& w, const TrafficSnapshot& t) {
  for (uint64_t value : {t.UdpPacketsOut, t.UdpBytesOut, t.UdpPacketsIn, t.UdpBytesIn, t.TcpPacketsOut,
                         t.TcpBytesOut, t.TcpPacketsIn, t.TcpBytesIn})
    w.U32(static_cast<uint32_t>(value));
}

}  // namespace

float PacketLossPercent(uint32_t udp_errors, uint32_t udp_packets_in) {
  if (udp_packets_in == 0) return 0.0f;
  double loss = static_cast<double>(udp_errors) / static_cast<double>(udp_packets_in) * 100.0;
  return static_cast<float>(loss);
}

std::vector<uint8_t> BuildPlayerStats(int64_t session_id, const PlayerStatsData& target,
                                      bool legacy, bool show_address) {
  PacketWriter w;
  w.Begin(session_id, legacy ? kPktPlayerStatsLegacy : kPktPlayerStats);
  w.U32(target.ConnectionTime).F32(target.PacketLoss).U32(target.IdleTime).U16(target.PingTime);
  // Only an administrator learns where a player's datagrams come from.
  w.U16(show_address ? target.UdpPort : 0);
  w.Text(show_address ? target.UdpIP : std::string(), 15);
  if (!legacy) w.Text30(target.ClientVer);
  WriteTraffic(w, target.Traffic);
  w.U8(target.PlayerId);
  return FinishFixed(w, legacy ? kPlayerStatsSizeLegacy : kPlayerStatsSize);
}

std::vector<uint8_t> BuildServerStats(int64_t session_id, const ServerStatsData& stats) {
  PacketWriter w;
  w.Begin(session_id, kPktServerStats).U32(stats.Uptime);
  WriteTraffic(w, stats.Traffic);
  w.Text30(stats.ServerVersion);
  return FinishFixed(w, kServerStatsSize);
}

LoginRequest ParseClientLogin(const PacketView& packet) {
  LoginRequest r;
  r.Name = packet.Text30(kOffLoginName);
  r.Password = packet.Text30(kOffLoginPassword);
  r.Version = packet.Text30(kOffLoginVersion);
  return r;
}

bool ParseClientReadyRefused(const PacketView& packet) {
  return packet.U8(kOffReadyFlag) == kReadyRefusedFlag;
}

uint8_t ParseClientChangeRoom(const PacketView& packet) { return packet.U8(kOffBody); }
uint8_t ParseAdminDeleteRoom(const PacketView& packet) { return packet.U8(kOffBody); }
uint8_t ParsePlayerStatsReq(const PacketView& packet) { return packet.U8(kOffBody); }
uint8_t ParseAdminKickPlayer(const PacketView& packet) { return packet.U8(kOffBody); }

std::string ParseAdminLogin(const PacketView& packet) { return packet.Text30(kOffBody); }
std::string ParseAdminCreateRoom(const PacketView& packet) { return packet.Text30(kOffBody); }
std::string ParseAdminChangeServerPassword(const PacketView& packet) {
  return packet.Text30(kOffBody);
}
std::string ParseAdminChangeAdminPassword(const PacketView& packet) {
  return packet.Text30(kOffBody);
}

}  // namespace pv
