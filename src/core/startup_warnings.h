// What the operator is told on stderr at start when the server's secrets are exposed: the
// shipped administrator password in force while the server listens beyond this machine, and a
// configuration file holding passwords that other users can read. The event log is not touched.
// Main thread, after the configuration file was read.
#pragma once

#include <string>
#include <vector>

#include "core/settings.h"

namespace pv {

std::vector<std::string> StartupWarnings(const Settings& settings, const std::string& config_path);

}  // namespace pv
