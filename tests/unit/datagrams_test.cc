#include "sessions/datagrams.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/errors.h"

namespace pv {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Datagrams, PingIs12BytesWithTrailer) {
  EXPECT_EQ(BuildPingDatagram(0x1234, kPingKindPing, kServerPingValue),
            (Bytes{0xBB, 0xAA, 0x34, 0x12, 12, 0x00, 1, 200, 0xFF, 0xEE, 0x00, 0x00}));
  EXPECT_EQ(BuildPingDatagram(50000, kPingKindAnswer, 3),
            (Bytes{0xBB, 0xAA, 0x50, 0xC3, 12, 0x00, 2, 3, 0xFF, 0xEE, 0x00, 0x00}));
  EXPECT_THROW(BuildPingDatagram(65536, 1, 200), ERangeError);
}

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

}  // namespace
}  // namespace pv
