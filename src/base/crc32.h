// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF). Empty input gives 0 and input of more than 65521 bytes gives 0xFFFFFFFF, as the
// datagram checks expect.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pv {

uint32_t Crc32(const uint8_t* data, size_t size);

}  // namespace pv
