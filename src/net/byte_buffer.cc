#include "net/byte_buffer.h"

#include <algorithm>
#include <cstring>

#include "base/errors.h"
#include "net/net_errors.h"

namespace pv {

uint8_t* ByteBuffer::ReserveEnd(size_t n) {
  if (start_ + size_ + n > storage_.size()) {
    // Move the bytes to the front first; grow only when that is not enough.
    if (start_ > 0) {
      if (size_ > 0) std::memmove(storage_.data(), storage_.data() + start_, size_);
      start_ = 0;
    }
    if (size_ + n > storage_.size()) storage_.resize(std::max(size_ + n, storage_.size() * 2));
  }
  reserved_ = n;
  return storage_.data() + start_ + size_;
}

void ByteBuffer::Commit(size_t n) {
  if (n > reserved_) throw ERangeError();
  size_ += n;
  reserved_ = 0;
}

void ByteBuffer::Write(const void* data, size_t n) {
  if (n == 0) return;
  std::memcpy(ReserveEnd(n), data, n);
  Commit(n);
}

void ByteBuffer::RemoveFront(size_t k) {
  if (k > size_) throw EIdNotEnoughDataInBuffer();
  start_ += k;
  size_ -= k;
  if (size_ == 0) start_ = 0;
}

}  // namespace pv
