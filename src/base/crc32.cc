#include "base/crc32.h"

#include <zlib.h>

#include <array>

namespace pv {

namespace {

constexpr size_t kLongestSummed = 65521;

// The part of a sum that two bytes contribute when the register before them is 0: the sum of
// [lo, hi] minus (XOR) the sum of [0, 0], split into one table per byte since it is linear.
struct FieldTables {
  std::array<uint32_t, 256> low{};
  std::array<uint32_t, 256> high{};
  FieldTables() {
    const uint8_t zeros[2] = {0, 0};
    const uLong zero_sum = crc32(0L, zeros, 2);
    for (unsigned b = 0; b < 256; ++b) {
      const uint8_t lo[2] = {static_cast<uint8_t>(b), 0};
      const uint8_t hi[2] = {0, static_cast<uint8_t>(b)};
      low[b] = static_cast<uint32_t>(crc32(0L, lo, 2) ^ zero_sum);
      high[b] = static_cast<uint32_t>(crc32(0L, hi, 2) ^ zero_sum);
    }
  }
};

const FieldTables& Tables() {
  static const FieldTables tables;
  return tables;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (size > kLongestSummed) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(size)));
}

Crc32Variants::Crc32Variants(const uint8_t* data, size_t size, size_t offset)
    : base_(Crc32(data, size)),
      shift_(static_cast<uint32_t>(crc32_combine_gen(static_cast<z_off_t>(size - offset - 2)))),
      overlong_(size > kLongestSummed) {}

uint32_t Crc32Variants::With(uint16_t value) const {
  if (overlong_) return 0xFFFFFFFFu;
  const FieldTables& t = Tables();
  const uint32_t field = t.low[value & 0xFF] ^ t.high[value >> 8];
  // The field's contribution carried through the bytes that follow it.
  return base_ ^ static_cast<uint32_t>(crc32_combine_op(field, 0L, shift_));
}

}  // namespace pv
