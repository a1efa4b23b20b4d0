// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF). Empty input gives 0 and input of more than 65521 bytes gives 0xFFFFFFFF, as the
// datagram checks expect.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pv {

uint32_t Crc32(const uint8_t* data, size_t size);

// Crc32 of many messages that differ only in one u16 field, at the cost of one full pass. The
// sum is affine in the message bits: changing the field changes the sum by a value that depends
// only on the change and on how many bytes follow the field, which takes a few table look-ups
// and one polynomial product instead of a pass over the whole message.
class Crc32Variants {
 public:
  // `data` holds the message with its field, the two bytes at `offset`, set to 0.
  Crc32Variants(const uint8_t* data, size_t size, size_t offset);
  // Crc32 of the message with `value` stored little-endian in the field.
  uint32_t With(uint16_t value) const;

 private:
  uint32_t base_;      // the sum with the field 0
  uint32_t shift_;     // x^(8 * bytes after the field) modulo the polynomial
  bool overlong_;      // beyond the limit every variant sums to 0xFFFFFFFF
};

}  // namespace pv
