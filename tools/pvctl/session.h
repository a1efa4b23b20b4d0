// pvctl's visit to the server: connect, log in as a player (ClientLogin, ClientReady), log in as
// administrator when the command needs it, send requests one at a time and wait for each answer,
// and leave with ClientLeave. Every wait is bounded (kAnswerWait). A refusal or a lost connection
// is thrown as a Failure carrying pvctl's exit code and the message for stderr.
//
// Thread rules: one thread.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "options.h"
#include "pvclient/control_connection.h"

namespace pv::ctl {

constexpr std::chrono::seconds kAnswerWait{10};

struct Failure : std::runtime_error {
  Failure(int code, const std::string& message) : std::runtime_error(message), exit_code(code) {}
  int exit_code;
};

// What the server says when it refuses: a bare header (Length 8) with a negative code, as
// CommandReply, ServerFull and BadServerPassword are.
bool IsRefusal(const client::ServerPacket& p);
// The message for a refusal code; `id` is the player or room the request named.
std::string RefusalText(int16_t code, int64_t id);

class Session {
 public:
  explicit Session(const Options& options) : options_(options) {}

  // Connects and logs in; the server password is asked for only when the server wants one.
  void Open();
  // AdminLogin with the administrator password. Throws on a refusal.
  void BecomeAdmin(const std::string& password);
  // Sends one command and returns the first packet that `is_answer` accepts, skipping the
  // notifications in between. A refusal (see IsRefusal) is thrown with RefusalText(code, id).
  client::ServerPacket Request(const client::Bytes& command,
                               const std::function<bool(const client::ServerPacket&)>& is_answer, int64_t id = 0);
  // ClientLeave, then a bounded wait for the server to confirm or close; errors do not matter now.
  void Leave();

  const client::LoginAcceptedMsg& Login() const { return login_; }
  // The ServerInfo of the log-in; pvctl's own record is in it.
  const client::ServerInfoMsg& Info() const { return info_; }
  int OwnPlayerId() const { return info_.PlayerId; }

 private:
  // One log-in attempt; false when the server refused the password (the connection is closed).
  bool TryLogin(const std::string& password);
  client::ServerPacket Await(const std::function<bool(const client::ServerPacket&)>& is_answer, const char* what);

  const Options& options_;
  client::ControlConnection connection_;
  client::LoginAcceptedMsg login_;
  client::ServerInfoMsg info_;
};

}  // namespace pv::ctl
