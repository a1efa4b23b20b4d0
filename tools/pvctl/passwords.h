// Where pvctl's passwords come from: an environment variable, or a prompt without echo when
// stdin is a terminal; never the command line, which other users of the machine can read.
#pragma once

#include <optional>
#include <string>

namespace pv::ctl {

// The variable's value when it is set (an empty value included). Otherwise, when stdin is a
// terminal, the line typed after `prompt` (written to stderr) with echo off; otherwise none.
std::optional<std::string> SecretFromEnvOrPrompt(const char* variable, const char* prompt);

// True when stdin is a terminal, so a prompt can be answered.
bool CanPrompt();

}  // namespace pv::ctl
