// What the server needs of the operating system beyond sockets and threads.
#pragma once

#include <string>

namespace pv {

// The directory of the running executable (from /proc/self/exe), ending in "/".
std::string ExecutableDir();

// Raises the process priority (a lower nice value). Returns false only for a failure other than
// a missing privilege: without the privilege the process keeps its priority and goes on.
bool RaiseProcessPriority();

// Makes a write to a closed connection an error instead of a fatal signal.
void IgnoreSigpipe();

}  // namespace pv
