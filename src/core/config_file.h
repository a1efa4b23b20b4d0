// The configuration file (pvserver.ini beside the executable unless -INI= names another): read
// once at start-up, rewritten in full when it is missing or of another layout version, and
// written back by the administrator commands that change a password or save the rooms.
//
// Every write to the file, from any thread, holds one process-wide lock inside this module, so a
// password save and a room save at the same moment never lose each other's change. That lock is a
// leaf: it may be taken while the room list's lock is held, and nothing is locked while it is held
// (the start-up rooms are created before it is taken).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/settings.h"

namespace pv {

// Reads every key into `settings` (which holds the hard defaults on entry), creates the start-up
// rooms through `create_room` (which raises when no room can be created), checks the layout
// version and rewrites the file when it differs, sets UDPPort. Any error propagates; the caller
// turns it into "FATAL ERROR: Unable to create config file".
void LoadConfig(const std::string& path, Settings& settings,
                const std::function<void(const std::string& name)>& create_room);

// A text a client sent that is to be stored as a value (a password, a room name): cut at its first
// CR, LF or NUL, which would otherwise end the value's line and start lines of the sender's own.
std::string IniSafeText(std::string text);

// Write one password to [Passwords]. Raise EIniFileException when the file cannot be written.
void SaveServerPassword(const std::string& path, const std::string& value);
void SaveAdminPassword(const std::string& path, const std::string& value);

// Replaces the [Channels] section with keys "0".."n-1" = names, in order, leaving out empty
// names (which the start would take for the end of the list). The caller holds the room list's lock. Raises EIniFileException when the file cannot be written.
void SaveRooms(const std::string& path, const std::vector<std::string>& names);

}  // namespace pv
