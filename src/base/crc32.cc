#include "base/crc32.h"

#include <zlib.h>

namespace pv {

uint32_t Crc32(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (size > 65521) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(size)));
}

}  // namespace pv
