#include "sessions/udp_relay.h"

#include <cstring>

#include "base/errors.h"
#include "base/wire.h"
#include "base/event_log.h"
#include "net/net_errors.h"
#include "sessions/capped_log.h"
#include "sessions/datagrams.h"
#include "sessions/udp_guard.h"

namespace pv {

namespace {

const char kDrainFailure[] = "in: TUDPSender.ProcessUDPList exception ";
// Copies gathered before they are sent: enough for a datagram to a full room of 255 in one go,
// few enough to keep the scratch space small.
constexpr size_t kFlushCopies = 256;
constexpr size_t kFlushBytes = 512 * 1024;

}  // namespace

void UdpRelay::Drain(TIdSocketHandle* binding) {
  // 1. Take every queued datagram at once; the listener goes on appending to an empty list
  //    while this drain relays, and its SystemEvent brings the next drain.
  {
    Locked list(server_.UdpSendList);
    taken_.swap(*list);
  }
  Begin(binding);
  // 3. Relay in arrival order. A datagram that fails (a list running past its end) is dropped;
  //    the drain goes on with the next one, so one bad datagram never holds back the others.
  for (QueuedDatagram& queued : taken_) RelayCaught(queued);
  Finish();
}

void UdpRelay::RelayAlone(QueuedDatagram& datagram, TIdSocketHandle* binding) {
  Begin(binding);
  RelayCaught(datagram);
  Finish();
}

void UdpRelay::Begin(TIdSocketHandle* binding) {
  binding_ = binding;
  // 2. The recipients as ClientList holds them now. A session removed from here on may still
  //    receive these datagrams, as it would had it left just after the drain; one removed
  //    before is not in the copy. The copy's shared pointers keep every record alive.
  Locked list(server_.ClientList);
  clients_.assign(list->begin(), list->end());
}

void UdpRelay::RelayCaught(QueuedDatagram& datagram) {
  try {
    Relay(datagram);
  } catch (const std::exception& e) {
    // Caused by the datagram's sender, who could send such datagrams by the thousand.
    const std::vector<uint8_t>& bytes = datagram.bytes;
    const uint32_t sender = bytes.size() >= kOffSessionId + 2 ? LoadU16(bytes.data() + kOffSessionId) : 0;
    WriteCappedLog(server_, sender, CappedLogLine::kDrainFailure, CaughtLine(kDrainFailure, e), 0);
  }
}

void UdpRelay::Finish() {
  // 4. What is still gathered leaves now; then every datagram and record is let go, the
  //    scratch space kept.
  try {
    Flush();
  } catch (const std::exception& e) {
    WriteLog(CaughtLine(kDrainFailure, e), 0);
  }
  copies_.clear();
  arena_.clear();
  taken_.clear();
  clients_.clear();
}

void UdpRelay::Relay(QueuedDatagram& queued) {
  std::vector<uint8_t>& datagram = queued.bytes;
  // UDPRead queues nothing shorter; the list is reachable by anyone holding the server, though.
  if (datagram.size() < kRelayHeaderSize) return;
  // A sender destroyed since UDPRead queued its datagram has left ClientList.
  const TServerClient* sender = queued.sender.get();
  const uint16_t sender_id = LoadU16(datagram.data() + kOffSessionId);
  if (!sender || sender->Destroying)
    return WriteCappedLog(server_, sender_id, CappedLogLine::kDestroyedSender,
                            "Tried to send a udp packet from a destroyed client", 1);
  if (sender->Leaving)
    return WriteCappedLog(server_, sender_id, CappedLogLine::kLeavingSender,
                            "Tried to send a udp packet from a leaving client", 1);
  const uint8_t mode = datagram[kOffRelayTargetMode];
  if (mode == kRelayModeRoom) RelayToRoom(*sender, datagram.data(), datagram.size());
  if (mode == kRelayModeList) RelayToList(*sender, datagram.data(), datagram.size());
  // Any other mode is dropped.
}

void UdpRelay::RelayToRoom(const TServerClient& sender, uint8_t* data, size_t size) {
  // Recipients receive the datagram as sent but for the session id and the checksum.
  StoreU16(data + kOffSessionId, 0);
  StoreU32(data + kOffRelayChecksum, 0);
  const Crc32Variants sums(data, size, kOffSessionId);
  const int32_t room = sender.RoomIndex;
  for (const SessionPtr& r : clients_) {
    if (r->Leaving || r.get() == &sender || r->RoomIndex != room) continue;
    AddCopy(sender, *r, data, size, sums, false);
  }
}

void UdpRelay::RelayToList(const TServerClient& sender, const uint8_t* data, size_t size) {
  const TargetList list = ReadTargetList(data, size);
  std::vector<uint8_t> stripped = StripTargetList(data, size, list);
  StoreU16(stripped.data() + kOffSessionId, 0);
  const Crc32Variants sums(stripped.data(), stripped.size(), kOffSessionId);
  for (const SessionPtr& r : clients_) {
    if (r->Leaving || r.get() == &sender) continue;
    // PlayerId 256 does not fit in a list byte: that slot is never addressed.
    const int player_id = r->PlayerId();
    if (player_id > 255 || !list.player_ids.test(static_cast<size_t>(player_id))) continue;
    AddCopy(sender, *r, stripped.data(), stripped.size(), sums, true);
  }
}

void UdpRelay::AddCopy(const TServerClient& sender, TServerClient& recipient, const uint8_t* data, size_t size,
                       const Crc32Variants& sums, bool log_failure) {
  // Never to the server's own endpoint: the copy would come back as a new datagram.
  if (IsOwnUdpEndpoint(server_, recipient.UdpSockAddr())) return;
  if (copies_.size() >= kFlushCopies || arena_.size() + size > kFlushBytes) Flush();
  const size_t offset = arena_.size();
  arena_.resize(offset + size);
  uint8_t* copy = arena_.data() + offset;
  std::memcpy(copy, data, size);
  const auto session_id = static_cast<uint16_t>(recipient.SessionId);
  StoreU16(copy + kOffSessionId, session_id);
  StoreU32(copy + kOffRelayChecksum, sums.With(session_id));
  copies_.push_back(Copy{&recipient, offset, size, log_failure, static_cast<uint16_t>(sender.SessionId)});
}

void UdpRelay::Flush() {
  if (copies_.empty()) return;
  // The arena no longer grows: its addresses are final.
  out_.resize(copies_.size());
  for (size_t i = 0; i < copies_.size(); ++i) {
    out_[i].to = copies_[i].recipient->UdpSockAddr();
    out_[i].data = arena_.data() + copies_[i].offset;
    out_[i].size = copies_[i].size;
    out_[i].result = ENOTSOCK;
  }
  if (binding_) binding_->SendBatch(out_.data(), out_.size());
  uint64_t packets = 0;
  size_t bytes = 0;
  for (size_t i = 0; i < copies_.size(); ++i) {
    const Copy& c = copies_[i];
    if (out_[i].result == 0) {
      c.recipient->Traffic.CountUdpOut(c.size);
      ++packets;
      bytes += c.size;
    } else if (c.log_failure) {
      try {
        RaiseDatagramError(out_[i].result);
      } catch (const Error& e) {
        WriteCappedLog(server_, c.sender, CappedLogLine::kListSendFailure, CaughtLine(kDrainFailure, e), 1);
      }
    }
  }
  // The server's totals grow by the batch's sums: the same as one datagram at a time.
  server_.Traffic.CountUdpOut(bytes, packets);
  Count(server_.Metrics.RelayedCopies, packets);
  copies_.clear();
  arena_.clear();
}

}  // namespace pv
