// Whether an IPv4 address belongs to this host: every 127.0.0.0/8 address, 0.0.0.0 (which a
// datagram sent to it reaches this host through), and every address some interface holds now.
// Any thread; no lock. An address outside loopback costs one socket, bind and close, so callers
// ask only when the port already matched.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace pv {

bool IsLocalAddress(in_addr address);

// 127.0.0.1 (the one loopback address a local administrator's client uses by default).
bool IsLocalHostAddress(in_addr address);

// Any address of 127.0.0.0/8.
bool IsLoopbackAddress(in_addr address);

// A dotted IPv4 address in network order; 0 for a text that is none (or empty).
uint32_t IPv4OrZero(const std::string& dotted);

}  // namespace pv
