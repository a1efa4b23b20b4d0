#include "support/test_udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/crc32.h"
#include "base/wire.h"
#include "sessions/datagrams.h"

namespace pv::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// Fills length and checksum of a relay datagram whose other fields are written.
void Seal(Bytes& d) {
  StoreU16(d.data() + kOffDgLength, static_cast<uint16_t>(d.size()));
  StoreU32(d.data() + kOffRelayChecksum, 0);
  StoreU32(d.data() + kOffRelayChecksum, Crc32(d.data(), d.size()));
}

Bytes RelayHeader(uint16_t session_id, uint8_t mode, uint8_t opaque, uint32_t packet_id) {
  Bytes d(kRelayHeaderSize, 0);
  StoreU16(d.data() + kOffDgMagic, kRelayMagic);
  StoreU16(d.data() + kOffDgSessionId, session_id);
  d[kOffRelayTargetMode] = mode;
  d[kOffRelayOpaque] = opaque;
  StoreU32(d.data() + kOffRelayPacketId, packet_id);
  return d;
}

}  // namespace

TestUdp::TestUdp() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    ADD_FAILURE() << "udp socket: " << std::strerror(errno);
    return;
  }
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "udp bind 127.0.0.1:0: " << std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(addr.sin_port);
}

TestUdp::~TestUdp() {
  if (fd_ >= 0) ::close(fd_);
}

bool TestUdp::SendTo(uint16_t port, const Bytes& bytes) {
  if (fd_ < 0) return false;
  sockaddr_in to = Loopback(port);
  ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to);
  return n == static_cast<ssize_t>(bytes.size());
}

std::optional<Bytes> TestUdp::Receive(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    Bytes buf(kMaxDatagramSize + 1);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from),
                           &len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    last_source_port_ = ntohs(from.sin_port);
    return buf;
  }
}

Bytes RelayDatagram(uint16_t session_id, uint32_t packet_id, const Bytes& payload,
                    uint8_t opaque) {
  Bytes d = RelayHeader(session_id, kRelayModeRoom, opaque, packet_id);
  d.insert(d.end(), payload.begin(), payload.end());
  Seal(d);
  return d;
}

Bytes RelayDatagramTo(uint16_t session_id, uint32_t packet_id, const Bytes& player_ids,
                      const Bytes& payload, uint8_t opaque) {
  Bytes d = RelayHeader(session_id, kRelayModeList, opaque, packet_id);
  d.push_back(static_cast<uint8_t>(player_ids.size()));
  d.insert(d.end(), player_ids.begin(), player_ids.end());
  d.insert(d.end(), payload.begin(), payload.end());
  Seal(d);
  return d;
}

Bytes PingDatagram(uint16_t session_id, uint8_t kind, uint8_t value) {
  Bytes d(kPingDatagramSize, 0);
  StoreU16(d.data() + kOffDgMagic, kPingMagic);
  StoreU16(d.data() + kOffDgSessionId, session_id);
  StoreU16(d.data() + kOffDgLength, static_cast<uint16_t>(kPingDatagramSize));
  d[kOffPingKind] = kind;
  d[kOffPingValue] = value;
  StoreU32(d.data() + kOffPingTrailer, kPingTrailer);
  return d;
}

bool RelayChecksumValid(const Bytes& datagram) {
  if (datagram.size() < kRelayHeaderSize) return false;
  Bytes copy = datagram;
  uint32_t sent = LoadU32(copy.data() + kOffRelayChecksum);
  StoreU32(copy.data() + kOffRelayChecksum, 0);
  return Crc32(copy.data(), copy.size()) == sent;
}

}  // namespace pv::test
