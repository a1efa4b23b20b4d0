// A client as the UDP end-to-end tests use it: its control connection and its UDP socket.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_client.h"

namespace pv::test {

struct Peer {
  std::string name;
  std::unique_ptr<TestClient> tcp = std::make_unique<TestClient>();
  std::unique_ptr<TestUdp> udp = std::make_unique<TestUdp>();
  uint16_t sid = 0;
  int player_id = 0;
  uint32_t next_id = 1;

  // Connects to the server's TCP port and logs in as `peer_name`; remembers the ids.
  void LogIn(int tcp_port, const std::string& peer_name) {
    name = peer_name;
    EXPECT_TRUE(udp->Ok());
    EXPECT_TRUE(tcp->Connect(static_cast<uint16_t>(tcp_port)));
    EXPECT_TRUE(tcp->Login(name));
    sid = tcp->SessionId();
    player_id = tcp->PlayerId();
  }
};

}  // namespace pv::test
