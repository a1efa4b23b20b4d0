// ByteBuffer: a growable in-memory byte buffer holding one control packet, one datagram or a
// connection's received bytes. Bytes are written at the end and taken from the front; the
// first k bytes can be removed cheaply (the start moves; the bytes move only when the
// buffer needs room at its end). Thread rules: none; the owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pv {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const void* data, size_t n) { Write(data, n); }

  // Appends n bytes at the end.
  void Write(const void* data, size_t n);
  // Removes the first k bytes; raises EIdNotEnoughDataInBuffer when k exceeds the size.
  void RemoveFront(size_t k);

  size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  uint8_t* Data() { return storage_.data() + start_; }
  const uint8_t* Data() const { return storage_.data() + start_; }

  // For receiving straight into the buffer: room for n more bytes at the end, which count only
  // once Commit is called with the number actually filled (at most n).
  uint8_t* ReserveEnd(size_t n);
  void Commit(size_t n);

 private:
  std::vector<uint8_t> storage_;  // [start_, start_ + size_) holds the bytes
  size_t start_ = 0;
  size_t size_ = 0;
  size_t reserved_ = 0;  // what the last ReserveEnd allowed
};

}  // namespace pv
