// The packet writer and view beneath the builders (whose exact bytes packets_test.cc checks):
// the limits and reads that no builder or command parser reaches.
#include "base/wire.h"

#include <gtest/gtest.h>

#include "base/errors.h"

namespace pv {
namespace {

TEST(Wire, NumbersThatDoNotFitRaiseRangeError) {
  PacketWriter w;
  w.Begin(1, 2);
  EXPECT_THROW(w.U8(-1), ERangeError);
  EXPECT_THROW(w.U16(65536), ERangeError);
  EXPECT_THROW(w.U32(-1), ERangeError);
  EXPECT_NO_THROW(w.S16(-32768));
  EXPECT_NO_THROW(w.U32(4294967295));
}

TEST(Wire, ViewNeverReadsPastTheBytesReceived) {
  uint8_t data[] = {0xBA, 0xB0, 1, 0, 9, 0, 0x02, 0x00, 40, 'h', 'i'};
  PacketView v(data, sizeof data);
  EXPECT_EQ(v.Code(), 2);
  EXPECT_EQ(v.U32(9), static_cast<uint32_t>('h' | ('i' << 8)));
  EXPECT_EQ(v.U8(100), 0);
}

}  // namespace
}  // namespace pv
