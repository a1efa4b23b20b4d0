// UDPRead: the UDP listener's handler for every datagram received on the server's port.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/server.h"
#include "net/udp_server.h"

namespace pv {

void UDPRead(TParleyvoxServer& server, const uint8_t* data, size_t size, TIdSocketHandle& binding);

}  // namespace pv
