// UdpRelay: the work of one drain of UdpSendList. Every queued datagram becomes one copy per
// recipient, each with the recipient's SessionId and a checksum of its own, and the copies leave
// in batches (one sendmmsg for up to kSendChunk of them) instead of one system call each. The
// checksum is summed once per datagram; each copy's follows from the difference its session id
// makes (Crc32Variants). The scratch space is kept from one drain to the next.
//
// Thread rules: one UdpRelay is used by one thread at a time (the UDP send thread's relay is
// shared with the listener under the thread's drain lock; a test has its own). A drain takes
// UdpSendList and then ClientList, each only long enough to copy it, so neither the listener's
// appends nor its session look-ups ever wait for the relaying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/crc32.h"
#include "core/server.h"
#include "sessions/server_client.h"
#include "sessions/server_client.h"
#include "net/socket_handle.h"

namespace pv {

// One relay datagram waiting in UdpSendList for the UDP send thread, with the session UDPRead
// found for it: the relay takes the sender from here instead of looking it up again.
struct QueuedDatagram {
  SessionPtr sender;
  std::vector<uint8_t> bytes;
};

class UdpRelay {
 public:
  explicit UdpRelay(TParleyvoxServer& server) : server_(server) {}

  // Relays and frees every datagram queued now, in arrival order, sending from `binding` (null:
  // every send fails as on a closed socket).
  void Drain(TIdSocketHandle* binding);
  // Relays one datagram that was never queued, exactly as a drain of a queue holding only it.
  void RelayAlone(QueuedDatagram& datagram, TIdSocketHandle* binding);

 private:
  struct Copy {
    TServerClient* recipient;  // kept alive by clients_ for the whole drain
    size_t offset;             // into arena_
    size_t size;
    bool log_failure;          // list mode logs a failed send; room mode does not
    uint16_t sender;           // whose datagram it is: failure lines are capped per sender
  };

  // The recipients are taken from ClientList; the binding is kept for the sends.
  void Begin(TIdSocketHandle* binding);
  // Relay with its failure written to the log: the datagram is dropped, the others go on.
  void RelayCaught(QueuedDatagram& datagram);
  // The last copies leave; every datagram and record is let go, the scratch space kept.
  void Finish();
  void Relay(QueuedDatagram& datagram);
  void RelayToRoom(const TServerClient& sender, uint8_t* data, size_t size);
  void RelayToList(const TServerClient& sender, const uint8_t* data, size_t size);
  // `data` is the datagram as recipients receive it, with session id and checksum 0; `sums`
  // gives each recipient's checksum.
  void AddCopy(const TServerClient& sender, TServerClient& recipient, const uint8_t* data, size_t size,
               const Crc32Variants& sums, bool log_failure);
  // Sends the copies gathered so far and counts the ones that left.
  void Flush();

  TParleyvoxServer& server_;
  TIdSocketHandle* binding_ = nullptr;
  std::vector<QueuedDatagram> taken_;
  std::vector<SessionPtr> clients_;
  std::vector<uint8_t> arena_;
  std::vector<Copy> copies_;
  std::vector<TIdOutDatagram> out_;
};

}  // namespace pv
