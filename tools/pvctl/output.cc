#include "output.h"

#include <algorithm>

#include "base/printf.h"

namespace pv::ctl {

namespace {

// C0 controls and DEL.
bool IsControl(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

}  // namespace

std::string SafeText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    auto byte = static_cast<unsigned char>(c);
    if (IsControl(c) || (byte >= 0x80 && byte < 0xa0)) c = '?';
  }
  return out;
}

bool HasControlCharacter(const std::string& text) { return std::any_of(text.begin(), text.end(), IsControl); }

std::string FormatDuration(uint64_t ms) {
  uint64_t s = ms / 1000;
  return Printf("%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
}

std::string Table::Render() const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows_) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace pv::ctl
