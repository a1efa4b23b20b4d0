// ASCII letter case, the way the server compares names, keys and addresses: only a to z change,
// every other byte (UTF-8 and other 8-bit text included) stays as it is, whatever the locale.
#pragma once

#include <string>
#include <string_view>

namespace pv {

constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

// Whether a and b are equal once a to z are turned to upper case.
constexpr bool SameAsciiIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

}  // namespace pv
