#include "monitoring/exposition.h"

#include "base/json_writer.h"
#include "base/printf.h"

namespace pv {

namespace {

// A label value: backslash, double quote and line feed escaped; other bytes above 0x7f are
// taken as Latin-1 and written as UTF-8, so the document stays valid UTF-8.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte >= 0x80) {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    } else {
      out += c;
    }
  }
  return out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += Printf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void Gauge(std::string& out, const char* name, const char* help, double value) {
  Family(out, name, "gauge", help);
  out += Printf("%s %.3f\n", name, value);
}

// Text for HTML: the markup characters as entities, bytes above 0x7f as Latin-1 characters,
// control characters as '?'.
std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += '?';
        } else if (byte >= 0x80) {
          out += Printf("&#%u;", static_cast<unsigned>(byte));
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string Duration(int64_t seconds) {
  return Printf("%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60));
}

// The players of one room (by RoomId), in ClientList order.
std::vector<const PlayerSnapshot*> PlayersIn(const MonitoringSnapshot& snap, int64_t room_id) {
  std::vector<const PlayerSnapshot*> out;
  for (const PlayerSnapshot& p : snap.players)
    if (p.room_id == room_id) out.push_back(&p);
  return out;
}

// Players whose room is not in the list: the room was deleted, or they asked for one that
// never existed (the server accepts any RoomId).
std::vector<const PlayerSnapshot*> PlayersElsewhere(const MonitoringSnapshot& snap) {
  std::vector<const PlayerSnapshot*> out;
  for (const PlayerSnapshot& p : snap.players) {
    bool listed = false;
    for (const RoomSnapshot& r : snap.rooms) listed = listed || r.id == p.room_id;
    if (!listed) out.push_back(&p);
  }
  return out;
}

void JsonPlayers(JsonWriter& w, const std::vector<const PlayerSnapshot*>& players) {
  w.BeginArray();
  for (const PlayerSnapshot* p : players) {
    w.BeginObject().Key("id").Number(p->id).Key("name").String(p->name).Key("admin").Bool(p->admin);
    w.Key("connected_seconds").Number(p->connected_seconds).EndObject();
  }
  w.EndArray();
}

void HtmlPlayers(std::string& out, const std::vector<const PlayerSnapshot*>& players) {
  if (players.empty()) {
    out += "<p class=\"empty\">nobody</p>\n";
    return;
  }
  out += "<table><tr><th>#</th><th>Player</th><th>Connected</th></tr>\n";
  for (const PlayerSnapshot* p : players) {
    out += Printf("<tr><td>%lld</td><td>%s%s</td><td>%s</td></tr>\n", static_cast<long long>(p->id),
                  Html(p->name).c_str(), p->admin ? " <span class=\"admin\">admin</span>" : "",
                  Duration(p->connected_seconds).c_str());
  }
  out += "</table>\n";
}

constexpr const char* kPageStyle =
    "body{font-family:sans-serif;margin:0 auto;padding:1em;max-width:40em;color:#222;background:#fafafa}"
    "h1{font-size:1.4em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.2em 0 .3em;border-bottom:1px solid #ccc}"
    ".meta{color:#555;font-size:.9em}table{border-collapse:collapse;width:100%}"
    "td,th{text-align:left;padding:.3em .4em;border-bottom:1px solid #e4e4e4}th{font-size:.85em;color:#555}"
    ".admin{background:#2a6;color:#fff;border-radius:.3em;padding:0 .3em;font-size:.8em}"
    ".empty{color:#888;font-style:italic;margin:.2em 0}";

}  // namespace

std::string MetricsText(const MonitoringSnapshot& snap) {
  std::string out;
  Gauge(out, "parleyvox_clients", "Clients logged in.", static_cast<double>(snap.players.size()));
  Gauge(out, "parleyvox_max_clients", "The MaxClients setting.", static_cast<double>(snap.max_clients));
  Gauge(out, "parleyvox_rooms", "Rooms.", static_cast<double>(snap.rooms.size()));
  Gauge(out, "parleyvox_uptime_seconds", "Seconds since the server started.", snap.uptime_seconds);
  const std::vector<CounterSeries>& table = CounterTable();
  for (size_t i = 0; i < table.size() && i < snap.counters.size(); ++i) {
    const CounterSeries& s = table[i];
    if (i == 0 || std::string(table[i - 1].family) != s.family) Family(out, s.family, "counter", s.help);
    out += s.labels[0] ? Printf("%s{%s} %llu\n", s.family, s.labels, static_cast<unsigned long long>(snap.counters[i]))
                       : Printf("%s %llu\n", s.family, static_cast<unsigned long long>(snap.counters[i]));
  }
  Family(out, "parleyvox_build_info", "gauge", "The server's version and shell; the value is always 1.");
  out += Printf("parleyvox_build_info{version=\"%s\",file_version=\"%s\",shell=\"%s\"} 1\n",
                LabelValue(snap.version).c_str(), LabelValue(snap.file_version).c_str(),
                snap.desktop ? "desktop" : "service");
  return out;
}

std::string StatusJson(const MonitoringSnapshot& snap) {
  JsonWriter w;
  w.BeginObject().Key("server_name").String(snap.server_name).Key("version").String(snap.version);
  w.Key("uptime_seconds").Number(static_cast<int64_t>(snap.uptime_seconds));
  w.Key("clients").Number(static_cast<int64_t>(snap.players.size())).Key("max_clients").Number(snap.max_clients);
  w.Key("rooms").BeginArray();
  for (const RoomSnapshot& r : snap.rooms) {
    w.BeginObject().Key("id").Number(r.id).Key("name").String(r.name).Key("players");
    JsonPlayers(w, PlayersIn(snap, r.id));
    w.EndObject();
  }
  w.EndArray().Key("players_in_no_room");
  JsonPlayers(w, PlayersElsewhere(snap));
  w.EndObject();
  return w.Text() + "\n";
}

std::string StatusPage(const MonitoringSnapshot& snap) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"10\">";
  out += "<title>" + Html(snap.server_name) + "</title><style>" + kPageStyle + "</style></head><body>\n";
  out += "<h1>" + Html(snap.server_name) + "</h1>\n";
  out += Printf("<p class=\"meta\">%s &middot; up %s &middot; %zu of %lld players</p>\n", Html(snap.version).c_str(),
                Duration(static_cast<int64_t>(snap.uptime_seconds)).c_str(), snap.players.size(),
                static_cast<long long>(snap.max_clients));
  for (const RoomSnapshot& r : snap.rooms) {
    out += Printf("<h2>%s</h2>\n", Html(r.name).c_str());
    HtmlPlayers(out, PlayersIn(snap, r.id));
  }
  std::vector<const PlayerSnapshot*> elsewhere = PlayersElsewhere(snap);
  if (!elsewhere.empty()) {
    out += "<h2>In no listed room</h2>\n";
    HtmlPlayers(out, elsewhere);
  }
  out += "</body></html>\n";
  return out;
}

}  // namespace pv
