// A control connection as a real client makes it, for end-to-end tests. Connect opens a TCP
// connection to 127.0.0.1; a reader thread cuts what the server sends into packets and queues
// them; the Wait functions take packets from that queue with a deadline. Send writes a command
// in one send() and then pauses briefly, as real clients do: the server takes everything that
// has arrived by the time it reads as one packet.
//
// Thread rules: one test thread uses a TestClient; the reader thread is internal. Destroying the
// client closes the connection and joins the reader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/client_packets.h"
#include "support/test_udp.h"

namespace pv::test {

using Ms = std::chrono::milliseconds;

constexpr Ms kDefaultWait{3000};
// The pause after each command on one connection.
constexpr Ms kSendPause{30};

class TestClient {
 public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects to 127.0.0.1:port and starts the reader. False (with the reason in a test failure)
  // when the connection cannot be made. `from` binds the client to another loopback address
  // first (127.0.0.2 stands for another host).
  bool Connect(uint16_t port, const std::string& from = "");
  // Writes the bytes in one send() and pauses kSendPause. False when the send fails.
  bool Send(const Bytes& bytes);
  // The same without the pause, for clients that send as fast as they can.
  bool SendNow(const Bytes& bytes);

  // The first queued or arriving packet that matches, taken out of the queue; packets before it
  // stay queued. On timeout (or when the server closed the connection and nothing matches) a
  // test failure naming `what` is recorded and none is returned.
  std::optional<ServerPacket> WaitFor(int16_t code, Ms timeout = kDefaultWait);
  std::optional<ServerPacket> WaitFor(const std::function<bool(const ServerPacket&)>& match,
                                      Ms timeout = kDefaultWait, const std::string& what = "");
  // As WaitFor, without recording a failure: for packets that may or may not come.
  std::optional<ServerPacket> TryWaitFor(const std::function<bool(const ServerPacket&)>& match,
                                         Ms timeout);
  // Waits the whole timeout (less if the server closes the connection), then takes every queued
  // packet, oldest first.
  std::vector<ServerPacket> CollectAll(Ms timeout);

  // ClientLogin, then its answer; when accepted, ClientReady and ServerInfo. True when both
  // came. Remembers PlayerId from ServerInfo; SessionId is remembered by the reader from the
  // first packet that carries one.
  bool Login(std::string_view name, std::string_view password = "",
             std::string_view version = "1.2.1", Ms timeout = kDefaultWait);
  // ClientReady, then the ServerInfo it brings (either layout), parsed; none on time-out.
  std::optional<ServerInfoMsg> AskServerInfo(Ms timeout = kDefaultWait);
  uint16_t SessionId() const;
  int PlayerId() const { return player_id_; }
  // The answer Login got (LoginAccepted, ServerFull or BadServerPassword) and the ServerInfo.
  const std::optional<ServerPacket>& LoginAnswer() const { return login_answer_; }
  const std::optional<ServerInfoMsg>& LoginServerInfo() const { return server_info_; }

  // True when the server closes (or resets) the connection within the timeout.
  bool IsClosedByServer(Ms timeout = kDefaultWait);
  // Closes the connection from the client side and joins the reader.
  void Close();

 private:
  void ReadLoop();

  int fd_ = -1;
  std::thread reader_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<ServerPacket> queue_;   // guarded by mu_
  bool closed_ = false;              // guarded by mu_: the stream ended
  bool closing_ = false;             // guarded by mu_: Close() ended it, not the server
  uint16_t session_id_ = 0;          // guarded by mu_
  int player_id_ = 0;
  std::optional<ServerPacket> login_answer_;
  std::optional<ServerInfoMsg> server_info_;
};

}  // namespace pv::test
