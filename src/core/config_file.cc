#include "core/config_file.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <type_traits>
#include <variant>

#include "base/ascii.h"
#include "base/errors.h"
#include "base/sync.h"
#include "core/atomic_file.h"
#include "core/ini_file.h"

namespace pv {
namespace {

// The one lock of every write to the configuration file (a leaf lock, see the header).
Mutex& WriteLock() {
  static Mutex lock;
  return lock;
}

using Field = std::variant<std::string Settings::*, int32_t Settings::*, bool Settings::*>;

struct Key {
  const char* section;
  const char* name;
  Field field;
};

// The keys of [Passwords] through [WebStatus], in the order they are read and rewritten.
const Key kKeys[] = {
    {"Passwords", "ServerPassword", &Settings::ServerPassword},
    {"Passwords", "AdminPassword", &Settings::AdminPassword},
    {"General", "Servername", &Settings::Servername},
    {"General", "MaxClients", &Settings::MaxClients},
    {"Networking", "TCPPort", &Settings::TCPPort},
    {"Networking", "IP", &Settings::IP},
    {"Ping", "MaxPingTries", &Settings::MaxPingTries},
    {"Ping", "PingWaitTime", &Settings::PingWaitTime},
    {"Ping", "IdleTimeBeforePing", &Settings::IdleTimeBeforePing},
    {"WebStatus", "Active", &Settings::WebStatusActive},
    {"WebStatus", "ParleyvoxSite_Active", &Settings::ParleyvoxSite_Active},
    {"WebStatus", "ParleyvoxSite_DisplayInWebList", &Settings::ParleyvoxSite_DisplayInWebList},
    {"WebStatus", "WebPostURL", &Settings::WebPostURL},
    {"WebStatus", "WebPostLinkUrl", &Settings::WebPostLinkUrl},
};

// The sections a rewrite replaces, in the order they are erased. [Channels] is left alone.
const char* const kRewrittenSections[] = {"Passwords", "Version",    "General",
                                          "Networking", "Ping",      "WebStatus"};


// The text to store so that a read gives `value` back. A read trims blanks at both ends and then
// removes one pair of equal quotes around what is left, so a value with a blank at either end,
// or one that is itself wrapped in a pair of equal quotes (a password " pw ", a room "'A'"), is
// stored inside a pair of double quotes; without them it would lose its blanks or its quotes at
// the next start (or the next layout rewrite). Every other value is stored as it is.
std::string StoredForm(const std::string& value) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n' || c == '\x1a'; };
  bool edge_blank = !value.empty() && (blank(value.front()) || blank(value.back()));
  bool quoted = value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'');
  return edge_blank || quoted ? '"' + value + '"' : value;
}

// Reads one key with the setting's current value as the default.
void ReadKey(const IniFile& file, const Key& key, Settings& settings) {
  std::visit(
      [&](auto member) {
        auto& value = settings.*member;
        using T = std::remove_reference_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>)
          value = file.ReadString(key.section, key.name, value);
        else if constexpr (std::is_same_v<T, int32_t>)
          value = file.ReadInteger(key.section, key.name, value);
        else
          value = file.ReadBool(key.section, key.name, value);
      },
      key.field);
}

void WriteKey(IniFile& file, const Key& key, const Settings& settings) {
  std::visit(
      [&](auto member) {
        const auto& value = settings.*member;
        using T = std::remove_cv_t<std::remove_reference_t<decltype(value)>>;
        if constexpr (std::is_same_v<T, std::string>)
          file.WriteString(key.section, key.name, StoredForm(value));
        else if constexpr (std::is_same_v<T, int32_t>)
          file.WriteInteger(key.section, key.name, value);
        else
          file.WriteBool(key.section, key.name, value);
      },
      key.field);
}

// A post address without "http://" anywhere (in any letter case) gets it in front; an empty
// one becomes "http://". An address that starts with "https://" is posted over TLS as it is.
void NormaliseWebPostURL(std::string& url) {
  std::string upper = AsciiUpper(url);
  if (upper.rfind("HTTPS://", 0) == 0) return;
  if (upper.find("HTTP://") == std::string::npos) url = "http://" + url;
}

// The start-up rooms: [Channels] "0", "1", ... up to the first missing or empty name.
void CreateRooms(const IniFile& file, const std::function<void(const std::string&)>& create_room) {
  size_t created = 0;
  for (;; ++created) {
    std::string name = file.ReadString("Channels", std::to_string(created), "");
    if (name.empty()) break;
    create_room(name);
  }
  if (created == 0) create_room("Default");
}

// Rewrites the file in the current layout when its ServerVersion is not exactly this one.
void UpgradeLayout(const std::string& path, const Settings& settings) {
  MutexLock hold(WriteLock());
  IniFile file(path);  // read afresh under the lock: nothing may slip in between
  if (file.ReadString("Version", "ServerVersion", "") == kLayoutVersion) return;
  for (const char* section : kRewrittenSections) file.EraseSection(section);
  file.WriteString("Version", "ServerVersion", kLayoutVersion);
  // Every value as read (or its default). That includes the server password: writing it empty
  // would silently drop a configured password at the next start.
  for (const Key& key : kKeys) WriteKey(file, key, settings);
  file.UpdateFile();
}

void SavePassword(const std::string& path, const char* key, const std::string& value) {
  MutexLock hold(WriteLock());
  IniFile file(path);
  file.WriteString("Passwords", key, StoredForm(value));
  file.UpdateFile();
}

}  // namespace

std::string IniSafeText(std::string text) {
  text.resize(std::min(text.size(), text.find_first_of(std::string_view("\r\n\0", 3))));
  return text;
}

void LoadConfig(const std::string& path, Settings& settings,
                const std::function<void(const std::string& name)>& create_room) {
  // A writer killed in the middle left its temporary copy (holding the passwords) behind.
  RemoveStaleTemporaries(WriteTarget(path));
  {
    IniFile file(path);
    for (const Key& key : kKeys) ReadKey(file, key, settings);
    // Optional keys: read with their safe defaults, left out of kKeys so that no rewrite ever
    // adds them and a new file's bytes stay as they are.
    settings.UdpFollowsTcpAddress = file.ReadBool("Security", "UdpFollowsTcpAddress", settings.UdpFollowsTcpAddress);
    settings.MonitoringListen = file.ReadString("Monitoring", "Listen", settings.MonitoringListen);
    NormaliseWebPostURL(settings.WebPostURL);
    CreateRooms(file, create_room);  // takes the room list's lock: not under the write lock
  }
  UpgradeLayout(path, settings);
  int32_t udp_port = 0;
  if (__builtin_add_overflow(settings.TCPPort, 1, &udp_port)) throw EIntOverflow();
  settings.UDPPort = udp_port;
}

void SaveServerPassword(const std::string& path, const std::string& value) {
  SavePassword(path, "ServerPassword", value);
}

void SaveAdminPassword(const std::string& path, const std::string& value) {
  SavePassword(path, "AdminPassword", value);
}

void SaveRooms(const std::string& path, const std::vector<std::string>& names) {
  MutexLock hold(WriteLock());
  IniFile file(path);
  // Erase and writes go to disk as one replacement: a crash never leaves the rooms half saved.
  file.EraseSection("Channels");
  // The start reads names up to the first empty one: a room without a name is left out, so the
  // keys stay "0".."n-1" and the rooms after it are not lost at the next start.
  size_t key = 0;
  for (const std::string& name : names)
    if (!name.empty()) file.WriteString("Channels", std::to_string(key++), StoredForm(name));
  file.UpdateFile();
}

}  // namespace pv
