// pvctl's text form: aligned tables. Texts from the server (names, versions) are whatever bytes
// players chose: the text form shows control characters as '?', so a name cannot drive the
// operator's terminal (the JSON form escapes them, base/json_writer.h). Thread rules: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json_writer.h"

namespace pv::ctl {

// A text as the terminal may show it: control characters become '?'.
std::string SafeText(const std::string& text);
// True when the text holds a byte below 0x20 or DEL.
bool HasControlCharacter(const std::string& text);

// Milliseconds as h:mm:ss.
std::string FormatDuration(uint64_t ms);

// Columns padded to their widest cell, two blanks apart; no trailing blanks.
class Table {
 public:
  explicit Table(std::vector<std::string> headers) { rows_.push_back(std::move(headers)); }
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  std::string Render() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace pv::ctl
