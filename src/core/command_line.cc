#include "core/command_line.h"

#include <algorithm>
#include <cctype>

namespace pv {

namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Removes the first five characters (all of them when there are fewer).
std::string CutFive(const std::string& s) { return s.size() > 5 ? s.substr(5) : std::string(); }

}  // namespace

void ParseCommandLine(const std::vector<std::string>& args, ProgramNames& names) {
  for (std::string s : args) {
    if (Upper(s).find("-INI=") != std::string::npos) {
      s = CutFive(s);
      names.ConfigFileName = s;
    }
    if (Upper(s).find("-LOG=") != std::string::npos) {
      s = CutFive(s);
      names.LogFileName = s;
    }
    // "-PID=" is accepted and changes nothing.
  }
}

}  // namespace pv
