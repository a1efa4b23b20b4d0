// UDPRead: the UDP listener's handler, called once for every datagram that reaches the server's
// UDP port. It recognises the sender by the session id inside the datagram, taken only from the
// address of that session's control connection (udp_guard.h); it drops datagrams from the
// server's own endpoint, learns the client's UDP endpoint (port) from the source of every datagram, checks relay datagrams
// (packet-id gaps and CRC-32 only count, bad ones are relayed too), answers a client's ping at
// once, records the answer to a server ping, and queues relay datagrams on UdpSendList for the
// UDP send thread. It never relays anything itself.
//
// Thread rules: runs on the UDP listener thread only (one thread for every binding), so the
// sessions' packet-id and ping fields it writes have a single writer. The ClientList lock is held only for the look-up; UdpSendList only for the append. Datagrams too
// short for the fields they would be read from are dropped after the server counted them; so
// are relay datagrams while the queue is full (the send thread has fallen far behind).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/server.h"
#include "net/socket_handle.h"
#include "net/udp_server.h"

namespace pv {

class TUDPSender;

// `datagram` is what the listener received; `binding` is the socket it arrived on, from which
// a ping is answered. `sender`, when given and idle, relays a datagram that arrived alone at
// once (null: every relay datagram is queued).
void UDPRead(TParleyvoxServer& server, TUDPSender* sender, const TIdReceivedDatagram& datagram,
             TIdSocketHandle& binding);

}  // namespace pv
