#include "base/wire.h"

#include <cstring>

#include "base/errors.h"

namespace pv {

PacketWriter& PacketWriter::Begin(int64_t session_id, int64_t code) {
  buf_.clear();
  has_header_ = true;
  U16(kControlMagic);
  U16(session_id);
  U16(0);
  S16(code);
  return *this;
}

PacketWriter& PacketWriter::U8(int64_t v) {
  buf_.push_back(CheckedNarrow<uint8_t>(v));
  return *this;
}

PacketWriter& PacketWriter::U16(int64_t v) {
  uint16_t x = CheckedNarrow<uint16_t>(v);
  buf_.push_back(static_cast<uint8_t>(x));
  buf_.push_back(static_cast<uint8_t>(x >> 8));
  return *this;
}

PacketWriter& PacketWriter::S16(int64_t v) {
  int16_t x = CheckedNarrow<int16_t>(v);
  return U16(static_cast<uint16_t>(x));
}

PacketWriter& PacketWriter::U32(int64_t v) {
  uint32_t x = CheckedNarrow<uint32_t>(v);
  uint8_t b[4];
  StoreU32(b, x);
  buf_.insert(buf_.end(), b, b + 4);
  return *this;
}

PacketWriter& PacketWriter::S32(int64_t v) {
  int32_t x = CheckedNarrow<int32_t>(v);
  return U32(static_cast<uint32_t>(x));
}

PacketWriter& PacketWriter::F32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return U32(bits);
}

PacketWriter& PacketWriter::Text(std::string_view text, size_t width) {
  size_t n = text.size() < width ? text.size() : width;
  buf_.push_back(static_cast<uint8_t>(n));
  size_t start = buf_.size();
  buf_.resize(start + width, 0);
  if (n > 0) std::memcpy(buf_.data() + start, text.data(), n);
  return *this;
}

PacketWriter& PacketWriter::Bytes(const uint8_t* data, size_t n) {
  buf_.insert(buf_.end(), data, data + n);
  return *this;
}

std::vector<uint8_t> PacketWriter::Finish() {
  if (has_header_) StoreU16(buf_.data() + kOffLength, CheckedNarrow<uint16_t>(buf_.size()));
  has_header_ = false;
  return std::move(buf_);
}

std::string PacketView::Text(size_t off, size_t width) const {
  size_t n = U8(off);
  if (n > width) n = width;
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(U8(off + 1 + i)));
  return out;
}

}  // namespace pv
