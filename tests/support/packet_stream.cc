#include "support/packet_stream.h"

#include <algorithm>

namespace pv::test {

namespace {
constexpr size_t kHeaderSize = 8;
constexpr size_t kOffLength = 4;
}  // namespace

void PacketSplitter::Feed(const uint8_t* data, size_t size) {
  buf_.insert(buf_.end(), data, data + size);
}

std::optional<std::vector<uint8_t>> PacketSplitter::Next() {
  if (buf_.size() < kOffLength + 2) return std::nullopt;
  size_t length = static_cast<size_t>(buf_[kOffLength]) |
                  (static_cast<size_t>(buf_[kOffLength + 1]) << 8);
  length = std::max(length, kHeaderSize);
  if (buf_.size() < length) return std::nullopt;
  std::vector<uint8_t> packet(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(length));
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(length));
  return packet;
}

}  // namespace pv::test
