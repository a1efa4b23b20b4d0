// The command line: arguments (the input cut at NUL bytes) through ParseCommandLine, checked
// against the rule the README gives: a switch is found case-insensitively anywhere in an
// argument, the value is the argument without its first five characters, the last occurrence
// wins, and an argument that holds "-INI=" is cut before it is looked at for "-LOG=".
#include <algorithm>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "core/command_line.h"
#include "fuzz_support.h"

namespace {

bool Holds(const std::string& arg, const char* sw) { return pv::AsciiUpper(arg).find(sw) != std::string::npos; }

std::string Cut(const std::string& arg) { return arg.size() > 5 ? arg.substr(5) : std::string(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  std::string all(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start <= all.size();) {
    size_t end = std::min(all.find('\0', start), all.size());
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  pv::ProgramNames names;
  pv::ParseCommandLine(args, names);

  pv::ProgramNames expected;
  for (const std::string& arg : args) {
    std::string s = arg;
    if (Holds(s, "-INI=")) expected.ConfigFileName = s = Cut(s);
    if (Holds(s, "-LOG=")) expected.LogFileName = Cut(s);
  }
  pv::fuzz::Check(names.ConfigFileName == expected.ConfigFileName, "the configuration file name breaks the -INI= rule");
  pv::fuzz::Check(names.LogFileName == expected.LogFileName, "the log file name breaks the -LOG= rule");
  pv::fuzz::Check(names.ProgramDir.empty(), "the command line set the program folder");
  return 0;
}
