#include "core/command_line.h"

#include "base/ascii.h"

namespace pv {

namespace {

// Removes the first five characters (all of them when there are fewer).
std::string CutFive(const std::string& s) { return s.size() > 5 ? s.substr(5) : std::string(); }

}  // namespace

void ParseCommandLine(const std::vector<std::string>& args, ProgramNames& names) {
  for (std::string s : args) {
    if (AsciiUpper(s).find("-INI=") != std::string::npos) {
      s = CutFive(s);
      names.ConfigFileName = s;
    }
    if (AsciiUpper(s).find("-LOG=") != std::string::npos) {
      s = CutFive(s);
      names.LogFileName = s;
    }
    // "-PID=" is accepted and changes nothing.
  }
}

}  // namespace pv
