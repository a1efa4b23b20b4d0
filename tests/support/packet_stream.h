// Cuts the server's TCP byte stream into control packets by the Length field of each header
// (offset 4). The server always sends whole packets, but TCP may deliver several in one read or
// one across several reads. Thread rules: one user at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace pv::test {

class PacketSplitter {
 public:
  // Appends received bytes.
  void Feed(const uint8_t* data, size_t size);
  // The next complete packet, or none while its bytes have not all arrived. A Length below the
  // 8-byte header (which the server never sends) is taken as 8 so the stream keeps moving.
  std::optional<std::vector<uint8_t>> Next();
  // Bytes received and not yet returned in a packet.
  size_t Buffered() const { return buf_.size(); }

 private:
  std::deque<uint8_t> buf_;
};

}  // namespace pv::test
