// What every fuzz target shares: a private working folder on a memory file system, the event
// log sent nowhere, a reader over the fuzzer's bytes, and the check that aborts the run with a
// message when an invariant fails (libFuzzer then keeps the input in its artefacts).
// Thread rules: the targets run one input at a time on the fuzzer's thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pv {
class TParleyvoxServer;
}

namespace pv::fuzz {

// Once per process: a fresh folder (in /dev/shm when there is one, so file writes cost no disk
// time), removed when the process exits; the event log goes to /dev/null. Ends in "/".
const std::string& WorkDir();

// Writes the message to stderr and aborts: an invariant of the server does not hold.
[[noreturn]] void Fail(const std::string& message);
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// The fuzzer's bytes, taken from the front. Past the end everything reads as 0 or empty.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
  }
  // Up to `n` bytes (fewer at the end of the input).
  std::string_view Bytes(size_t n) {
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), std::min(n, size_ - pos_));
    pos_ += out.size();
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Sets a socket's SO_SNDBUF or SO_RCVBUF; as root beyond the system's limit, else up to it.
void SetSocketBuffer(int fd, int option, int bytes);

// Destroys and drops every session left in ClientList, as the server's own end does, so that
// nothing of an input outlives it (LeakSanitizer looks).
void ClearSessions(TParleyvoxServer& server);

}  // namespace pv::fuzz
