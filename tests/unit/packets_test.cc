// The server's packets and datagrams against literal bytes: the writer and view beneath them, the
// builders, the reading of client commands, and the CRC-32 of relay datagrams.
#include "protocol/packets.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "base/crc32.h"
#include "base/errors.h"
#include "base/wire.h"
#include "sessions/datagrams.h"
#include "support/client_packets.h"

namespace pv {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ClientLogin;

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

// The writer's limits that no builder reaches; the builders' own fields (U8, U16) follow below.
// That the view reads bytes not received as 0 is the Commands tests'.
TEST(Wire, NumbersThatDoNotFitRaiseRangeError) {
  PacketWriter w;
  w.Begin(1, 2);
  EXPECT_THROW(w.U32(-1), ERangeError);
  EXPECT_NO_THROW(w.S16(-32768));
  EXPECT_NO_THROW(w.U32(4294967295));
}

// What a client takes as whole: every layout the server builds, and nothing shorter or longer,
// whatever its header claims (pvctl refuses the rest instead of reading zeros past the end).
TEST(ServerPackets, AClientTakesAPacketAsWholeOnlyAtItsLayoutsSize) {
  const std::vector<RoomInfo> rooms = {{1, "Lobby"}, {3, "Music"}};
  const std::vector<PlayerInfo> players = {{2, 1, true, "Ann"}};
  for (const Bytes& whole : {BuildLoginAccepted("srv"), BuildServerInfo(1, 2, rooms, players, false),
                             BuildServerInfo(1, 2, rooms, players, true), BuildServerInfo(1, 2, {}, {}, false),
                             BuildPlayerLeft(1, 2, LeaveReason::kKicked), BuildRoomCreated(1, 3, "Music"),
                             BuildServerFull(), BuildCommandReply(1, -130)}) {
    SCOPED_TRACE(client::Describe(client::MakeServerPacket(whole)));
    EXPECT_TRUE(client::HasItsLayoutsSize(client::MakeServerPacket(whole)));
    Bytes cut(whole.begin(), whole.end() - (whole.size() > 8 ? 1 : 0));
    StoreU16(cut.data() + kOffLength, static_cast<uint16_t>(cut.size()));
    if (cut.size() < whole.size()) {
      EXPECT_FALSE(client::HasItsLayoutsSize(client::MakeServerPacket(cut)));
    }
  }
  // A ServerInfo whose counts promise records it does not hold, and a header that lies.
  Bytes claims = {0xBA, 0xB0, 0, 0, 12, 0, 3, 0, 255, 255, 7, 0};
  EXPECT_FALSE(client::HasItsLayoutsSize(client::MakeServerPacket(claims)));
  Bytes no_length = BuildLoginAccepted("srv");
  StoreU16(no_length.data() + kOffLength, 0);
  EXPECT_FALSE(client::HasItsLayoutsSize(client::MakeServerPacket(no_length)));
}

TEST(ServerInfo, RecordsOf34BytesWithTheAdminFlagOrOf33ForLegacyClientsAndNoNumberCutToFit) {
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
  // Numbers that do not fit fail the packet.
  std::vector<RoomInfo> many_rooms(256, RoomInfo{1, "r"});
  EXPECT_THROW(BuildServerInfo(1, 1, many_rooms, {}, false), ERangeError);
  many_rooms.pop_back();
  EXPECT_EQ(BuildServerInfo(1, 1, many_rooms, {}, false).size(), 12u + 255u * 32u);
  std::vector<PlayerInfo> many_players(256, PlayerInfo{1, 1, false, "p"});
  EXPECT_THROW(BuildServerInfo(1, 1, {}, many_players, true), ERangeError);
  EXPECT_THROW(BuildServerInfo(1, 1, {}, {{1, 256, false, "p"}}, true), ERangeError);
  EXPECT_THROW(BuildServerInfo(1, 65536, {}, {}, false), ERangeError);
}

// The fixed layouts: the login's answers, notifications, command replies and pings.
TEST(FixedLayouts, LiteralBytesAndNumbersThatDoNotFitRaiseRangeError) {
  const std::pair<Bytes, Bytes> cases[] = {
      // An accepted login carries the name and constants; refusals are the header alone.
      {BuildLoginAccepted("Lobby srv"),
       Cat({{0xBA, 0xB0, 0x00, 0x00, 43, 0x00, 0x01, 0x00}, Txt("Lobby srv"), {0, 2, 1, 2}})},
      {BuildServerFull(), {0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFF, 0xFF}},
      {BuildBadServerPassword(), {0xBA, 0xB0, 0x00, 0x00, 0x08, 0x00, 0xFE, 0xFF}},
      {BuildPlayerChangedRoom(7, 3, 9), {0xBA, 0xB0, 0x07, 0x00, 10, 0x00, 10, 0x00, 3, 9}},
      {BuildPlayerJoined(7, 2, 1, "Bob"), Cat({{0xBA, 0xB0, 0x07, 0x00, 41, 0x00, 11, 0x00, 2, 1}, Txt("Bob")})},
      // One reason and one result here: the others' numbers are checked end to end.
      {BuildPlayerLeft(7, 2, LeaveReason::kKicked), {0xBA, 0xB0, 0x07, 0x00, 10, 0x00, 12, 0x00, 2, 4}},
      {BuildRoomCreated(500, 4, "Games"), Cat({{0xBA, 0xB0, 0xF4, 0x01, 40, 0x00, 13, 0x00, 4}, Txt("Games")})},
      {BuildRoomDeleted(500, 4), {0xBA, 0xB0, 0xF4, 0x01, 9, 0x00, 14, 0x00, 4}},
      {BuildPlayerIsAdmin(50000, 2), {0xBA, 0xB0, 0x50, 0xC3, 9, 0x00, 15, 0x00, 2}},
      // A command reply is the header with the result as its code.
      {BuildCommandReply(7, kReplyKickNoSuchPlayer), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0x7E, 0xFF}},
      // The refusals pvctl words: which one a command meets is its end-to-end test's.
      {BuildCommandReply(7, kReplyStatsNoSuchPlayer), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0xC4, 0xFF}},
      {BuildCommandReply(7, kReplyBadAdminPassword), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0x9B, 0xFF}},
      {BuildCommandReply(7, kReplyRoomExists), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0x91, 0xFF}},
      {BuildCommandReply(7, kReplyNoSuchRoom), {0xBA, 0xB0, 0x07, 0x00, 8, 0x00, 0x88, 0xFF}},
      // A ping is a datagram of 12 bytes with a trailer.
      {BuildPingDatagram(0x1234, kPingKindPing, kServerPingValue),
       {0xBB, 0xAA, 0x34, 0x12, 12, 0x00, 1, 200, 0xFF, 0xEE, 0x00, 0x00}},
      {BuildPingDatagram(50000, kPingKindAnswer, 3), {0xBB, 0xAA, 0x50, 0xC3, 12, 0x00, 2, 3, 0xFF, 0xEE, 0x00, 0x00}},
  };
  for (const auto& [built, wire] : cases) EXPECT_EQ(built, wire);
  // The writer's range check seen through the fields clients choose.
  EXPECT_THROW(BuildPlayerChangedRoom(1, 1, 256), ERangeError);
  EXPECT_THROW(BuildPlayerChangedRoom(1, 1, -1), ERangeError);
  EXPECT_THROW(BuildCommandReply(1, 32768), ERangeError);
  EXPECT_THROW(BuildCommandReply(1, -32769), ERangeError);
  EXPECT_THROW(BuildPingDatagram(65536, 1, 200), ERangeError);
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

TEST(PlayerStats, LegacyLayoutOf73BytesCurrentOf104WithTheVersionAddressForAdministratorsOnlyNoNumberCut) {
  EXPECT_EQ(BuildPlayerStats(0x0102, SampleTarget(), true, true),
            Cat({{0xBA, 0xB0, 0x02, 0x01, 73, 0x00, 60, 0x00}, kStatsTimes, {0x50, 0xC3}, Txt("10.0.0.7", 15),
                 kStatsCounters, {5}}));
  EXPECT_EQ(BuildPlayerStats(0x0102, SampleTarget(), false, true),
            Cat({{0xBA, 0xB0, 0x02, 0x01, 104, 0x00, 61, 0x00}, kStatsTimes, {0x50, 0xC3}, Txt("10.0.0.7", 15),
                 Txt("1.3.1"), kStatsCounters, {5}}));
  EXPECT_EQ(BuildPlayerStats(0x0102, SampleTarget(), false, false),
            Cat({{0xBA, 0xB0, 0x02, 0x01, 104, 0x00, 61, 0x00}, kStatsTimes, {0x00, 0x00}, Txt("", 15),
                 Txt("1.3.1"), kStatsCounters, {5}}));
  // A long address is cut to 15 characters; numbers that do not fit raise, the port only when it
  // is shown.
  PlayerStatsData address = SampleTarget(), ping = SampleTarget(), id = SampleTarget(), port = SampleTarget();
  address.UdpIP = "255.255.255.255x";
  ping.PingTime = 65536;
  id.PlayerId = 256;
  port.UdpPort = 65536;
  Bytes cut = BuildPlayerStats(1, address, true, true);
  EXPECT_EQ(Bytes(cut.begin() + 24, cut.begin() + 40), Txt("255.255.255.255", 15));
  EXPECT_THROW(BuildPlayerStats(1, ping, false, false), ERangeError);
  EXPECT_THROW(BuildPlayerStats(1, id, true, false), ERangeError);
  EXPECT_THROW(BuildPlayerStats(1, port, true, true), ERangeError);
  EXPECT_NO_THROW(BuildPlayerStats(1, port, true, false));
}

TEST(PlayerStats, LossIsComputedInDoubleAndKeptAsSingle) {
  EXPECT_EQ(PacketLossPercent(5, 0), 0.0f);
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

// The server's reading of client commands: fixed offsets, missing bytes as 0, Text30 lengths
// above 30 taken as 30.
Bytes Header(int16_t code, uint8_t length = 0) {
  return {0xBA, 0xB0, 0x00, 0x00, length, 0x00, static_cast<uint8_t>(code & 0xFF),
          static_cast<uint8_t>((code >> 8) & 0xFF)};
}

PacketView View(const Bytes& b) { return PacketView(b.data(), b.size()); }

// Three Text30 fields; a length byte above 30 reads 30 characters without running on into the
// next field; bytes not received read as 0.
TEST(Commands, ClientLoginIsThreeTexts) {
  const Bytes full = Cat({Header(kCmdClientLogin, 101), Txt("Ann"), Txt("secret"), Txt("1.2.0")});
  ASSERT_EQ(full.size(), kClientLoginSize);
  EXPECT_EQ(ClientLogin("Ann", "secret", "1.2.0"), full);
  Bytes overlong = Cat({Header(kCmdClientLogin), Txt(std::string(30, 'x')), Txt("pw"), Txt("")});
  overlong[8] = overlong[70] = 255;  // the name's and the version's length bytes
  const struct {
    Bytes bytes;
    std::string name, password, version;
  } cases[] = {
      {full, "Ann", "secret", "1.2.0"},
      {overlong, std::string(30, 'x'), "pw", std::string(30, '\0')},
      {Cat({Header(kCmdClientLogin), {3, 'A', 'n', 'n'}}), "Ann", "", ""},
      {Cat({Header(kCmdClientLogin), {3, 'A'}}), std::string("A\0\0", 3), "", ""},
      {Header(kCmdClientLogin), "", "", ""},
  };
  for (const auto& c : cases) {
    LoginRequest r = ParseClientLogin(View(c.bytes));
    EXPECT_EQ(r.Name, c.name);
    EXPECT_EQ(r.Password, c.password);
    EXPECT_EQ(r.Version, c.version);
  }
}

TEST(Commands, ClientReadyIsRefusedOnlyWhenByte9Is1) {
  Bytes b = Cat({Header(kCmdClientReady), {1, 0}});
  for (uint8_t flag : {0, 1, 2, 255}) {
    b[9] = flag;
    EXPECT_EQ(ParseClientReadyRefused(View(b)), flag == 1) << int{flag};
  }
  // Byte 8 does not matter; a ClientReady without body reads byte 9 as 0.
  EXPECT_FALSE(ParseClientReadyRefused(View(Cat({Header(kCmdClientReady), {1}}))));
}

TEST(Commands, OneByteBodiesAreReadAtOffset8) {
  using Parser = uint8_t (*)(const PacketView&);
  for (Parser parse : {&ParseClientChangeRoom, &ParseAdminDeleteRoom, &ParsePlayerStatsReq,
                       &ParseAdminKickPlayer}) {
    Bytes b = Cat({Header(kCmdAdminKickPlayer), {9}});
    EXPECT_EQ(parse(View(b)), 9);
    b[8] = 255;
    EXPECT_EQ(parse(View(b)), 255);
    // Without a body the id reads as 0, which names no room or player.
    EXPECT_EQ(parse(View(Header(kCmdAdminKickPlayer))), 0);
  }
}

TEST(Commands, TextBodiesAreReadAtOffset8) {
  using Parser = std::string (*)(const PacketView&);
  for (Parser parse : {&ParseAdminLogin, &ParseAdminCreateRoom, &ParseAdminChangeServerPassword,
                       &ParseAdminChangeAdminPassword}) {
    Bytes b = Cat({Header(kCmdAdminLogin), Txt("Vimbo")});
    EXPECT_EQ(parse(View(b)), "Vimbo");
    b[8] = 0;
    EXPECT_EQ(parse(View(b)), "");
    b[8] = 255;
    EXPECT_EQ(parse(View(b)), "Vimbo" + std::string(25, '\0'));
    EXPECT_EQ(parse(View(Header(kCmdAdminLogin))), "");
  }
}

// The relay datagrams: their checksum and their target list.
TEST(Datagrams, RelayChecksumIsTakenWithItsFieldAsZero) {
  Bytes d = {0xBA, 0xB0, 0x34, 0x12, 20, 0, 0, 7, 5, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4};
  Bytes want_zeroed = d;
  want_zeroed[12] = want_zeroed[13] = want_zeroed[14] = want_zeroed[15] = 0;
  // zlib's crc32 of the datagram with the checksum field zeroed.
  EXPECT_EQ(ZeroRelayChecksum(d.data(), d.size()), 0x9D4208EBu);
  EXPECT_EQ(d, want_zeroed);
  StampRelayChecksum(d.data(), d.size());
  EXPECT_EQ(Bytes(d.begin() + 12, d.begin() + 16), (Bytes{0xEB, 0x08, 0x42, 0x9D}));
  // Stamping again gives the same checksum: the old one is not part of the sum.
  StampRelayChecksum(d.data(), d.size());
  EXPECT_EQ(d[12], 0xEB);
}

TEST(Crc32, CheckValueVariantsOfAFieldMatchingTheFullSumAndOverlongInputsAllOnes) {
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(check.data(), 0), 0u);
  // Variants: sizes around the field and the zlib word boundaries, up to the largest datagram;
  // at 4 bytes the field is the last two.
  for (size_t size : {4u, 5u, 16u, 17u, 31u, 116u, 1000u, 8192u}) {
    Bytes d(size);
    for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(i * 131 + size);
    d[2] = d[3] = 0;
    Crc32Variants sums(d.data(), d.size(), 2);
    for (uint16_t value : {0, 1, 0x80, 0x100, 0x8000, 0xFFFF, 50000, 12345}) {
      d[2] = static_cast<uint8_t>(value);
      d[3] = static_cast<uint8_t>(value >> 8);
      EXPECT_EQ(sums.With(value), Crc32(d.data(), d.size())) << size << " bytes, value " << value;
    }
  }
  const Bytes zeros(65522, 0);
  EXPECT_EQ(Crc32(zeros.data(), 65521), 0x3F17BA13u);  // the longest input still summed
  EXPECT_EQ(Crc32(zeros.data(), 65522), 0xFFFFFFFFu);
  EXPECT_EQ(Crc32Variants(zeros.data(), zeros.size(), 2).With(7), 0xFFFFFFFFu);
}

// A list running past the end is UdpSenderTest.UnsendableRecipientsAndBrokenListsAreSkippedAndTheDrainGoesOn's.
TEST(TargetList, ReadsEachIdOnceAndStripsTheList) {
  Bytes d = {0xBA, 0xB0, 1, 0, 0, 0, 1, 9, 0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 255, 2, 0, 'x', 'y'};
  TargetList list = ReadTargetList(d.data(), d.size());
  EXPECT_EQ(list.payload_offset, 21u);
  EXPECT_EQ(list.player_ids.count(), 3u);
  EXPECT_TRUE(list.player_ids.test(0));
  EXPECT_TRUE(list.player_ids.test(2));
  EXPECT_TRUE(list.player_ids.test(255));
  Bytes out = StripTargetList(d.data(), d.size(), list);
  EXPECT_EQ(out, (Bytes{0xBA, 0xB0, 1, 0, 18, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 'x', 'y'}));
  // An empty list leaves the payload; the checksum field is cleared.
  Bytes empty = {0xBA, 0xB0, 1, 0, 0, 0, 1, 0, 5, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0, 'p'};
  list = ReadTargetList(empty.data(), empty.size());
  EXPECT_TRUE(list.player_ids.none());
  EXPECT_EQ(StripTargetList(empty.data(), empty.size(), list),
            (Bytes{0xBA, 0xB0, 1, 0, 17, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 'p'}));
  // Exactly as long as its list: nothing after it, a 16-byte result.
  Bytes exact = {0xBA, 0xB0, 1, 0, 0, 0, 1, 0, 5, 0, 0, 0, 0, 0, 0, 0, 2, 3, 4};
  EXPECT_EQ(StripTargetList(exact.data(), exact.size(), ReadTargetList(exact.data(), exact.size())).size(), 16u);
}

}  // namespace
}  // namespace pv
