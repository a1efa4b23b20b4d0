// A blocking control connection with deadlines, for programs that talk to the server one
// command at a time (pvctl, pvbench's log-ins): connect, send a command in one write, read the
// server's packets cut by their Length field. Every wait ends at the deadline the caller gives.
//
// Thread rules: one thread uses a ControlConnection at a time; it owns its descriptor and closes
// it when destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "pvclient/client_packets.h"

namespace pv::client {

using Clock = std::chrono::steady_clock;

// Writes every byte (retrying short writes); false when the connection fails. Never raises SIGPIPE.
bool SendAll(int fd, const Bytes& bytes);
// The next packet from the server: its 8-byte header, then the rest by the header's Length (a
// Length below 8 is taken as 8). None when the deadline passes or the connection ends first.
std::optional<ServerPacket> ReadPacket(int fd, Clock::time_point deadline);

class ControlConnection {
 public:
  ControlConnection() = default;
  ~ControlConnection();
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  // Resolves host (a name or an IPv4/IPv6 address) and connects to the first address that
  // answers before the deadline. Returns an error text, empty on success.
  std::string Connect(const std::string& host, uint16_t port, Clock::time_point deadline);
  bool Send(const Bytes& bytes) { return fd_ >= 0 && SendAll(fd_, bytes); }
  std::optional<ServerPacket> Read(Clock::time_point deadline) { return ReadPacket(fd_, deadline); }
  // The first packet with one of the codes; packets with other codes (notifications) are skipped.
  std::optional<ServerPacket> AwaitCode(std::initializer_list<int16_t> codes, Clock::time_point deadline);
  // Hands the descriptor over to the caller, who closes it.
  int Release();
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace pv::client
