#include "sessions/datagrams.h"

#include "base/crc32.h"
#include "base/wire.h"

namespace pv {

std::vector<uint8_t> BuildPingDatagram(int64_t session_id, uint8_t kind, uint8_t value) {
  // A datagram has no control header, so the writer is used without Begin: nothing is patched.
  PacketWriter w;
  w.U16(kPingMagic).U16(session_id).U16(static_cast<int64_t>(kPingDatagramSize));
  w.U8(kind).U8(value).U32(kPingTrailer);
  return w.Finish();
}

uint32_t ZeroRelayChecksum(uint8_t* data, size_t size) {
  StoreU32(data + kOffRelayChecksum, 0);
  return Crc32(data, size);
}

void StampRelayChecksum(uint8_t* data, size_t size) {
  StoreU32(data + kOffRelayChecksum, ZeroRelayChecksum(data, size));
}

}  // namespace pv
