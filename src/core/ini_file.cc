#include "core/ini_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "base/ascii.h"
#include "base/printf.h"
#include "core/atomic_file.h"

namespace pv {
namespace {

constexpr std::string_view kBlanks = " \t\v\f\r\n\x1a";
constexpr std::string_view kUtf8Mark = "\xef\xbb\xbf";
constexpr size_t kMaxValue = 2047;  // what a 2048-byte read buffer holds

std::string_view Trim(std::string_view s) {
  size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool SameName(std::string_view a, std::string_view b) { return SameAsciiIgnoringCase(a, b); }

enum class Kind { kBlank, kHeader, kComment, kEntry };

// One line as the reader sees it. Offsets are into the line's own text, so a write can keep
// everything up to the old value.
struct ParsedLine {
  Kind kind = Kind::kBlank;
  std::string_view name;  // section name of a header, key name of an entry
  bool has_value = false;
  std::string_view value;
  size_t name_end = 0;     // end of an entry's trimmed text (lines without "=")
  size_t equals = 0;       // offset of the first "="
  size_t value_begin = 0;  // offset of the trimmed value, or just after "=" when it is empty
};

ParsedLine ParseLine(std::string_view text) {
  ParsedLine p;
  std::string_view t = Trim(text.substr(0, text.find('\0')));  // a NUL ends the line's text
  if (t.empty()) return p;
  if (t[0] == '[') {
    p.kind = Kind::kHeader;
    std::string_view inner = t.substr(1);
    p.name = Trim(inner.substr(0, inner.find(']')));  // up to the first "]", or the whole rest
    return p;
  }
  if (t[0] == ';') {
    p.kind = Kind::kComment;
    return p;
  }
  p.kind = Kind::kEntry;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) {
    p.name = t;
    p.name_end = static_cast<size_t>(t.data() + t.size() - text.data());
    return p;
  }
  p.name = Trim(t.substr(0, eq));
  p.has_value = true;
  p.value = Trim(t.substr(eq + 1));
  p.equals = static_cast<size_t>(t.data() + eq - text.data());
  p.value_begin = p.value.empty() ? p.equals + 1 : static_cast<size_t>(p.value.data() - text.data());
  return p;
}

bool ParseInt32(std::string_view s, int32_t& out) {
  int base = 10;
  bool negative = false;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  int64_t v = 0;
  for (char c : s) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    v = v * base + digit;
    if (v > static_cast<int64_t>(INT32_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  bool exists = false;
  unreadable_ = !ReadWholeFile(path_, disk_bytes_, exists);
  Parse(disk_bytes_);
}

std::vector<IniFile::Line> IniFile::SplitLines(std::string_view bytes) {
  std::vector<Line> lines;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r' && bytes[i] != '\n') continue;
    size_t eol_len = (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ? 2 : 1;
    lines.push_back({std::string(bytes.substr(start, i - start)), std::string(bytes.substr(i, eol_len))});
    i += eol_len - 1;
    start = i + 1;
  }
  if (start < bytes.size()) lines.push_back({std::string(bytes.substr(start)), ""});
  return lines;
}

void IniFile::Parse(std::string_view bytes) {
  bom_ = bytes.substr(0, kUtf8Mark.size()) == kUtf8Mark;
  if (bom_) bytes.remove_prefix(kUtf8Mark.size());
  lines_ = SplitLines(bytes);
}

void IniFile::Resplit() { Parse(Serialise()); }

std::string IniFile::Serialise() const {
  std::string out = bom_ ? std::string(kUtf8Mark) : std::string();
  for (const Line& line : lines_) out += line.text + line.eol;
  return out;
}

size_t IniFile::FindSection(std::string_view name) const {
  name = Trim(name);
  for (size_t i = 0; i < lines_.size(); ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == Kind::kHeader && SameName(p.name, name)) return i;
  }
  return std::string::npos;
}

size_t IniFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && ParseLine(lines_[i].text).kind != Kind::kHeader) ++i;
  return i;
}

size_t IniFile::FindKey(size_t header, std::string_view key) const {
  key = Trim(key);
  size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i) {
    ParsedLine p = ParseLine(lines_[i].text);
    if (p.kind == Kind::kEntry && SameName(p.name, key)) return i;
  }
  return std::string::npos;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view default_value) const {
  std::string result;
  bool found = false;
  size_t header = FindSection(section);
  if (header != std::string::npos) {
    size_t line = FindKey(header, key);
    if (line != std::string::npos) {
      ParsedLine p = ParseLine(lines_[line].text);
      found = p.has_value;
      result = p.value;
    }
  }
  if (!found) {
    while (!default_value.empty() && default_value.back() == ' ') default_value.remove_suffix(1);
    result = default_value;
  }
  if (result.size() >= 2 && (result[0] == '"' || result[0] == '\'') && result.back() == result[0])
    result = result.substr(1, result.size() - 2);
  if (result.size() > kMaxValue) result.resize(kMaxValue);
  return result;
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t default_value) const {
  int32_t value = default_value;
  return ParseInt32(ReadString(section, key, ""), value) ? value : default_value;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::InsertText(size_t at, const std::string& bytes) {
  // The line before gets a line end first, as a last line may have none.
  if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = "\r\n";
  std::vector<Line> added = SplitLines(bytes);  // a value holding CR or LF makes several lines
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  edited_ = wrote_ = true;
  EditLines(section, key, value);
  Resplit();
}

void IniFile::EditLines(std::string_view section, std::string_view key, std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  size_t header = FindSection(section);
  if (header == std::string::npos) {  // a new section goes to the end of the file
    InsertText(lines_.size(), "[" + std::string(section) + "]\r\n" + std::string(key) + "=" +
                                  std::string(value) + "\r\n");
    return;
  }
  size_t at = FindKey(header, key);
  if (at == std::string::npos) {  // a new key follows the section's last non-blank line
    at = SectionEnd(header);
    while (at > header + 1 && ParseLine(lines_[at - 1].text).kind == Kind::kBlank) --at;
    InsertText(at, std::string(key) + "=" + std::string(value) + "\r\n");
    return;
  }
  Line old = lines_[at];
  ParsedLine p = ParseLine(old.text);
  if (p.has_value && p.value == value) return;
  // Keep the line's own spelling and spacing up to the value; "K" alone becomes "K=value".
  std::string text;
  if (!p.has_value)
    text = old.text.substr(0, p.name_end) + "=";
  else if (!p.value.empty() && !value.empty())
    text = old.text.substr(0, p.value_begin);
  else
    text = old.text.substr(0, p.equals + 1);
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at));
  InsertText(at, text + std::string(value) + old.eol);
}

void IniFile::EraseSection(std::string_view section) {
  edited_ = true;
  size_t header = FindSection(section);
  if (header == std::string::npos) return;
  size_t end = SectionEnd(header);
  std::vector<Line> kept(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(header));
  for (size_t i = header + 1; i < end; ++i) {
    Kind kind = ParseLine(lines_[i].text).kind;  // comments and blank lines stay where they are
    if (kind == Kind::kComment || kind == Kind::kBlank) kept.push_back(lines_[i]);
  }
  kept.insert(kept.end(), lines_.begin() + static_cast<std::ptrdiff_t>(end), lines_.end());
  lines_ = std::move(kept);
  Resplit();
}

void IniFile::Fail() const {
  throw EIniFileException(Printf("Unable to write to %s", path_.c_str()));
}

void IniFile::UpdateFile() {
  if (!edited_) return;
  try {
    std::string target = WriteTarget(path_);
    struct stat st;
    bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists) {
      if (!S_ISREG(st.st_mode) || !MayWrite(target, st.st_mode, W_OK) || unreadable_) Fail();
    } else {
      if (errno != ENOENT) Fail();
      std::string dir = DirName(target);
      struct stat dir_st;
      if (::stat(dir.c_str(), &dir_st) != 0 || !S_ISDIR(dir_st.st_mode)) Fail();
      if (!wrote_) {  // erasing in a missing file: nothing to do, nothing created
        edited_ = false;
        return;
      }
      if (!MayWrite(dir, dir_st.st_mode, W_OK | X_OK)) Fail();
    }
    std::string bytes = Serialise();
    if (exists && bytes == disk_bytes_) {  // nothing changed: the file keeps its bytes and time
      edited_ = wrote_ = false;
      return;
    }
    if (!ReplaceFile(target, bytes, exists ? &st : nullptr)) Fail();
    disk_bytes_ = std::move(bytes);
    edited_ = wrote_ = false;
  } catch (...) {
    Parse(disk_bytes_);  // the edits are dropped: the object again mirrors the file
    edited_ = wrote_ = false;
    throw;
  }
}

}  // namespace pv
