// Who may speak for a session over UDP, and where the server never sends.
//
// A datagram counts for a session only when its source address is the address of the session's
// control connection (its source port may differ and change: NAT rebinding keeps working). An
// operator can turn that off ([Security] UdpFollowsTcpAddress=0). A datagram from the server's
// own UDP port on any address of this host is never taken, and nothing is sent there: a copy
// sent to the server itself would come back as a new datagram, again and again.
//
// Thread rules: any thread, no lock; the settings are read-only after start-up.
#pragma once

#include <netinet/in.h>

#include "core/server.h"
#include "sessions/server_client.h"

namespace pv {

// True when `endpoint` is the server's own UDP port on an address of this host.
bool IsOwnUdpEndpoint(const TParleyvoxServer& server, const sockaddr_in& endpoint);

// True when a datagram from `source` may speak for `session`.
bool MaySpeakFor(const TParleyvoxServer& server, const TServerClient& session, const sockaddr_in& source);

}  // namespace pv
