#include "sessions/udp_read.h"

namespace pv {

void UDPRead(TParleyvoxServer&, const uint8_t*, size_t, TIdSocketHandle&) {}

}  // namespace pv
