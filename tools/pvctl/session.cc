#include "session.h"

#include <cstdlib>

#include "base/printf.h"
#include "base/wire.h"
#include "passwords.h"
#include "protocol/codes.h"

namespace pv::ctl {

namespace {

// pvctl's version text: not the older client generation's, so the server sends the newer
// layouts (the administrator flag in ServerInfo, the version text in PlayerStats).
constexpr const char* kClientVersion = "pvctl 1.2.2";

client::Clock::time_point Deadline() { return client::Clock::now() + kAnswerWait; }

}  // namespace

bool IsRefusal(const client::ServerPacket& p) { return p.Length == kHeaderSize && p.Code < 0; }

std::string RefusalText(int16_t code, int64_t id) {
  switch (code) {
    case kPktServerFull:
      return "the server is full";
    case kPktBadServerPassword:
      return "wrong server password";
    case kReplyNotAdmin:
      return "not an administrator";
    case kReplyBadAdminPassword:
      return "wrong administrator password";
    case kReplyRoomExists:
      return "a room of that name already exists";
    case kReplyNoSuchRoom:
      return Printf("no room has id %lld", static_cast<long long>(id));
    case kReplyKickNoSuchPlayer:
    case kReplyStatsNoSuchPlayer:
      return Printf("no player has id %lld", static_cast<long long>(id));
    default:
      return Printf("refused by the server (code %d)", code);
  }
}

client::ServerPacket Session::Await(const std::function<bool(const client::ServerPacket&)>& is_answer,
                                    const char* what) {
  auto deadline = Deadline();
  // The clock is asked before every read: a server that never stops sending other packets must
  // not hold the wait open.
  while (client::Clock::now() < deadline) {
    auto p = connection_.Read(deadline);
    if (!p) break;
    if (!is_answer(*p)) continue;
    if (!client::HasItsLayoutsSize(*p))
      throw Failure(kExitConnection, Printf("the server sent a malformed %s (%s)", what, client::Describe(*p).c_str()));
    return *p;
  }
  if (client::Clock::now() >= deadline)
    throw Failure(kExitConnection, Printf("no %s from the server within %lld s", what,
                                          static_cast<long long>(kAnswerWait.count())));
  throw Failure(kExitConnection, Printf("the server closed the connection (waiting for %s)", what));
}

bool Session::TryLogin(const std::string& password) {
  std::string error = connection_.Connect(options_.host, options_.port, Deadline());
  if (!error.empty()) throw Failure(kExitConnection, error);
  if (!connection_.Send(client::ClientLogin(options_.name, password, kClientVersion)))
    throw Failure(kExitConnection, "the connection broke while logging in");
  client::ServerPacket answer = Await(
      [](const client::ServerPacket& p) {
        return p.Code == kPktLoginAccepted || p.Code == kPktServerFull || p.Code == kPktBadServerPassword;
      },
      "answer to the log-in");
  if (answer.Code == kPktBadServerPassword) {
    connection_.Close();
    return false;
  }
  if (answer.Code == kPktServerFull) throw Failure(kExitRefused, RefusalText(answer.Code, 0));
  login_ = client::ParseLoginAccepted(answer);
  if (!connection_.Send(client::ClientReady()))
    throw Failure(kExitConnection, "the connection broke while logging in");
  client::ServerPacket info = Await(
      [](const client::ServerPacket& p) { return p.Code == kPktServerInfo || p.Code == kPktServerInfoLegacy; },
      "server information");
  info_ = client::ParseServerInfo(info);
  return true;
}

void Session::Open() {
  const char* variable = "PVCTL_SERVER_PASSWORD";
  bool from_env = std::getenv(variable) != nullptr;
  // Without the variable, try no password first: most servers have none, and a prompt is
  // needed only when the server refuses.
  std::string password = from_env ? std::getenv(variable) : "";
  if (TryLogin(password)) return;
  if (!from_env && CanPrompt()) {
    auto typed = SecretFromEnvOrPrompt(variable, "Server password: ");
    if (typed && TryLogin(*typed)) return;
  }
  throw Failure(kExitRefused, from_env || CanPrompt() ? "wrong server password"
                                                      : "wrong server password (set PVCTL_SERVER_PASSWORD)");
}

void Session::BecomeAdmin(const std::string& password) {
  int own = OwnPlayerId();
  // A newer client learns of its success from PlayerIsAdmin with its own id; CommandReply 100
  // is the older generation's answer, accepted as well.
  Request(client::AdminLogin(password), [own](const client::ServerPacket& p) {
    return (p.Code == kPktPlayerIsAdmin && client::ParsePlayerIsAdmin(p) == own) ||
           (p.Length == kHeaderSize && p.Code == kReplyAdminLoginAccepted);
  });
}

client::ServerPacket Session::Request(const client::Bytes& command,
                                      const std::function<bool(const client::ServerPacket&)>& is_answer,
                                      int64_t id) {
  if (!connection_.Send(command)) throw Failure(kExitConnection, "the connection broke");
  client::ServerPacket answer =
      Await([&](const client::ServerPacket& p) { return IsRefusal(p) || is_answer(p); }, "answer");
  if (IsRefusal(answer)) throw Failure(kExitRefused, RefusalText(answer.Code, id));
  return answer;
}

void Session::Leave() {
  int own = OwnPlayerId();
  if (!connection_.Send(client::Leave())) return;
  // The server answers with PlayerLeft for this player and closes; either ends the wait.
  auto deadline = Deadline();
  while (client::Clock::now() < deadline) {
    auto p = connection_.Read(deadline);
    if (!p || (p->Code == kPktPlayerLeft && client::ParsePlayerLeft(*p).PlayerId == own)) break;
  }
  connection_.Close();
}

}  // namespace pv::ctl
