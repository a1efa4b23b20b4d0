// The UDP datagram layouts: relay datagrams (magic 0xB0BA), which carry the clients' real-time
// traffic and are relayed to other players, and ping datagrams (magic 0xAABB), with which the
// server and the clients ping each other. Both start with the same 8-byte header; all numbers are
// little-endian. Thread rules: none (constants and pure functions).
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/wire.h"

namespace pv {

// The common header is base/wire.h's (kHeaderSize, kOffMagic, kOffSessionId, kOffLength). In a
// datagram SessionId is, from a client, the sender's, from the server the recipient's; Length
// is never checked on receipt. Datagrams are never larger than kMaxDatagramSize (base/wire.h).

// Relay datagram: the header, a packet id and a CRC-32, then the payload.
constexpr uint16_t kRelayMagic = 0xB0BA;
constexpr size_t kOffRelayTargetMode = 6;
constexpr size_t kOffRelayPacketId = 8;   // the sender's running datagram number
constexpr size_t kOffRelayChecksum = 12;  // CRC-32 of the whole datagram, these 4 bytes as 0
constexpr size_t kRelayHeaderSize = 16;
// Target mode 1: the payload starts with a count n and n PlayerIds, which are stripped before
// the datagram is relayed.
constexpr size_t kOffRelayTargetCount = 16;
constexpr size_t kOffRelayTargetList = 17;
constexpr uint8_t kRelayModeRoom = 0;  // everybody in the sender's room
constexpr uint8_t kRelayModeList = 1;  // the players listed in the datagram

// Ping datagram: 12 bytes.
constexpr uint16_t kPingMagic = 0xAABB;
constexpr size_t kOffPingKind = 6;
constexpr size_t kOffPingValue = 7;
constexpr size_t kPingDatagramSize = 12;
constexpr uint32_t kPingTrailer = 0x0000EEFF;  // bytes FF EE 00 00
constexpr uint8_t kPingKindPing = 1;
constexpr uint8_t kPingKindAnswer = 2;
// The server's own pings carry 200. A ping value above 4 marks an answer whatever the kind
// says, so a client that echoes the server's ping unchanged has answered it.
constexpr uint8_t kServerPingValue = 200;
constexpr uint8_t kMaxClientPingValue = 4;

// A 12-byte ping datagram. A session id above 0xFFFF raises ERangeError.
std::vector<uint8_t> BuildPingDatagram(int64_t session_id, uint8_t kind, uint8_t value);

// Writes 0 into the checksum field of a relay datagram of `size` bytes (at least
// kRelayHeaderSize), computes Crc32 over the whole datagram and returns it, leaving the field 0.
uint32_t ZeroRelayChecksum(uint8_t* data, size_t size);
// Fills the checksum field with the CRC-32 of the datagram as it is now (field taken as 0).
void StampRelayChecksum(uint8_t* data, size_t size);

// Writes a recipient's session id into a relay datagram and stamps the checksum of the result.
void StampForRecipient(uint8_t* data, size_t size, uint16_t session_id);

// The recipients a target-mode-1 datagram lists: one bit per PlayerId (an id listed twice is
// one recipient), and where the list ends, i.e. where the real payload begins.
struct TargetList {
  std::bitset<256> player_ids;
  size_t payload_offset = 0;
};
// Reads the count and the list of a datagram of `size` bytes. A datagram that ends before its
// count or inside its list raises EIdNotEnoughDataInBuffer: nothing is read past its end.
TargetList ReadTargetList(const uint8_t* data, size_t size);
// The datagram as listed players receive it: the 16-byte header followed directly by the
// payload, the count and list removed (n + 1 bytes shorter), target mode 0 and the new length in
// the header. The checksum field is 0; each recipient's copy is stamped.
std::vector<uint8_t> StripTargetList(const uint8_t* data, size_t size, const TargetList& list);

}  // namespace pv
