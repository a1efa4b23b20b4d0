#include "pvclient/client_packets.h"

#include <cstring>
#include <utility>

#include "base/printf.h"

namespace pv::client {

namespace {

constexpr size_t kText30Field = 31;  // length byte + 30 characters
constexpr size_t kRoomRecord = 1 + kText30Field;

Bytes Command(int16_t code) { return PacketWriter().Begin(0, code).Finish(); }

Bytes TextCommand(int16_t code, std::string_view text) { return PacketWriter().Begin(0, code).Text30(text).Finish(); }

Bytes ByteCommand(int16_t code, int64_t value) { return PacketWriter().Begin(0, code).U8(value).Finish(); }

float LoadF32(const PacketView& v, size_t off) {
  uint32_t bits = v.U32(off);
  float f;
  static_assert(sizeof f == sizeof bits);
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// The eight traffic counters from `off` on, in wire order; returns the offset after them.
size_t ReadTraffic(const PacketView& v, size_t off, TrafficSnapshot& t) {
  for (uint64_t* c : {&t.UdpPacketsOut, &t.UdpBytesOut, &t.UdpPacketsIn, &t.UdpBytesIn, &t.TcpPacketsOut,
                      &t.TcpBytesOut, &t.TcpPacketsIn, &t.TcpBytesIn}) {
    *c = v.U32(off);
    off += 4;
  }
  return off;
}

}  // namespace

Bytes ClientLogin(std::string_view name, std::string_view password, std::string_view version) {
  return PacketWriter().Begin(0, kCmdClientLogin).Text30(name).Text30(password).Text30(version).Finish();
}

Bytes ClientReady(uint8_t flag) { return PacketWriter().Begin(0, kCmdClientReady).U8(0).U8(flag).Finish(); }

Bytes ChangeRoom(int64_t room_id) { return ByteCommand(kCmdClientChangeRoom, room_id); }
Bytes Leave() { return Command(kCmdClientLeave); }
Bytes PlayerStatsReq(int64_t player_id) { return ByteCommand(kCmdPlayerStatsReq, player_id); }
Bytes ServerStatsReq() { return Command(kCmdServerStatsReq); }
Bytes AdminLogin(std::string_view password) { return TextCommand(kCmdAdminLogin, password); }
Bytes AdminCreateRoom(std::string_view name) { return TextCommand(kCmdAdminCreateRoom, name); }
Bytes AdminDeleteRoom(int64_t room_id) { return ByteCommand(kCmdAdminDeleteRoom, room_id); }
Bytes AdminKickPlayer(int64_t player_id) { return ByteCommand(kCmdAdminKickPlayer, player_id); }
Bytes AdminChangeServerPassword(std::string_view password) {
  return TextCommand(kCmdAdminChangeServerPassword, password);
}
Bytes AdminSaveAsDefaultChannels() { return Command(kCmdAdminSaveAsDefaultChannels); }
Bytes AdminChangeAdminPassword(std::string_view password) {
  return TextCommand(kCmdAdminChangeAdminPassword, password);
}

Bytes RawCommand(int16_t code, const Bytes& body) {
  return PacketWriter().Begin(0, code).Bytes(body.data(), body.size()).Finish();
}

ServerPacket MakeServerPacket(Bytes raw) {
  ServerPacket p;
  PacketView v(raw.data(), raw.size());
  p.Magic = v.U16(0);
  p.SessionId = v.U16(2);
  p.Length = v.U16(4);
  p.Code = v.S16(6);
  p.Raw = std::move(raw);
  return p;
}

std::string Describe(const ServerPacket& p) {
  return Printf("code %d, session %u, %zu bytes", p.Code, static_cast<unsigned>(p.SessionId), p.Raw.size());
}

bool HasItsLayoutsSize(const ServerPacket& p) {
  size_t size = 0;
  switch (p.Code) {
    case kPktLoginAccepted: size = kLoginAcceptedSize; break;
    case kPktServerInfo:
    case kPktServerInfoLegacy: {
      PacketView v = p.View();
      size = kServerInfoHeadSize + v.U8(8) * kRoomRecordSize +
             v.U8(9) * (p.Code == kPktServerInfo ? kPlayerRecordSize : kPlayerRecordSizeLegacy);
      break;
    }
    case kPktPlayerStats: size = kPlayerStatsSize; break;
    case kPktPlayerStatsLegacy: size = kPlayerStatsSizeLegacy; break;
    case kPktServerStats: size = kServerStatsSize; break;
    case kPktPlayerJoined: size = kPlayerJoinedSize; break;
    case kPktPlayerLeft: size = kPlayerLeftSize; break;
    case kPktRoomCreated: size = kRoomCreatedSize; break;
    case kPktRoomDeleted: size = kRoomDeletedSize; break;
    case kPktPlayerIsAdmin: size = kPlayerIsAdminSize; break;
    default: return true;
  }
  return p.Raw.size() == size && p.Length == size;
}

LoginAcceptedMsg ParseLoginAccepted(const ServerPacket& p) {
  PacketView v = p.View();
  LoginAcceptedMsg m;
  m.ServerName = v.Text30(8);
  for (size_t off = 39; off < 43; ++off) m.Tail.push_back(v.U8(off));
  return m;
}

ServerInfoMsg ParseServerInfo(const ServerPacket& p) {
  PacketView v = p.View();
  ServerInfoMsg m;
  m.Legacy = p.Code == kPktServerInfoLegacy;
  size_t rooms = v.U8(8);
  size_t players = v.U8(9);
  m.PlayerId = v.U16(10);
  size_t off = 12;
  for (size_t i = 0; i < rooms; ++i, off += kRoomRecord) {
    m.Rooms.push_back(RoomInfo{v.U8(off), v.Text30(off + 1)});
  }
  for (size_t i = 0; i < players; ++i) {
    PlayerInfo pl;
    pl.PlayerId = v.U8(off);
    pl.RoomId = v.U8(off + 1);
    size_t name_off = off + 2;
    if (!m.Legacy) pl.IsAdmin = v.U8(name_off++) != 0;
    pl.ClientName = v.Text30(name_off);
    m.Players.push_back(pl);
    off = name_off + kText30Field;
  }
  return m;
}

PlayerRoomMsg ParsePlayerChangedRoom(const ServerPacket& p) {
  return PlayerRoomMsg{p.View().U8(8), p.View().U8(9), ""};
}

PlayerRoomMsg ParsePlayerJoined(const ServerPacket& p) {
  return PlayerRoomMsg{p.View().U8(8), p.View().U8(9), p.View().Text30(10)};
}

PlayerLeftMsg ParsePlayerLeft(const ServerPacket& p) {
  return PlayerLeftMsg{p.View().U8(8), p.View().U8(9)};
}

RoomInfo ParseRoomCreated(const ServerPacket& p) {
  return RoomInfo{p.View().U8(8), p.View().Text30(9)};
}

int ParseRoomDeleted(const ServerPacket& p) { return p.View().U8(8); }
int ParsePlayerIsAdmin(const ServerPacket& p) { return p.View().U8(8); }

PlayerStatsMsg ParsePlayerStats(const ServerPacket& p) {
  PacketView v = p.View();
  PlayerStatsMsg m;
  m.Legacy = p.Code == kPktPlayerStatsLegacy;
  PlayerStatsData& s = m.Stats;
  s.ConnectionTime = v.U32(8);
  s.PacketLoss = LoadF32(v, 12);
  s.IdleTime = v.U32(16);
  s.PingTime = v.U16(20);
  s.UdpPort = v.U16(22);
  s.UdpIP = v.Text(24, 15);
  size_t off = 40;
  if (!m.Legacy) {
    s.ClientVer = v.Text30(40);
    off = 71;
  }
  off = ReadTraffic(v, off, s.Traffic);
  s.PlayerId = v.U8(off);
  return m;
}

ServerStatsData ParseServerStats(const ServerPacket& p) {
  PacketView v = p.View();
  ServerStatsData s;
  s.Uptime = v.U32(8);
  ReadTraffic(v, 12, s.Traffic);
  s.ServerVersion = v.Text30(44);
  return s;
}

}  // namespace pv::client
