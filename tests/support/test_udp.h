// UDP as a client uses it, for end-to-end tests: a socket bound to 127.0.0.1 on a free port,
// and builders for relay and ping datagrams with a valid length, packet id and CRC-32.
// Thread rules: one thread uses a TestUdp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_sockets.h"

namespace pv::test {

using Bytes = std::vector<uint8_t>;

class TestUdp {
 public:
  // Binds `ip`:0 (another loopback address stands for another host); a failure is recorded as a
  // test failure and leaves Ok() false.
  explicit TestUdp(const std::string& ip = "127.0.0.1");
  TestUdp(const TestUdp&) = delete;
  TestUdp& operator=(const TestUdp&) = delete;

  bool Ok() const { return fd_.Get() >= 0; }
  uint16_t Port() const { return port_; }
  // Sends one datagram to 127.0.0.1:port.
  bool SendTo(uint16_t port, const Bytes& bytes);
  // The next datagram received within the timeout, or none.
  std::optional<Bytes> Receive(std::chrono::milliseconds timeout);
  // The source port of the datagram Receive returned last.
  uint16_t LastSourcePort() const { return last_source_port_; }

 private:
  Fd fd_;
  uint16_t port_ = 0;
  uint16_t last_source_port_ = 0;
};

// A relay datagram to everybody in the sender's room (target mode 0): the 16-byte header with
// its length, packet id and CRC-32, then the payload.
Bytes RelayDatagram(uint16_t session_id, uint32_t packet_id, const Bytes& payload, uint8_t opaque = 0);
// A relay datagram to the players listed (target mode 1): count, PlayerIds, then the payload.
Bytes RelayDatagramTo(uint16_t session_id, uint32_t packet_id, const Bytes& player_ids, const Bytes& payload);
// Fills in the length and the CRC-32 of a relay datagram again after a test changed it.
void SealRelay(Bytes& datagram);
// A 12-byte ping datagram: kind 1 is a ping, kind 2 an answer.
Bytes PingDatagram(uint16_t session_id, uint8_t kind, uint8_t value);

}  // namespace pv::test
