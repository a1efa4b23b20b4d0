#include "sessions/datagrams.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/crc32.h"
#include "base/errors.h"
#include "net/net_errors.h"

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

TEST(Crc32, CheckValueEmptyIsZeroAndOverlongIsAllOnes) {
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(check.data(), 0), 0u);
  const Bytes zeros(65522, 0);
  EXPECT_EQ(Crc32(zeros.data(), 65521), 0x3F17BA13u);  // the longest input still summed
  EXPECT_EQ(Crc32(zeros.data(), 65522), 0xFFFFFFFFu);
}

TEST(Crc32, VariantsOfAFieldMatchTheFullSum) {
  // Sizes around the field and the zlib word boundaries, up to the largest datagram.
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
  // A field at the very end, and a message beyond the limit.
  Bytes tail = {9, 8, 7, 0, 0};
  Crc32Variants at_end(tail.data(), tail.size(), 3);
  tail[3] = 0x34;
  tail[4] = 0x12;
  EXPECT_EQ(at_end.With(0x1234), Crc32(tail.data(), tail.size()));
  Bytes huge(65522, 0);
  EXPECT_EQ(Crc32Variants(huge.data(), huge.size(), 2).With(7), 0xFFFFFFFFu);
}

TEST(TargetList, ReadsEachIdOnceStripsTheListAndRefusesOneRunningPastTheEnd) {
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
  // One list byte short, and no count at all.
  EXPECT_THROW(ReadTargetList(exact.data(), exact.size() - 1), EIdNotEnoughDataInBuffer);
  EXPECT_THROW(ReadTargetList(exact.data(), 16), EIdNotEnoughDataInBuffer);
}

}  // namespace
}  // namespace pv
