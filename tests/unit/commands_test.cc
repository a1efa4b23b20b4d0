// The server's reading of client commands: fixed offsets, missing bytes as 0, Text30 lengths
// above 30 taken as 30.
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

PacketView View(const Bytes& b) { return PacketView(b.data(), b.size()); }

// `b` followed by a Text30 field holding `text` with `length_byte` as its length.
Bytes Cat(Bytes b, const std::string& text, uint8_t length_byte) {
  b.push_back(length_byte);
  b.insert(b.end(), text.begin(), text.end());
  b.resize(b.size() + 30 - text.size(), 0);
  return b;
}

// Three Text30 fields; a length byte above 30 reads 30 characters without running on into the
// next field; bytes not received read as 0.
TEST(Commands, ClientLoginIsThreeTexts) {
  const Bytes full = Cat(Cat(Cat(Header(1, 101), "Ann", 3), "secret", 6), "1.2.0", 5);
  ASSERT_EQ(full.size(), kClientLoginSize);
  EXPECT_EQ(ClientLogin("Ann", "secret", "1.2.0"), full);
  Bytes short_name = Header(kCmdClientLogin), cut_name = Header(kCmdClientLogin);
  short_name.insert(short_name.end(), {3, 'A', 'n', 'n'});
  cut_name.insert(cut_name.end(), {3, 'A'});
  const struct {
    Bytes bytes;
    std::string name, password, version;
  } cases[] = {
      {full, "Ann", "secret", "1.2.0"},
      {Cat(Cat(Cat(Header(1), std::string(30, 'x'), 255), "pw", 2), "", 255), std::string(30, 'x'), "pw",
       std::string(30, '\0')},
      {short_name, "Ann", "", ""},
      {cut_name, std::string("A\0\0", 3), "", ""},
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
    Bytes b = Cat(Header(kCmdAdminLogin), "Vimbo", 5);
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
