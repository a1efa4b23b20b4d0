// The builders of the server's packets against literal bytes, and the writer and view beneath them.
#include "protocol/packets.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/wire.h"

namespace pv {
namespace {

using Bytes = std::vector<uint8_t>;

// Literal bytes of a Text30 (or Text15) field: length byte, characters, zero padding.
Bytes Txt(const std::string& s, size_t width = 30) {
  Bytes b(width + 1, 0);
  b[0] = static_cast<uint8_t>(s.size());
  for (size_t i = 0; i < s.size(); ++i) b[1 + i] = static_cast<uint8_t>(s[i]);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The writer's limits that no builder reaches; the builders' own fields follow below.
TEST(Wire, NumbersThatDoNotFitRaiseRangeErrorAndTheViewNeverReadsPastTheBytesReceived) {
  PacketWriter w;
  w.Begin(1, 2);
  EXPECT_THROW(w.U8(-1), ERangeError);
  EXPECT_THROW(w.U16(65536), ERangeError);
  EXPECT_THROW(w.U32(-1), ERangeError);
  EXPECT_NO_THROW(w.S16(-32768));
  EXPECT_NO_THROW(w.U32(4294967295));
  uint8_t data[] = {0xBA, 0xB0, 1, 0, 9, 0, 0x02, 0x00, 40, 'h', 'i'};
  PacketView v(data, sizeof data);
  EXPECT_EQ(v.Code(), 2);
  EXPECT_EQ(v.U32(9), static_cast<uint32_t>('h' | ('i' << 8)));
  EXPECT_EQ(v.U8(100), 0);
}

TEST(LoginAnswers, LoginAcceptedCarriesNameAndConstantsRefusalsAreTheHeaderAlone) {
  Bytes want = Cat({{0xBA, 0xB0, 0x00, 0x00, 43, 0x00, 0x01, 0x00}, Txt("Lobby srv"), {0, 2, 1, 2}});
  EXPECT_EQ(BuildLoginAccepted("Lobby srv"), want);
  EXPECT_EQ(BuildServerFull(), (Bytes{0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(BuildBadServerPassword(), (Bytes{0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFE, 0xFF}));
}

TEST(ServerInfo, RecordsOf34BytesWithTheAdminFlagOrOf33ForLegacyClients) {
  std::vector<RoomInfo> rooms = {{1, "Lobby"}, {3, "Music"}};
  std::vector<PlayerInfo> players = {{2, 1, true, "Ann"}, {1, 4, false, "Bob"}};
  // 12 + 2 x 32 + 2 x 33 = 142, without the administrator flag.
  EXPECT_EQ(BuildServerInfo(0x0203, 2, rooms, players, true),
            Cat({{0xBA, 0xB0, 0x03, 0x02, 142, 0x00, 0x02, 0x00, 2, 2, 0x02, 0x00}, {1}, Txt("Lobby"), {3},
                 Txt("Music"), {2, 1}, Txt("Ann"), {1, 4}, Txt("Bob")}));
  // 12 + 2 x 32 + 2 x 34 = 144; the recipient's PlayerId is a u16 here.
  EXPECT_EQ(BuildServerInfo(0x0203, 300, rooms, players, false),
            Cat({{0xBA, 0xB0, 0x03, 0x02, 144, 0x00, 0x03, 0x00, 2, 2, 0x2C, 0x01}, {1}, Txt("Lobby"), {3},
                 Txt("Music"), {2, 1, 1}, Txt("Ann"), {1, 4, 0}, Txt("Bob")}));
}

TEST(ServerInfo, NumbersThatDoNotFitFailThePacket) {
  std::vector<RoomInfo> many_rooms(256, RoomInfo{1, "r"});
  EXPECT_THROW(BuildServerInfo(1, 1, many_rooms, {}, false), ERangeError);
  many_rooms.pop_back();
  EXPECT_EQ(BuildServerInfo(1, 1, many_rooms, {}, false).size(), 12u + 255u * 32u);
  std::vector<PlayerInfo> many_players(256, PlayerInfo{1, 1, false, "p"});
  EXPECT_THROW(BuildServerInfo(1, 1, {}, many_players, true), ERangeError);
  EXPECT_THROW(BuildServerInfo(1, 1, {}, {{1, 256, false, "p"}}, true), ERangeError);
  EXPECT_THROW(BuildServerInfo(1, 65536, {}, {}, false), ERangeError);
}

TEST(Notifications, FixedLayouts) {
  const std::pair<Bytes, Bytes> cases[] = {
      {BuildPlayerChangedRoom(7, 3, 9), {0xBA, 0xB0, 0x07, 0x00, 10, 0x00, 10, 0x00, 3, 9}},
      {BuildPlayerJoined(7, 2, 1, "Bob"), Cat({{0xBA, 0xB0, 0x07, 0x00, 41, 0x00, 11, 0x00, 2, 1}, Txt("Bob")})},
      {BuildPlayerLeft(7, 2, LeaveReason::kLeft), {0xBA, 0xB0, 0x07, 0x00, 10, 0x00, 12, 0x00, 2, 0}},
      {BuildPlayerLeft(7, 2, LeaveReason::kNoPingAnswer), {0xBA, 0xB0, 0x07, 0x00, 10, 0x00, 12, 0x00, 2, 2}},
      {BuildPlayerLeft(7, 2, LeaveReason::kKicked), {0xBA, 0xB0, 0x07, 0x00, 10, 0x00, 12, 0x00, 2, 4}},
      {BuildRoomCreated(500, 4, "Games"), Cat({{0xBA, 0xB0, 0xF4, 0x01, 40, 0x00, 13, 0x00, 4}, Txt("Games")})},
      {BuildRoomDeleted(500, 4), {0xBA, 0xB0, 0xF4, 0x01, 9, 0x00, 14, 0x00, 4}},
      {BuildPlayerIsAdmin(50000, 2), {0xBA, 0xB0, 0x50, 0xC3, 9, 0x00, 15, 0x00, 2}},
      // A command reply is the header with the result as its code.
      {BuildCommandReply(7, kReplyKickNoSuchPlayer), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0x7E, 0xFF}},
      {BuildCommandReply(7, kReplyChannelsSaved), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0x96, 0x00}},
      {BuildCommandReply(1, kReplyReadyRefused), {0xBA, 0xB0, 0x01, 0x00, 8, 0x00, 0xFB, 0xFF}},
  };
  for (const auto& [built, wire] : cases) EXPECT_EQ(built, wire);
}

// The writer's range check seen through the fields clients choose.
TEST(Notifications, NumbersThatDoNotFitRaiseRangeError) {
  EXPECT_THROW(BuildPlayerChangedRoom(1, 1, 256), ERangeError);
  EXPECT_THROW(BuildPlayerChangedRoom(1, 1, -1), ERangeError);
  EXPECT_THROW(BuildCommandReply(1, 32768), ERangeError);
  EXPECT_THROW(BuildCommandReply(1, -32769), ERangeError);
  // A player who asked for RoomId 0 is announced with it.
  EXPECT_EQ(BuildPlayerChangedRoom(1, 1, 0).back(), 0);
}

// The eight traffic counters as 0x01020301 .. 0x01020308 in wire order: kStatsCounters. The
// counters are past 2^32 (they are 64 bits wide): only their low 32 bits go out.
template <typename Stats>
Stats WithCounters(Stats s) {
  uint64_t n = 0x5'01020301;
  TrafficSnapshot& t = s.Traffic;
  for (uint64_t* c : {&t.UdpPacketsOut, &t.UdpBytesOut, &t.UdpPacketsIn, &t.UdpBytesIn, &t.TcpPacketsOut,
                      &t.TcpBytesOut, &t.TcpPacketsIn, &t.TcpBytesIn})
    *c = n++;
  return s;
}

PlayerStatsData SampleTarget() {
  PlayerStatsData t;
  t.ConnectionTime = 3600000;  // 80 EE 36 00
  t.PacketLoss = 25.0f;        // 00 00 C8 41
  t.IdleTime = 1500;           // DC 05 00 00
  t.PingTime = 300;            // 2C 01
  t.UdpPort = 50000;           // 50 C3
  t.UdpIP = "10.0.0.7";
  t.ClientVer = "1.3.1";
  t.PlayerId = 5;
  return WithCounters(t);
}

const Bytes kStatsTimes = {0x80, 0xEE, 0x36, 0x00, 0x00, 0x00, 0xC8, 0x41,
                           0xDC, 0x05, 0x00, 0x00, 0x2C, 0x01};
const Bytes kStatsCounters = {1, 3, 2, 1, 2, 3, 2, 1, 3, 3, 2, 1, 4, 3, 2, 1,
                              5, 3, 2, 1, 6, 3, 2, 1, 7, 3, 2, 1, 8, 3, 2, 1};

TEST(PlayerStats, LegacyLayoutOf73BytesCurrentOf104WithTheVersionAddressForAdministratorsOnly) {
  EXPECT_EQ(BuildPlayerStats(0x0102, SampleTarget(), true, true),
            Cat({{0xBA, 0xB0, 0x02, 0x01, 73, 0x00, 60, 0x00}, kStatsTimes, {0x50, 0xC3}, Txt("10.0.0.7", 15),
                 kStatsCounters, {5}}));
  EXPECT_EQ(BuildPlayerStats(0x0102, SampleTarget(), false, true),
            Cat({{0xBA, 0xB0, 0x02, 0x01, 104, 0x00, 61, 0x00}, kStatsTimes, {0x50, 0xC3}, Txt("10.0.0.7", 15),
                 Txt("1.3.1"), kStatsCounters, {5}}));
  EXPECT_EQ(BuildPlayerStats(0x0102, SampleTarget(), false, false),
            Cat({{0xBA, 0xB0, 0x02, 0x01, 104, 0x00, 61, 0x00}, kStatsTimes, {0x00, 0x00}, Txt("", 15),
                 Txt("1.3.1"), kStatsCounters, {5}}));
  // A long address is cut to 15 characters.
  PlayerStatsData t = SampleTarget();
  t.UdpIP = "255.255.255.255x";
  Bytes cut = BuildPlayerStats(1, t, true, true);
  EXPECT_EQ(Bytes(cut.begin() + 24, cut.begin() + 40), Txt("255.255.255.255", 15));
}

TEST(PlayerStats, NumbersThatDoNotFitRaiseRangeError) {
  PlayerStatsData t = SampleTarget();
  t.PingTime = 65536;
  EXPECT_THROW(BuildPlayerStats(1, t, false, false), ERangeError);
  t = SampleTarget();
  t.PlayerId = 256;
  EXPECT_THROW(BuildPlayerStats(1, t, true, false), ERangeError);
  t = SampleTarget();
  t.UdpPort = 65536;
  EXPECT_THROW(BuildPlayerStats(1, t, true, true), ERangeError);
  // The port is not looked at when it is not shown.
  EXPECT_NO_THROW(BuildPlayerStats(1, t, true, false));
}

TEST(PlayerStats, LossIsComputedInDoubleAndKeptAsSingle) {
  EXPECT_EQ(PacketLossPercent(0, 0), 0.0f);
  EXPECT_EQ(PacketLossPercent(5, 0), 0.0f);
  EXPECT_EQ(PacketLossPercent(1, 4), 25.0f);
  PlayerStatsData t = SampleTarget();
  t.PacketLoss = PacketLossPercent(1, 3);
  Bytes got = BuildPlayerStats(1, t, true, false);
  EXPECT_EQ(Bytes(got.begin() + 12, got.begin() + 16), (Bytes{0x55, 0x55, 0x05, 0x42}));
}

TEST(ServerStats, Is75BytesWithEightCountersInOrderAndTheVersion) {
  ServerStatsData s = WithCounters(ServerStatsData{});
  s.Uptime = 0x04030201;
  s.ServerVersion = "v1.2.2 Win32";
  Bytes want = Cat({{0xBA, 0xB0, 0x09, 0x00, 75, 0x00, 70, 0x00, 0x01, 0x02, 0x03, 0x04},
                    kStatsCounters, Txt("v1.2.2 Win32")});
  EXPECT_EQ(BuildServerStats(9, s), want);
  s.ServerVersion = "v1.2.2 Win32 Service and a long tail";
  Bytes cut = BuildServerStats(9, s);
  ASSERT_EQ(cut.size(), 75u);
  EXPECT_EQ(Bytes(cut.begin() + 44, cut.end()), Txt("v1.2.2 Win32 Service and a lon"));
}

}  // namespace
}  // namespace pv
