// TCPServerExecute: one pass over a control connection: flush, read one packet, dispatch it,
// count it, and close the session and the connection when the pass decides so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/server.h"
#include "sessions/server_client.h"
#include "net/tcp_server.h"

namespace pv {

void TCPServerExecute(TParleyvoxServer& server, TIdPeerThread& thread);

// Each pass reads its packet into a buffer of this size.
constexpr size_t kPacketBufferSize = 4096;

// How many of the `waiting` bytes after a packet's first byte the pass takes. When the packet's
// Length field (known once five bytes wait) names a whole packet that has fully arrived, exactly
// that packet is taken and the rest stays in the connection's input for the next pass, so
// packets that arrive together are not lost. Otherwise everything that arrived is taken. Never
// more than the packet buffer holds: larger input is taken a buffer at a time.
size_t BytesToTake(size_t waiting, std::optional<uint16_t> length);

}  // namespace pv
