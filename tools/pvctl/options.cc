#include "options.h"

#include <cstdlib>

#include "base/printf.h"
#include "output.h"

namespace pv::ctl {

namespace {

// The widest text a Text30 field carries; longer names and passwords would be cut on the way.
constexpr size_t kMaxText = 30;

// A decimal number in [low, high], or false.
bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t& out) {
  if (text.empty() || text.size() > 6) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

// The command words and their arguments, after the options.
std::string ParseCommand(const std::vector<std::string>& words, Options& out) {
  if (words.empty()) return "no command given";
  const std::string& verb = words[0];
  size_t want = 1;
  auto id_argument = [&](size_t at, const char* what) -> std::string {
    if (words.size() <= at) return Printf("%s needs %s", verb.c_str(), what);
    if (!ParseNumber(words[at], 1, 255, out.id)) return Printf("%s must be a number from 1 to 255", what);
    return {};
  };
  std::string error;
  if (verb == "info") {
    out.command = CommandKind::kInfo;
  } else if (verb == "players") {
    out.command = CommandKind::kPlayers;
  } else if (verb == "rooms") {
    out.command = CommandKind::kRooms;
  } else if (verb == "stats") {
    out.command = CommandKind::kServerStats;
    if (words.size() > 1) {
      out.command = CommandKind::kPlayerStats;
      error = id_argument(1, "PLAYER_ID");
      want = 2;
    }
  } else if (verb == "kick") {
    out.command = CommandKind::kKick;
    error = id_argument(1, "PLAYER_ID");
    want = 2;
  } else if (verb == "room") {
    want = 3;
    if (words.size() < 2) return "room needs create NAME or delete ROOM_ID";
    if (words[1] == "create") {
      out.command = CommandKind::kRoomCreate;
      if (words.size() < 3 || words[2].empty()) return "room create needs a NAME";
      if (words[2].size() > kMaxText) return Printf("a room name has at most %zu characters", kMaxText);
      // The server cuts a name at its first line break and the answer would name another room.
      if (HasControlCharacter(words[2])) return "a room name has no control characters";
      out.text = words[2];
    } else if (words[1] == "delete") {
      out.command = CommandKind::kRoomDelete;
      error = id_argument(2, "ROOM_ID");
    } else {
      return "room needs create NAME or delete ROOM_ID";
    }
  } else if (verb == "password") {
    want = 2;
    if (words.size() < 2) return "password needs server or admin";
    if (words[1] == "server") {
      out.command = CommandKind::kServerPassword;
    } else if (words[1] == "admin") {
      out.command = CommandKind::kAdminPassword;
    } else {
      return "password needs server or admin";
    }
  } else {
    return Printf("unknown command %s", verb.c_str());
  }
  if (!error.empty()) return error;
  if (words.size() > want) return Printf("unexpected argument %s", words[want].c_str());
  return {};
}

}  // namespace

bool NeedsAdmin(CommandKind kind) {
  switch (kind) {
    case CommandKind::kKick:
    case CommandKind::kRoomCreate:
    case CommandKind::kRoomDelete:
    case CommandKind::kServerPassword:
    case CommandKind::kAdminPassword:
      return true;
    default:
      return false;
  }
}

std::string ParseOptions(const std::vector<std::string>& args, Options& out) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-' || a[1] != '-') break;
    if (a == "--json") {
      out.json = true;
      continue;
    }
    if (a == "--help") {
      out.help = true;
      return {};
    }
    // --host H and --host=H alike.
    std::string key = a, value;
    size_t eq = a.find('=');
    if (eq != std::string::npos) {
      key = a.substr(0, eq);
      value = a.substr(eq + 1);
    } else if (key == "--host" || key == "--port" || key == "--name") {
      if (i + 1 >= args.size()) return Printf("%s needs a value", key.c_str());
      value = args[++i];
    }
    if (key == "--host") {
      if (value.empty()) return "--host needs a value";
      out.host = value;
    } else if (key == "--port") {
      int64_t port = 0;
      if (!ParseNumber(value, 1, 65535, port)) return "--port must be a number from 1 to 65535";
      out.port = static_cast<uint16_t>(port);
    } else if (key == "--name") {
      if (value.empty() || value.size() > kMaxText)
        return Printf("--name needs a name of 1 to %zu characters", kMaxText);
      out.name = value;
    } else {
      return Printf("unknown option %s", a.c_str());
    }
  }
  return ParseCommand(std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i), args.end()), out);
}

const char* UsageText() {
  return "usage: pvctl [--host H] [--port P] [--name N] [--json] COMMAND\n"
         "  info                              server name, version, players, rooms, uptime\n"
         "  players                           the players with their rooms, versions and statistics\n"
         "  rooms                             the rooms and the players in each\n"
         "  stats [PLAYER_ID]                 the server's statistics, or one player's\n"
         "  kick PLAYER_ID                    (administrator)\n"
         "  room create NAME | room delete ROOM_ID          (administrator)\n"
         "  password server | password admin  (administrator) new value from PVCTL_NEW_PASSWORD or a prompt\n"
         "Passwords: PVCTL_SERVER_PASSWORD and PVCTL_ADMIN_PASSWORD, or a prompt when stdin is a terminal.\n"
         "Exit codes: 0 done, 1 refused by the server, 2 usage, 3 no connection or no answer within 10 s.\n";
}

}  // namespace pv::ctl
