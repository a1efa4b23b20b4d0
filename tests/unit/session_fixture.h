// Helpers of the unit tests: sessions of an unstarted server object, each on
// a real loopback TCP pair so that what the server writes to it can be read back, and an event
// log captured in a temporary file.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>

#include "base/event_log.h"
#include "core/server.h"
#include "sessions/server_client.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "support/loopback_sockets.h"
#include "support/server_process.h"

namespace pv::test {

// One session whose connection's far end the test holds.
class FakeSession {
 public:
  FakeSession(TParleyvoxServer& server, const std::string& name, int32_t session_id, uint8_t player_index) {
    TcpPair pair = MakeTcpPair();
    client_ = std::move(pair.client);
    peer_ = std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(pair.server.Release(), "127.0.0.1"));
    session_ = std::make_shared<TServerClient>(server, peer_);
    session_->ClientName = name;
    session_->SessionId = session_id;
    session_->PlayerIndex = player_index;
  }
  TServerClient& operator*() const { return *session_; }
  TServerClient* operator->() const { return session_.get(); }
  const SessionPtr& Ptr() const { return session_; }
  TIdPeerThread& Thread() const { return *peer_; }
  // Small socket buffers on both ends, so that little is in flight when the client stops reading.
  void ShrinkBuffers() {
    int size = 4096;
    setsockopt(session_->Connection().Handle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(client_.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  // What the server wrote to the connection so far (waits briefly for the first bytes).
  std::string Received(std::chrono::milliseconds wait = std::chrono::milliseconds(200)) {
    return ReceiveSome(client_.Get(), 4096, wait);
  }

 private:
  Fd client_;
  std::shared_ptr<TIdPeerThread> peer_;
  SessionPtr session_;
};

// Sends the event log to a file of its own for the life of the object.
class LogCapture {
 public:
  LogCapture() : saved_(GetLogFileName()) { SetLogFileName(dir_.File("test.log")); }
  ~LogCapture() { SetLogFileName(saved_); }
  std::string Path() const { return dir_.File("test.log"); }
  std::string Text() const { return dir_.Read("test.log"); }
  bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }

 private:
  TempDir dir_;
  std::string saved_;
};

}  // namespace pv::test
