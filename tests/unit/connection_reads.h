// Reading a test's connection the way the server's passes do: wait for the socket, take what
// has arrived, and stop with EIdConnClosedGracefully once the peer has closed and nothing is
// left. Bounded only by the peer, the connection's close or the test's own time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "net/tcp_connection.h"

namespace pv::testing {

inline std::string ReadString(TIdTCPConnection& connection, size_t n) {
  std::string out;
  while (out.size() < n) {
    uint8_t byte = 0;
    if (connection.ReadFromBuffer(&byte, 1) == 1) {
      out.push_back(static_cast<char>(byte));
      continue;
    }
    connection.PollInput(true);
    if (connection.InputSize() == 0) connection.WaitReady(false, std::chrono::milliseconds(100));
  }
  return out;
}

inline uint8_t ReadByte(TIdTCPConnection& connection) {
  return static_cast<uint8_t>(ReadString(connection, 1)[0]);
}

}  // namespace pv::testing
