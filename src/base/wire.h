// Little-endian wire coding: loads and stores, a checked packet writer and a reader that never
// reads past the bytes it was given. Thread rules: none (plain values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Every control packet and every UDP datagram starts with this 8-byte header.
constexpr uint16_t kControlMagic = 0xB0BA;
constexpr size_t kHeaderSize = 8;
constexpr size_t kOffMagic = 0;
constexpr size_t kOffSessionId = 2;
constexpr size_t kOffLength = 4;
constexpr size_t kOffCode = 6;  // control packets; datagrams carry other fields here

// The largest datagram the server receives or sends.
constexpr size_t kMaxDatagramSize = 8192;

// Builds one packet. Every number is checked against its field: a value that does not fit raises
// ERangeError and the packet is not built. Begin writes the control header; Finish patches
// Length with the final size.
class PacketWriter {
 public:
  PacketWriter() = default;
  // Starts a control packet: magic 0xB0BA, the session id, Length 0 (patched by Finish), the code.
  PacketWriter& Begin(int64_t session_id, int64_t code);
  PacketWriter& U8(int64_t v);
  PacketWriter& U16(int64_t v);
  PacketWriter& S16(int64_t v);
  PacketWriter& U32(int64_t v);
  PacketWriter& S32(int64_t v);
  PacketWriter& F32(float v);
  // A text field of `width` characters: a length byte and `width` bytes; longer text is cut.
  PacketWriter& Text(std::string_view text, size_t width);
  PacketWriter& Text30(std::string_view text) { return Text(text, 30); }
  PacketWriter& Bytes(const uint8_t* data, size_t n);
  // Patches Length (offset 4) with the whole size and returns the packet.
  std::vector<uint8_t> Finish();
  size_t Size() const { return buf_.size(); }

 private:
  std::vector<uint8_t> buf_;
  bool has_header_ = false;
};

// Reads fields at fixed offsets of a received packet. Bytes beyond what was received read as 0.
class PacketView {
 public:
  PacketView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t U8(size_t off) const { return off < size_ ? data_[off] : 0; }
  uint16_t U16(size_t off) const { return static_cast<uint16_t>(U8(off) | (U8(off + 1) << 8)); }
  int16_t S16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  uint32_t U32(size_t off) const {
    return static_cast<uint32_t>(U16(off)) | (static_cast<uint32_t>(U16(off + 2)) << 16);
  }
  // A text field of `width` characters at `off`: a length byte above `width` is taken as `width`.
  std::string Text(size_t off, size_t width) const;
  std::string Text30(size_t off) const { return Text(off, 30); }
  int16_t Code() const { return S16(kOffCode); }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace pv
