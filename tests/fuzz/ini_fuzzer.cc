// The INI layer on arbitrary file bytes: the configuration is loaded as at start-up (half of
// the inputs), then the fuzzer's reads, writes, section erases and file updates run on the file.
//
// The input: a u16 count and that many file bytes; one byte whose low bit asks for the start-up
// load; then steps, each a byte whose low two bits say what (0 read, 1 write, 2 erase, 3 put
// the edits on disk and read the file again) and whose other bits pick a section and a key
// from the server's own names; a write's value follows as a count byte and the bytes.
//
// Invariants: a value written is read back unchanged (a value that reading could not give back
// at all is exempt: line breaks, a NUL, blanks at either end, a pair of quotes around it, more
// than 2047 bytes); a write or an erase never changes a value of another key or another section
// (a value with a line break, which the file stores as written, is exempt); the file on disk
// reads as the edited copy does; a start-up load of the file it leaves reads the same settings.
// Steps after the 24th are ignored.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/ascii.h"
#include "core/config_file.h"
#include "core/ini_file.h"
#include "core/settings.h"
#include "fuzz_support.h"
#include "support/ini_files.h"

namespace pv::fuzz {
namespace {

constexpr std::array<std::string_view, 8> kSections = {"Passwords", "General",  "Networking", "Ping",
                                                       "WebStatus", "Channels", "Version",    "s"};
constexpr std::array<std::string_view, 8> kKeys = {"ServerPassword", "AdminPassword", "Servername", "TCPPort",
                                                   "0",              "1",             "ServerVersion", "k"};
constexpr std::string_view kAbsent = "\x01 absent";
constexpr int kMaxSteps = 24;

using Snapshot = std::vector<std::string>;  // every section's every key, in table order

Snapshot Take(const IniFile& ini) {
  Snapshot values;
  for (auto section : kSections)
    for (auto key : kKeys) values.push_back(ini.ReadString(section, key, kAbsent));
  return values;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

bool HasLineBreak(std::string_view v) { return v.find_first_of("\r\n") != std::string_view::npos; }

// Whether reading can give the value back as it is.
bool ReadsBack(std::string_view v) {
  if (v.size() > 2047 || HasLineBreak(v) || v.find('\0') != std::string_view::npos) return false;
  if (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back()))) return false;
  bool quoted = v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'');
  return !quoted;
}

// Every value of `before` and `after` agrees outside `section` (outside its `key` when one is given).
void CheckOthersKept(const Snapshot& before, const Snapshot& after, std::string_view section,
                     std::optional<std::string_view> key, const char* what) {
  size_t i = 0;
  for (auto s : kSections)
    for (auto k : kKeys) {
      bool exempt = SameAsciiIgnoringCase(s, section) && (!key || SameAsciiIgnoringCase(k, *key));
      if (!exempt && before[i] != after[i])
        Fail(std::string(what) + " changed [" + std::string(s) + "] " + std::string(k));
      ++i;
    }
}

// The loaded settings that two start-up loads must agree on.
auto FromFile(const Settings& s) {
  return std::tie(s.ServerPassword, s.AdminPassword, s.Servername, s.MaxClients, s.TCPPort, s.IP, s.MaxPingTries,
                  s.PingWaitTime, s.IdleTimeBeforePing, s.WebStatusActive, s.ParleyvoxSite_Active,
                  s.ParleyvoxSite_DisplayInWebList, s.WebPostURL, s.WebPostLinkUrl, s.UDPPort, s.ServerVersion);
}

// The start-up load twice: the first may rewrite the file (another layout version); the
// second must then read exactly what the first read, rooms included.
void CheckStartUpLoad(const std::string& path) {
  Settings first, second;
  std::vector<std::string> rooms_first, rooms_second;
  LoadConfig(path, first, [&](const std::string& name) { rooms_first.push_back(name); });
  LoadConfig(path, second, [&](const std::string& name) { rooms_second.push_back(name); });
  Check(FromFile(first) == FromFile(second), "the file written at start-up reads other settings");
  Check(rooms_first == rooms_second, "the file written at start-up reads other rooms");
}

}  // namespace
}  // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pv;
  using namespace pv::fuzz;
  const std::string path = WorkDir() + "fuzz.ini";
  ByteReader in(data, size);
  if (!test::PutFile(path, std::string(in.Bytes(in.U16())))) Fail("cannot write " + path);
  if (in.U8() & 1) CheckStartUpLoad(path);
  IniFile ini(path);
  Snapshot now = Take(ini);
  // Each step re-reads every key of the table; a bounded count keeps an input cheap.
  for (int steps = 0; steps < kMaxSteps && !in.Empty(); ++steps) {
    uint8_t step = in.U8();
    std::string_view section = kSections[(step >> 2) & 7];
    std::string_view key = kKeys[(step >> 5) & 7];
    switch (step & 3) {
      case 0:
        (void)ini.ReadInteger(section, key, -1);
        (void)ini.ReadBool(section, key, true);
        break;
      case 1: {
        std::string value(in.Bytes(in.U8()));
        ini.WriteString(section, key, value);
        Snapshot after = Take(ini);
        if (ReadsBack(value))
          Check(ini.ReadString(section, key, kAbsent) == value, "a value written reads back otherwise");
        if (!HasLineBreak(value)) CheckOthersKept(now, after, section, key, "a write");
        now = after;
        break;
      }
      case 2: {
        ini.EraseSection(section);
        Snapshot after = Take(ini);
        CheckOthersKept(now, after, section, std::nullopt, "an erase");
        now = after;
        break;
      }
      default: {
        ini.UpdateFile();
        Check(Take(IniFile(path)) == now, "the file on disk reads otherwise than the edited copy");
        break;
      }
    }
  }
  return 0;
}
