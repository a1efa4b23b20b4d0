// The command line: "-INI=" names the configuration file (below the program directory),
// "-LOG=" the log file (as given), "-PID=" is accepted without effect. Matching is
// case-insensitive containment anywhere in an argument; the first five characters of the
// argument are cut to get the value; the last occurrence wins. Nothing here can fail.
#pragma once

#include <string>
#include <vector>

namespace pv {

struct ProgramNames {
  std::string ConfigFileName = "pvserver.ini";
  std::string LogFileName = "pvserver.log";
  std::string ProgramDir;  // the configuration file's folder (the executable's, or PARLEYVOX_HOME), ending in "/"
};

void ParseCommandLine(const std::vector<std::string>& args, ProgramNames& names);

}  // namespace pv
