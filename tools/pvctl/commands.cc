#include "commands.h"

#include <optional>
#include <utility>
#include <vector>

#include "base/printf.h"
#include "output.h"
#include "passwords.h"
#include "protocol/codes.h"
#include "session.h"

namespace pv::ctl {

namespace {

constexpr size_t kMaxPassword = 30;  // a Text30 field carries no more

struct Secrets {
  std::string admin;         // the administrator password, for the commands that need it
  std::string new_password;  // for password server | admin
};

std::string Secret(const char* variable, const char* prompt, const char* missing) {
  auto value = SecretFromEnvOrPrompt(variable, prompt);
  if (!value) throw Failure(kExitUsage, missing);
  // Cut to fit, a longer password would log in where only its first 30 characters are right.
  if (value->size() > kMaxPassword)
    throw Failure(kExitUsage, Printf("a password has at most %zu characters", kMaxPassword));
  return *value;
}

Secrets GatherSecrets(const Options& o) {
  Secrets s;
  if (o.command == CommandKind::kServerPassword || o.command == CommandKind::kAdminPassword) {
    bool from_env = std::getenv("PVCTL_NEW_PASSWORD") != nullptr;
    s.new_password = Secret("PVCTL_NEW_PASSWORD", "New password: ", "no new password: set PVCTL_NEW_PASSWORD");
    if (!from_env && Secret("PVCTL_NEW_PASSWORD", "Again: ", "the new password was not given again") != s.new_password)
      throw Failure(kExitUsage, "the two new passwords differ");
    // The server keeps a value up to its first line break; the rest would be lost unseen.
    if (HasControlCharacter(s.new_password)) throw Failure(kExitUsage, "a password has no control characters");
  }
  if (NeedsAdmin(o.command))
    s.admin = Secret("PVCTL_ADMIN_PASSWORD", "Administrator password: ",
                     "no administrator password: set PVCTL_ADMIN_PASSWORD");
  return s;
}

using Fields = std::vector<std::pair<const char*, uint64_t>>;

// The eight counters as the statistics packets carry them (their low 32 bits).
Fields TrafficFields(const TrafficSnapshot& t) {
  return {{"udp_packets_out", t.UdpPacketsOut}, {"udp_bytes_out", t.UdpBytesOut},
          {"udp_packets_in", t.UdpPacketsIn},   {"udp_bytes_in", t.UdpBytesIn},
          {"tcp_packets_out", t.TcpPacketsOut}, {"tcp_bytes_out", t.TcpBytesOut},
          {"tcp_packets_in", t.TcpPacketsIn},   {"tcp_bytes_in", t.TcpBytesIn}};
}

// Key/value lines for the text form: the key's underscores become blanks.
std::string KeyValues(const std::vector<std::pair<std::string, std::string>>& pairs) {
  Table t({"", ""});
  for (const auto& [key, value] : pairs) {
    std::string label = key;
    for (char& c : label)
      if (c == '_') c = ' ';
    t.Add({label, value});
  }
  std::string out = t.Render();
  return out.substr(out.find('\n') + 1);  // without the empty header line
}

ServerStatsData FetchServerStats(Session& s) {
  return client::ParseServerStats(
      s.Request(client::ServerStatsReq(), [](const client::ServerPacket& p) { return p.Code == kPktServerStats; }));
}

PlayerStatsData FetchPlayerStats(Session& s, int64_t id) {
  auto answer = s.Request(
      client::PlayerStatsReq(id),
      [id](const client::ServerPacket& p) {
        return (p.Code == kPktPlayerStats || p.Code == kPktPlayerStatsLegacy) &&
               client::ParsePlayerStats(p).Stats.PlayerId == id;
      },
      id);
  return client::ParsePlayerStats(answer).Stats;
}

// The players and rooms of the log-in's ServerInfo, pvctl's own record left out.
std::vector<PlayerInfo> OtherPlayers(const Session& s) {
  std::vector<PlayerInfo> out;
  for (const PlayerInfo& p : s.Info().Players)
    if (p.PlayerId != s.OwnPlayerId()) out.push_back(p);
  return out;
}

std::string Info(Session& s, bool json) {
  ServerStatsData stats = FetchServerStats(s);
  size_t players = OtherPlayers(s).size();
  size_t rooms = s.Info().Rooms.size();
  if (json) {
    JsonWriter w;
    w.BeginObject().Key("server_name").String(s.Login().ServerName).Key("version").String(stats.ServerVersion);
    w.Key("players").Number(static_cast<int64_t>(players)).Key("max_clients").Null();
    w.Key("rooms").Number(static_cast<int64_t>(rooms)).Key("uptime_ms").Number(stats.Uptime).EndObject();
    return w.Text() + "\n";
  }
  return KeyValues({{"server", SafeText(s.Login().ServerName)},
                    {"version", SafeText(stats.ServerVersion)},
                    {"players", std::to_string(players)},
                    {"rooms", std::to_string(rooms)},
                    {"uptime", FormatDuration(stats.Uptime) + " (whole days not counted)"}});
}

std::string Players(Session& s, bool json) {
  std::vector<PlayerInfo> players = OtherPlayers(s);
  // The version and the statistics come from PlayerStats; a player who left meanwhile has none.
  std::vector<std::optional<PlayerStatsData>> stats;
  for (const PlayerInfo& p : players) {
    try {
      stats.push_back(FetchPlayerStats(s, p.PlayerId));
    } catch (const Failure& f) {
      if (f.exit_code != kExitRefused) throw;
      stats.push_back(std::nullopt);
    }
  }
  JsonWriter w;
  w.BeginObject().Key("players").BeginArray();
  Table t({"ID", "NAME", "ROOM", "ADMIN", "VERSION", "CONNECTED", "IDLE", "PING", "LOSS"});
  for (size_t i = 0; i < players.size(); ++i) {
    const PlayerInfo& p = players[i];
    w.BeginObject().Key("id").Number(p.PlayerId).Key("name").String(p.ClientName);
    w.Key("room").Number(p.RoomId).Key("admin").Bool(p.IsAdmin);
    if (const auto& st = stats[i]) {
      w.Key("version").String(st->ClientVer).Key("connected_ms").Number(st->ConnectionTime);
      w.Key("idle_ms").Number(st->IdleTime).Key("ping_ms").Number(st->PingTime);
      w.Key("packet_loss_percent").Double(st->PacketLoss);
      t.Add({std::to_string(p.PlayerId), SafeText(p.ClientName), std::to_string(p.RoomId), p.IsAdmin ? "yes" : "no",
             SafeText(st->ClientVer), FormatDuration(st->ConnectionTime), FormatDuration(st->IdleTime),
             Printf("%lld ms", static_cast<long long>(st->PingTime)), Printf("%.2f %%", st->PacketLoss)});
    } else {
      w.Key("version").Null();
      t.Add({std::to_string(p.PlayerId), SafeText(p.ClientName), std::to_string(p.RoomId), p.IsAdmin ? "yes" : "no",
             "-", "-", "-", "-", "-"});
    }
    w.EndObject();
  }
  w.EndArray().EndObject();
  return json ? w.Text() + "\n" : t.Render();
}

std::string Rooms(Session& s, bool json) {
  std::vector<PlayerInfo> players = OtherPlayers(s);
  JsonWriter w;
  w.BeginObject().Key("rooms").BeginArray();
  Table t({"ID", "NAME", "PLAYERS"});
  for (const RoomInfo& r : s.Info().Rooms) {
    int64_t in_room = 0;
    for (const PlayerInfo& p : players) in_room += p.RoomId == r.RoomId ? 1 : 0;
    w.BeginObject().Key("id").Number(r.RoomId).Key("name").String(r.Name).Key("players").Number(in_room).EndObject();
    t.Add({std::to_string(r.RoomId), SafeText(r.Name), std::to_string(in_room)});
  }
  w.EndArray().EndObject();
  return json ? w.Text() + "\n" : t.Render();
}

std::string Stats(Session& s, const Options& o) {
  JsonWriter w;
  std::vector<std::pair<std::string, std::string>> lines;
  Fields traffic;
  w.BeginObject();
  if (o.command == CommandKind::kServerStats) {
    ServerStatsData st = FetchServerStats(s);
    w.Key("version").String(st.ServerVersion).Key("uptime_ms").Number(st.Uptime);
    lines = {{"version", SafeText(st.ServerVersion)}, {"uptime", FormatDuration(st.Uptime) + " (whole days not counted)"}};
    traffic = TrafficFields(st.Traffic);
  } else {
    PlayerStatsData st = FetchPlayerStats(s, o.id);
    w.Key("id").Number(o.id).Key("version").String(st.ClientVer).Key("connected_ms").Number(st.ConnectionTime);
    w.Key("idle_ms").Number(st.IdleTime).Key("ping_ms").Number(st.PingTime);
    w.Key("packet_loss_percent").Double(st.PacketLoss);
    lines = {{"player", std::to_string(o.id)},
             {"version", SafeText(st.ClientVer)},
             {"connected", FormatDuration(st.ConnectionTime)},
             {"idle", FormatDuration(st.IdleTime)},
             {"ping", Printf("%lld ms", static_cast<long long>(st.PingTime))},
             {"packet_loss", Printf("%.2f %%", st.PacketLoss)}};
    traffic = TrafficFields(st.Traffic);
  }
  for (const auto& [key, value] : traffic) {
    w.Key(key).Number(static_cast<int64_t>(value));
    lines.emplace_back(key, std::to_string(value));
  }
  w.EndObject();
  return o.json ? w.Text() + "\n" : KeyValues(lines);
}

// The administrator commands; each answers one line of text or a small JSON object.
std::string Administer(Session& s, const Options& o, const Secrets& secrets) {
  JsonWriter w;
  std::string text;
  w.BeginObject();
  switch (o.command) {
    case CommandKind::kKick: {
      // Success has no CommandReply: every player, pvctl included, hears PlayerLeft with reason 4.
      int64_t id = o.id;
      // pvctl's own player is left out of every list it prints: to the operator it is not there.
      if (id == s.OwnPlayerId()) throw Failure(kExitRefused, RefusalText(kReplyKickNoSuchPlayer, id));
      s.Request(client::AdminKickPlayer(id), [id](const client::ServerPacket& p) {
        if (p.Code != kPktPlayerLeft) return false;
        auto left = client::ParsePlayerLeft(p);
        return left.PlayerId == id && left.LeaveReason == static_cast<int>(LeaveReason::kKicked);
      }, id);
      w.Key("kicked").Number(id);
      text = Printf("kicked player %lld\n", static_cast<long long>(id));
      break;
    }
    case CommandKind::kRoomCreate: {
      std::string name = o.text;
      auto created = client::ParseRoomCreated(s.Request(client::AdminCreateRoom(name), [&name](const client::ServerPacket& p) {
        return p.Code == kPktRoomCreated && client::ParseRoomCreated(p).Name == name;
      }));
      w.Key("room").BeginObject().Key("id").Number(created.RoomId).Key("name").String(created.Name).EndObject();
      text = Printf("created room %lld %s\n", static_cast<long long>(created.RoomId), SafeText(created.Name).c_str());
      break;
    }
    case CommandKind::kRoomDelete: {
      int64_t id = o.id;
      s.Request(client::AdminDeleteRoom(id), [id](const client::ServerPacket& p) {
        return p.Code == kPktRoomDeleted && client::ParseRoomDeleted(p) == id;
      }, id);
      w.Key("deleted_room").Number(id);
      text = Printf("deleted room %lld\n", static_cast<long long>(id));
      break;
    }
    default: {
      bool server = o.command == CommandKind::kServerPassword;
      int16_t done = server ? kReplyServerPasswordChanged : kReplyAdminPasswordChanged;
      auto command = server ? client::AdminChangeServerPassword(secrets.new_password)
                            : client::AdminChangeAdminPassword(secrets.new_password);
      s.Request(command, [done](const client::ServerPacket& p) { return p.Code == done; });
      w.Key("changed").String(server ? "server_password" : "admin_password");
      text = server ? "server password changed\n" : "administrator password changed\n";
      break;
    }
  }
  w.EndObject();
  return o.json ? w.Text() + "\n" : text;
}

std::string Dispatch(Session& s, const Options& o, const Secrets& secrets) {
  switch (o.command) {
    case CommandKind::kInfo:
      return Info(s, o.json);
    case CommandKind::kPlayers:
      return Players(s, o.json);
    case CommandKind::kRooms:
      return Rooms(s, o.json);
    case CommandKind::kServerStats:
    case CommandKind::kPlayerStats:
      return Stats(s, o);
    default:
      s.BecomeAdmin(secrets.admin);
      return Administer(s, o, secrets);
  }
}

}  // namespace

std::string RunCommand(const Options& options) {
  Secrets secrets = GatherSecrets(options);
  Session session(options);
  session.Open();
  std::string out;
  try {
    out = Dispatch(session, options, secrets);
  } catch (const Failure& f) {
    // A refusal still ends the visit properly; a broken connection has nothing left to leave.
    if (f.exit_code == kExitRefused) session.Leave();
    throw;
  }
  session.Leave();
  return out;
}

}  // namespace pv::ctl
