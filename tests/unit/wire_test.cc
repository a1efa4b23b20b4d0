#include "base/wire.h"

#include <gtest/gtest.h>

#include "base/errors.h"

namespace pv {
namespace {

TEST(Wire, WriterPatchesLengthAndUsesLittleEndian) {
  PacketWriter w;
  auto bytes = w.Begin(0x1234, -5).U8(7).U32(0x01020304).Finish();
  std::vector<uint8_t> want = {0xBA, 0xB0, 0x34, 0x12, 13, 0, 0xFB, 0xFF, 7, 4, 3, 2, 1};
  EXPECT_EQ(bytes, want);
}

TEST(Wire, NumbersThatDoNotFitRaiseRangeError) {
  PacketWriter w;
  w.Begin(1, 2);
  EXPECT_THROW(w.U8(256), ERangeError);
  EXPECT_THROW(w.U8(-1), ERangeError);
  EXPECT_THROW(w.U16(65536), ERangeError);
  EXPECT_THROW(w.S16(32768), ERangeError);
  EXPECT_THROW(w.U32(-1), ERangeError);
  EXPECT_THROW(w.Begin(65536, 1), ERangeError);
  EXPECT_NO_THROW(w.S16(-32768));
}

TEST(Wire, TextIsCutToItsWidthAndPadded) {
  PacketWriter w;
  auto bytes = w.Text("abc", 5).Text(std::string(40, 'x'), 30).Finish();
  ASSERT_EQ(bytes.size(), 6u + 31u);
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "abc");
  EXPECT_EQ(bytes[4], 0);
  EXPECT_EQ(bytes[6], 30);
}

TEST(Wire, ViewNeverReadsPastTheBytesReceived) {
  uint8_t data[] = {0xBA, 0xB0, 1, 0, 9, 0, 0x02, 0x00, 40, 'h', 'i'};
  PacketView v(data, sizeof data);
  EXPECT_EQ(v.Code(), 2);
  EXPECT_EQ(v.U16(4), 9);
  EXPECT_EQ(v.U32(9), static_cast<uint32_t>('h' | ('i' << 8)));
  EXPECT_EQ(v.U8(100), 0);
  // A length byte of 40 is taken as 30; characters beyond the received bytes read as 0.
  std::string t = v.Text30(8);
  ASSERT_EQ(t.size(), 30u);
  EXPECT_EQ(t.substr(0, 2), "hi");
  EXPECT_EQ(t[2], '\0');
}

TEST(Errors, CaughtLineShowsClassAndMessage) {
  EXPECT_EQ(CaughtLine("in: X exception ", ERangeError()), "in: X exception ERangeError: Range check error");
}

}  // namespace
}  // namespace pv
