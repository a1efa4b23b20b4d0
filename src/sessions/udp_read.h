// UDPRead: the UDP listener's handler, called once for every datagram that reaches the server's
// UDP port. It recognises the sender by the session id inside the datagram, taken only from the
// address of that session's control connection (udp_guard.h); it drops datagrams from the
// server's own endpoint, learns the client's UDP endpoint (port) from the source of every datagram, checks relay datagrams
// (packet-id gaps and CRC-32 only count, bad ones are relayed too), answers a client's ping at
// once, records the answer to a server ping, and queues relay datagrams on UdpSendList for the
// UDP send thread. It never relays anything itself.
//
// Thread rules: runs on the UDP listener thread, under UdpReadLock for the whole call. The
// ClientList lock is held only for the look-up; UdpSendList only for the append. Datagrams too
// short for the fields they would be read from are dropped after the server counted them; so
// are relay datagrams while the queue is full (the send thread has fallen far behind).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/server.h"
#include "net/socket_handle.h"

namespace pv {

// `data` and `size` are the received bytes, owned by the listener; `binding` is the socket they
// arrived on, whose SourceAddr is where they came from.
void UDPRead(TParleyvoxServer& server, const uint8_t* data, size_t size, TIdSocketHandle& binding);

}  // namespace pv
