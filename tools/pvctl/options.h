// pvctl's command line: the connection options and one command with its arguments, checked
// before anything is sent. Thread rules: none (plain values).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pv::ctl {

// How pvctl ends; other tools rely on these values.
constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConnection = 3;

enum class CommandKind { kInfo, kPlayers, kRooms, kServerStats, kPlayerStats, kKick, kRoomCreate, kRoomDelete,
                         kServerPassword, kAdminPassword };

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 8765;
  std::string name = "pvctl";
  bool json = false;
  bool help = false;
  CommandKind command = CommandKind::kInfo;
  int64_t id = 0;    // PLAYER_ID or ROOM_ID, 1..255
  std::string text;  // the name of a room to create
};

// True for the commands that log in as administrator.
bool NeedsAdmin(CommandKind kind);

// Parses argv[1..]. Returns an error text for the usage message, empty on success.
std::string ParseOptions(const std::vector<std::string>& args, Options& out);

// The usage text printed for --help and after a usage error.
const char* UsageText();

}  // namespace pv::ctl
