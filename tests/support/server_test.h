// The fixture of the end-to-end suites that talk to a running server: one server of the test's
// own, stopped cleanly (exit code 0) at the end, and clients connected and logged in to it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/test_client.h"

namespace pv::test {

class ServerTest : public ::testing::Test {
 protected:
  void StartServer(IniSettings ini = {}) {
    server_ = std::make_unique<ServerProcess>(std::move(ini));
    ASSERT_TRUE(server_->Start());
  }
  void TearDown() override {
    clients_.clear();
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
  }
  // A connected client, logged in unless `name` is empty; `from` is TestClient::Connect's.
  TestClient& Client(const std::string& name = "", const std::string& version = "1.2.1",
                     const std::string& password = "", const std::string& from = "") {
    clients_.push_back(std::make_unique<TestClient>());
    TestClient& c = *clients_.back();
    EXPECT_TRUE(c.Connect(static_cast<uint16_t>(server_->TcpPort()), from));
    if (!name.empty()) {
      EXPECT_TRUE(c.Login(name, password, version));
    }
    return c;
  }
  // A client logged in as administrator (a "1.2.0" client is told so by a command reply).
  TestClient& Admin(const std::string& name = "admin", const std::string& version = "1.2.1") {
    TestClient& c = Client(name, version);
    c.Send(AdminLogin("vimbo"));
    EXPECT_TRUE(c.WaitFor(version == "1.2.0" ? kReplyAdminLoginAccepted : kPktPlayerIsAdmin));
    return c;
  }
  static std::function<bool(const ServerPacket&)> LeftOf(int player_id) {
    return [player_id](const ServerPacket& p) {
      return p.Code == kPktPlayerLeft && ParsePlayerLeft(p).PlayerId == player_id;
    };
  }
  static std::function<bool(const ServerPacket&)> JoinOf(const std::string& name) {
    return [name](const ServerPacket& p) {
      return p.Code == kPktPlayerJoined && ParsePlayerJoined(p).ClientName == name;
    };
  }
  static std::function<bool(const ServerPacket&)> IsAdminOf(int player_id) {
    return [player_id](const ServerPacket& p) {
      return p.Code == kPktPlayerIsAdmin && ParsePlayerIsAdmin(p) == player_id;
    };
  }
  static int Count(const std::vector<ServerPacket>& packets, int16_t code) {
    return static_cast<int>(std::count_if(packets.begin(), packets.end(), [&](auto& p) { return p.Code == code; }));
  }

  std::unique_ptr<ServerProcess> server_;
  std::vector<std::unique_ptr<TestClient>> clients_;
};

}  // namespace pv::test
