// Datagrams with a forged source, as an attacker on the network sends them: a raw IPv4 socket
// (IP_HDRINCL) writes the IP and UDP headers itself, so the source address and port are whatever
// the test names. Everything stays on 127.0.0.0/8. Needs root (CAP_NET_RAW); a test calls
// SkipUnlessForgeryPossible() first, which skips it, saying why, for other users.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/loopback_sockets.h"

namespace pv::test {

class ForgedUdp {
 public:
  ForgedUdp();
  // Empty when forging is possible; otherwise why not.
  const std::string& Unavailable() const { return why_not_; }
  // Sends `payload` to 127.0.0.1:`to_port` as if from `from_ip`:`from_port`.
  bool Send(const std::string& from_ip, uint16_t from_port, uint16_t to_port, const std::vector<uint8_t>& payload);

 private:
  Fd fd_;
  std::string why_not_;
};

}  // namespace pv::test

// Skips the current test unless `forged` can send (a GTEST_SKIP needs the test body's scope).
#define SKIP_UNLESS_FORGERY_POSSIBLE(forged)                                                    \
  do {                                                                                          \
    if (!(forged).Unavailable().empty())                                                        \
      GTEST_SKIP() << "forged sources need a raw socket (root): " << (forged).Unavailable();    \
  } while (0)
