#include "support/test_udp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "base/wire.h"
#include "sessions/datagrams.h"

namespace pv::test {

TestUdp::TestUdp(const std::string& ip) : fd_(OpenUdp(ip)) {
  port_ = fd_.Get() >= 0 ? LocalPortOf(fd_.Get()) : 0;
  if (port_ == 0) {
    ADD_FAILURE() << "udp bind " << ip << ":0: " << std::strerror(errno);
    fd_.Reset();
  }
}

bool TestUdp::SendTo(uint16_t port, const Bytes& bytes) { return Ok() && SendUdp(fd_.Get(), port, bytes); }

std::optional<Bytes> TestUdp::Receive(std::chrono::milliseconds timeout) {
  Bytes got;
  if (!Ok() || !ReceiveUdp(fd_.Get(), got, timeout, &last_source_port_)) return std::nullopt;
  return got;
}

Bytes RelayDatagram(uint16_t session_id, uint32_t packet_id, const Bytes& payload, uint8_t opaque) {
  Bytes d(kRelayHeaderSize, 0);
  StoreU16(d.data() + kOffMagic, kRelayMagic);
  StoreU16(d.data() + kOffSessionId, session_id);
  d[kOffRelayTargetMode] = kRelayModeRoom;
  d[7] = opaque;  // a byte the server passes on unchanged
  StoreU32(d.data() + kOffRelayPacketId, packet_id);
  d.insert(d.end(), payload.begin(), payload.end());
  SealRelay(d);
  return d;
}

Bytes RelayDatagramTo(uint16_t session_id, uint32_t packet_id, const Bytes& player_ids, const Bytes& payload) {
  Bytes list = {static_cast<uint8_t>(player_ids.size())};
  list.insert(list.end(), player_ids.begin(), player_ids.end());
  list.insert(list.end(), payload.begin(), payload.end());
  Bytes d = RelayDatagram(session_id, packet_id, list);
  d[kOffRelayTargetMode] = kRelayModeList;
  SealRelay(d);
  return d;
}

void SealRelay(Bytes& d) {
  StoreU16(d.data() + kOffLength, static_cast<uint16_t>(d.size()));
  StampRelayChecksum(d.data(), d.size());
}

// The server's own builder, whose bytes tests/unit/packets_test.cc pins down.
Bytes PingDatagram(uint16_t session_id, uint8_t kind, uint8_t value) {
  return BuildPingDatagram(session_id, kind, value);
}

}  // namespace pv::test
