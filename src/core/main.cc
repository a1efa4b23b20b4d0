// The program's entry: parse the command line, start the server, run the shell until the
// server is to stop, shut it down.
#include <string>
#include <vector>

#include "core/command_line.h"
#include "core/event_log.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  pv::ProgramNames names;
  pv::ParseCommandLine(args, names);
  pv::SetLogFileName(names.LogFileName);
  pv::WriteLog("----Entering server init----", 3);
  return 0;
}
