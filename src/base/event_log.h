// The event log: one text line per event, "dd/mm/yyyy hh:nn:ss | message" CR LF, appended to
// LogFileName. WriteLog may be called from any thread at any time, before start-up and after
// shut-down; it never fails, never throws and never waits for the file (a line that cannot be
// written at once is lost). The file is opened and closed for every line, so it can be moved or
// deleted while the server runs.
#pragma once

#include <string>

namespace pv {

// Appends one line. CR in the message becomes " : ", LF is removed. The level is not written.
void WriteLog(const std::string& message, int level) noexcept;

// The file the log goes to; set once by the command line before the first line is written.
void SetLogFileName(const std::string& name);
std::string GetLogFileName();

// The cleaned form of a message (exposed for tests).
std::string CleanLogMessage(const std::string& message);

}  // namespace pv
