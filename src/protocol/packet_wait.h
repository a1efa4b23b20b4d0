// The waiting part of a control pass: until one whole packet has arrived, the connection's thread
// keeps its session's out-queue moving and watches every time limit of the connection.
//
// A packet is whole when its 8-byte header and then as many bytes as its Length field says (8 to
// 4096) have arrived; each of the two waits is bounded (kPartialPacketWait). A Length outside
// 8..4096 cannot be trusted: such a packet is the first byte and whatever had arrived by then.
// A connection without a session is closed kLoginWait after it was accepted. While the socket
// of a session's client takes none of what is queued for it, nothing more is read or handled
// from that client; if that lasts, it is dropped as slow (TServerClient). A kicked session is
// closed once what was queued for it has gone out, or kLeaveDrainWait after the kick.
//
// Thread rules: the connection's own thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/server.h"
#include "net/tcp_server.h"
#include "sessions/server_client.h"

namespace pv {

// Each pass reads its packet into a buffer of this size; no packet is longer.
constexpr size_t kPacketBufferSize = 4096;
constexpr std::chrono::seconds kPartialPacketWait{5};
constexpr std::chrono::seconds kLoginWait{10};
constexpr std::chrono::seconds kLeaveDrainWait{2};

// How many bytes make the packet whose first `waiting` bytes are `head`: 8 while the header is
// incomplete, the Length field when it is 8 to 4096, and 0 (take what arrived) otherwise.
size_t PacketBytesNeeded(const uint8_t* head, size_t waiting);

enum class PassWait {
  kPacket,        // a whole packet waits in the input buffer
  kLost,          // the connection closed or failed, or a packet did not complete in time
  kLoginTimeout,  // no login within kLoginWait of the accept
  kSlowClient,    // the client does not take what the server sends it
  kSessionOver,   // the session is leaving and what was queued for it has gone out (or the
                  // time for that is over)
};

// Waits for the next packet on the connection of `thread`, sending its session's queue meanwhile.
PassWait WaitForPacket(TIdPeerThread& thread, const SessionPtr& session);

// Moves the packet that WaitForPacket found whole into `buffer` (kPacketBufferSize bytes);
// returns its size.
size_t TakePacket(TIdTCPConnection& connection, uint8_t* buffer, size_t buffer_size);

// Before a session's connection is closed by the server: sends what is queued for the client,
// waiting for its socket at most until kLeaveDrainWait after it began to leave (or from now).
void SendRestBeforeClose(TServerClient& session, TIdTCPConnection& connection);

}  // namespace pv
