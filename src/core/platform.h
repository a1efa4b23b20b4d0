// What the server needs of the operating system beyond sockets and threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pv {

// The directory of the running executable (from /proc/self/exe), ending in "/".
std::string ExecutableDir();

// Names the folder of the configuration file when it is not the program's own (a packaged
// server under /usr keeps it in a folder it can write).
constexpr const char* kHomeVariable = "PARLEYVOX_HOME";

// The folder the configuration file (and -INI=) is looked up in, ending in "/":
// `home_value` (PARLEYVOX_HOME's value, null when it is not set) when it is not empty, else
// the executable's directory.
std::string ConfigDirectory(const char* home_value);

// Raises the process priority (a lower nice value). Returns false only for a failure other than
// a missing privilege: without the privilege the process keeps its priority and goes on.
bool RaiseProcessPriority();

// Makes a write to a closed connection an error instead of a fatal signal.
void IgnoreSigpipe();

// Raises the soft limit on open descriptors to the hard limit; returns the soft limit in force
// afterwards.
uint64_t RaiseDescriptorLimit();

// Descriptors kept free for everything but control connections (listeners, the log, the
// configuration file, the listing post).
constexpr uint64_t kReservedDescriptors = 64;
// Connections open beyond the logged-in clients: room for clients on their way in.
constexpr int kConnectionsBeyondMaxClients = 64;
// The most control connections open at once: MaxClients (0..255) + 64, and no more than the
// descriptor limit leaves, each connection taking two descriptors (its socket and its wake-up).
size_t ConnectionCap(int max_clients, uint64_t descriptor_limit);

}  // namespace pv
