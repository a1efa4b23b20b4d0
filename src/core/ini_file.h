// The server's INI files, read and written the way Windows' private-profile functions do it, so
// that a file brought from Windows and edited by hand behaves as the operator expects.
//
// Reading: lines end at CR, LF or CR LF and are trimmed of blanks (space, TAB, VT, FF, CR, LF,
// Ctrl-Z); a NUL byte ends a line's text. A line starting with "[" is a section header whose
// name runs to the first "]" (or to the end of the line when there is none); text after the "]"
// is ignored. A line starting with ";" is a comment. Any other non-blank line is an entry: the
// name before the first "=" and the value after it, both trimmed; a line without "=" is a name
// with no value. Lines before the first header belong to no section. A read takes the FIRST
// section, and in it the FIRST entry, whose name equals the one asked for ignoring ASCII letter
// case. A value found is returned; otherwise (no file, section, key or "=") the default with its
// trailing spaces removed. One pair of equal quotes (" or ') around the result is removed, and
// the result is cut to 2047 bytes. A UTF-8 byte-order mark at the start of the file is skipped
// and kept on writing; all bytes are handed back as stored, never transcoded.
//
// Writing edits in place: a write replaces the value on the key's own line (its spelling, the
// blanks around "=" and its line end are kept), or adds "Key=Value" CR LF after the section's
// last non-blank line, or appends "[Section]" CR LF "Key=Value" CR LF at the end of the file.
// Erasing a section removes its header and its entry lines; comment lines and blank lines inside
// it stay. Every other line keeps its bytes. A value is written exactly as given.
//
// On disk the file is always replaced whole: a temporary file in the same folder is written,
// synced and renamed over the old one, which keeps its permission bits (and owner, when allowed).
// A file whose bytes would not change is not written at all.
//
// Who may write. A file or folder counts as writable when access(W_OK) allows it AND its mode has
// at least one write bit (user, group or other). The second rule matters for root, whom access()
// never refuses: a file made read-only with "chmod a-w" stays read-only for the server even when it
// runs as root. Writes and erases raise EIniFileException ("Unable to write to <file>") and change
// nothing when the file exists but is not writable, when its folder does not exist, or when a write
// would have to create the file in a folder that is not writable; an erase that finds no file in a
// writable-or-not folder simply does nothing. Because of the rename, a writable file whose folder
// refuses new files (to anyone but root) cannot be updated either; that too raises.
//
// Threads: an IniFile belongs to one thread. Writers of the same file must be serialised by the
// caller (the configuration file has its own lock); readers never see half a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace pv {

PV_DECLARE_ERROR(EIniFileException, "Unable to write to file");

class IniFile {
 public:
  // Reads the whole file. A missing file reads as empty; so does one that cannot be read, but
  // such a file is never written over (UpdateFile raises).
  explicit IniFile(std::string path);

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;
  // Signed 32-bit decimal; a value longer than two characters starting with "0x" or "0X" is
  // hexadecimal. Anything else, or a number outside the int32 range, gives the default.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t default_value) const;
  // Read as an integer with the default 0 or 1: 0 is false, any other number true.
  bool ReadBool(std::string_view section, std::string_view key, bool default_value) const;

  // Edits of the in-memory copy; later reads see them. UpdateFile puts them on disk.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);
  void EraseSection(std::string_view section);

  // Puts every edit since the load (or the last UpdateFile) on disk in one atomic replacement.
  // The result is the same as doing each edit as a call of its own, in order; on failure it
  // raises EIniFileException, the file keeps its old bytes and the edits are dropped.
  void UpdateFile();

 private:
  struct Line {
    std::string text;  // the line's bytes without its line end
    std::string eol;   // "\r\n", "\n", "\r" or "" for a last line without one
  };

  static std::vector<Line> SplitLines(std::string_view bytes);
  void Parse(std::string_view bytes);
  // After an edit: the lines as a read of the edited bytes would split them. An edit can bring a
  // line ending in a lone CR next to a blank line ending in a lone LF, which a read takes as one
  // CR LF; without this a batch would go on from other lines than single calls do.
  void Resplit();
  std::string Serialise() const;
  size_t FindSection(std::string_view name) const;          // header index or npos
  size_t SectionEnd(size_t header) const;                   // next header's index or size
  size_t FindKey(size_t header, std::string_view key) const;  // entry index or npos
  void InsertText(size_t at, const std::string& bytes);
  void EditLines(std::string_view section, std::string_view key, std::string_view value);
  [[noreturn]] void Fail() const;

  std::string path_;
  bool bom_ = false;
  std::vector<Line> lines_;
  std::string disk_bytes_;   // what the file held when last read or written
  bool unreadable_ = false;  // the file is there but could not be read
  bool edited_ = false;      // any write or erase since the load
  bool wrote_ = false;       // any write (an erase alone never creates a file)
};

}  // namespace pv
