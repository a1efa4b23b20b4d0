#include "sessions/datagrams.h"

#include <cstring>

#include "base/crc32.h"
#include "base/errors.h"
#include "base/wire.h"
#include "net/net_errors.h"

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

void StampForRecipient(uint8_t* data, size_t size, uint16_t session_id) {
  StoreU16(data + kOffSessionId, session_id);
  StampRelayChecksum(data, size);
}

TargetList ReadTargetList(const uint8_t* data, size_t size) {
  if (size <= kOffRelayTargetCount) throw EIdNotEnoughDataInBuffer();
  const size_t count = data[kOffRelayTargetCount];
  TargetList list;
  list.payload_offset = kOffRelayTargetList + count;
  if (list.payload_offset > size) throw EIdNotEnoughDataInBuffer();
  for (size_t i = kOffRelayTargetList; i < list.payload_offset; ++i) list.player_ids.set(data[i]);
  return list;
}

std::vector<uint8_t> StripTargetList(const uint8_t* data, size_t size, const TargetList& list) {
  const size_t payload = size - list.payload_offset;
  std::vector<uint8_t> out(kRelayHeaderSize + payload);
  std::memcpy(out.data(), data, kRelayHeaderSize);
  if (payload > 0) std::memcpy(out.data() + kRelayHeaderSize, data + list.payload_offset, payload);
  out[kOffRelayTargetMode] = kRelayModeRoom;
  StoreU16(out.data() + kOffLength, CheckedNarrow<uint16_t>(out.size()));
  StoreU32(out.data() + kOffRelayChecksum, 0);
  return out;
}

}  // namespace pv
