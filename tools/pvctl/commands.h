// pvctl's commands: each asks the server what it needs over one Session and renders the answer
// as JSON or as text. Thread rules: one thread.
#pragma once

#include <string>

#include "options.h"

namespace pv::ctl {

// Gathers the passwords the command needs (before connecting, so no prompt keeps a connection
// waiting), runs the command and leaves. Returns what goes to stdout; throws Failure.
std::string RunCommand(const Options& options);

}  // namespace pv::ctl
