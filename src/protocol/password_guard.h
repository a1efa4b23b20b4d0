// The checks around the two passwords that a guesser must not get past: the per-address
// throttles (core/login_throttle.h) and the rule that the shipped administrator password "vimbo"
// works from the local machine only (127.0.0.1; ::1 should IPv6 ever be served), so a server
// whose operator never changed it cannot be taken over from the network.
//
// Thread rules: any connection thread; the throttles lock internally, the log is written after.
#pragma once

#include <cstdint>
#include <string>

#include "core/login_throttle.h"
#include "core/server.h"

namespace pv {

// The administrator password a new configuration file holds.
bool IsDefaultAdminPassword(const std::string& password);

// Records a wrong password from `address` (network order); when that begins a lock-out, writes
// one log line: "<who> from <address> refused for <n> seconds after <k> wrong passwords".
void NoteWrongPassword(LoginThrottle& throttle, uint32_t address, const char* who);

// True (and one log line saying why) when `password` matched but is the default administrator
// password, or empty (which anyone guesses first), and `address` is not the local machine.
bool RefuseLocalOnlyAdminPassword(const std::string& password, uint32_t address);

}  // namespace pv
