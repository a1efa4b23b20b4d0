// Readiness for a service manager. A manager that starts the server as a notify-type service
// names a datagram socket in NOTIFY_SOCKET; the server sends "READY=1" there once its start
// line is written and "STOPPING=1" when its shut-down begins, so the manager knows when
// clients can connect and that a stop is under way. Without NOTIFY_SOCKET nothing is sent.
//
// Thread rules: any thread; nothing is kept between calls.
#pragma once

#include <string>

namespace pv {

constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";

// Sends `state` as one datagram to the AF_UNIX socket `socket_name` names: a path, or "@" and
// an abstract name. Never blocks and never throws; false when nothing could be sent (no name,
// a name of another kind, no such socket).
bool NotifyServiceManager(const char* socket_name, const std::string& state);

// The same to the socket in NOTIFY_SOCKET; false when the variable is not set.
bool NotifyServiceManager(const std::string& state);

}  // namespace pv
