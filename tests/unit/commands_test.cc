// Client commands on the wire: the test client's builders against literal bytes (the end-to-end
// tests speak through them), and the server's reading of commands: fixed offsets, missing bytes
// as 0, Text30 lengths above 30 taken as 30.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/packets.h"
#include "support/client_packets.h"

namespace pv::test {
namespace {

Bytes Header(int16_t code, uint8_t length = 0) {
  return {0xBA, 0xB0, 0x00, 0x00, length, 0x00, static_cast<uint8_t>(code & 0xFF),
          static_cast<uint8_t>((code >> 8) & 0xFF)};
}

void AppendText(Bytes& b, const std::string& s, uint8_t length_byte) {
  b.push_back(length_byte);
  b.insert(b.end(), s.begin(), s.end());
  b.resize(b.size() + 30 - s.size(), 0);
}

PacketView View(const Bytes& b) { return PacketView(b.data(), b.size()); }

TEST(Commands, TheTestClientWritesTheWireLayouts) {
  const std::pair<Bytes, Bytes> cases[] = {
      {ClientReady(1), {0xBA, 0xB0, 0, 0, 10, 0, 2, 0, 0, 1}},
      {ChangeRoom(9), {0xBA, 0xB0, 0, 0, 9, 0, 50, 0, 9}},
      {Leave(), {0xBA, 0xB0, 0, 0, 8, 0, 51, 0}},
      {PlayerStatsReq(3), {0xBA, 0xB0, 0, 0, 9, 0, 60, 0, 3}},
      {ServerStatsReq(), {0xBA, 0xB0, 0, 0, 8, 0, 70, 0}},
      {AdminDeleteRoom(2), {0xBA, 0xB0, 0, 0, 9, 0, 120, 0, 2}},
      {AdminKickPlayer(4), {0xBA, 0xB0, 0, 0, 9, 0, 130, 0, 4}},
      {AdminSaveAsDefaultChannels(), {0xBA, 0xB0, 0, 0, 8, 0, 150, 0}},
  };
  for (const auto& [built, wire] : cases) EXPECT_EQ(built, wire);
}

TEST(Commands, ClientLoginIsThreeTexts) {
  Bytes b = Header(1, 101);
  AppendText(b, "Ann", 3);
  AppendText(b, "secret", 6);
  AppendText(b, "1.2.0", 5);
  ASSERT_EQ(b.size(), kClientLoginSize);
  EXPECT_EQ(ClientLogin("Ann", "secret", "1.2.0"), b);
  LoginRequest r = ParseClientLogin(View(b));
  EXPECT_EQ(r.Name, "Ann");
  EXPECT_EQ(r.Password, "secret");
  EXPECT_EQ(r.Version, "1.2.0");
}

TEST(Commands, ClientLoginCutsALengthByteOf255To30) {
  Bytes b = Header(kCmdClientLogin);
  AppendText(b, std::string(30, 'x'), 255);
  AppendText(b, "pw", 2);
  AppendText(b, "", 255);
  LoginRequest r = ParseClientLogin(View(b));
  EXPECT_EQ(r.Name, std::string(30, 'x'));
  // The name does not run on into the password field.
  EXPECT_EQ(r.Password, "pw");
  EXPECT_EQ(r.Version, std::string(30, '\0'));
}

TEST(Commands, ShortClientLoginReadsMissingFieldsAsEmpty) {
  Bytes b = Header(kCmdClientLogin);
  b.insert(b.end(), {3, 'A', 'n', 'n'});
  LoginRequest r = ParseClientLogin(View(b));
  EXPECT_EQ(r.Name, "Ann");
  EXPECT_EQ(r.Password, "");
  EXPECT_EQ(r.Version, "");
  // A name whose characters were not received reads them as 0.
  Bytes cut = Header(kCmdClientLogin);
  cut.insert(cut.end(), {3, 'A'});
  EXPECT_EQ(ParseClientLogin(View(cut)).Name, std::string("A\0\0", 3));
  EXPECT_EQ(ParseClientLogin(View(Header(kCmdClientLogin))).Name, "");
}

TEST(Commands, ClientReadyIsRefusedOnlyWhenByte9Is1) {
  Bytes b = Header(kCmdClientReady);
  b.insert(b.end(), {1, 0});
  for (uint8_t flag : {0, 1, 2, 255}) {
    b[9] = flag;
    EXPECT_EQ(ParseClientReadyRefused(View(b)), flag == 1) << int{flag};
  }
  // Byte 8 does not matter; a ClientReady without body reads byte 9 as 0.
  Bytes shorter = Header(kCmdClientReady);
  shorter.push_back(1);
  EXPECT_FALSE(ParseClientReadyRefused(View(shorter)));
}

TEST(Commands, OneByteBodiesAreReadAtOffset8) {
  using Parser = uint8_t (*)(const PacketView&);
  for (Parser parse : {&ParseClientChangeRoom, &ParseAdminDeleteRoom, &ParsePlayerStatsReq,
                       &ParseAdminKickPlayer}) {
    Bytes b = Header(kCmdAdminKickPlayer);
    b.push_back(9);
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
    Bytes b = Header(kCmdAdminLogin);
    AppendText(b, "Vimbo", 5);
    EXPECT_EQ(parse(View(b)), "Vimbo");
    b[8] = 0;
    EXPECT_EQ(parse(View(b)), "");
    b[8] = 255;
    EXPECT_EQ(parse(View(b)), "Vimbo" + std::string(25, '\0'));
    EXPECT_EQ(parse(View(Header(kCmdAdminLogin))), "");
  }
}

}  // namespace
}  // namespace pv::test
