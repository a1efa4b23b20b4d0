// The event-log lines that clients can cause at will, capped per session: a client (or a forger)
// that sends thousands of datagrams, or of control packets that fail, a second must not grow the
// log by a line each. Each kind is written at most five times a second per session; the lines
// left out are counted and reported once a second at most, as "Left out N log lines "<kind>" for
// session S".
//
// Thread rules: any thread (the UDP listener, the UDP send thread, connection threads, the ping
// thread). Takes the server's ClientLogCap lock, a leaf, and writes the lines after releasing it.
#pragma once

#include <cstdint>
#include <string>

#include "core/server.h"

namespace pv {

enum class CappedLogLine : int {
  kLeavingClient,     // "ALERT UDP: Incoming traffic from leaving client :" + name
  kDestroyedSender,   // "Tried to send a udp packet from a destroyed client"
  kLeavingSender,     // "Tried to send a udp packet from a leaving client"
  kListSendFailure,   // a mode-1 copy that could not be sent
  kDrainFailure,      // a datagram the relay failed on (a list running past its end)
  kPassFailure,       // a control packet whose handling failed (a range error, say)
};

// Writes `line` at `level` unless the cap for `session` and `kind` leaves it out; a summary of
// earlier lines left out comes first when one is due.
void WriteCappedLog(TParleyvoxServer& server, uint32_t session, CappedLogLine kind, const std::string& line,
                      int level);

// Writes the summaries that are due for every session; cheap enough for every datagram.
void FlushCappedLog(TParleyvoxServer& server);

}  // namespace pv
