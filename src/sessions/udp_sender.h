// TUDPSender: the thread that relays the datagrams UDPRead queues. It waits for SystemEvent and
// then drains UdpSendList; stopping it means Terminate() and then SystemEvent.Set().
//
// A relay datagram goes, in target mode 0, to every other client in the sender's room, and in
// mode 1 to the players it lists, whatever their room, with the list stripped. Every recipient
// receives its own SessionId at offset 2 and a CRC-32 valid for exactly the bytes it receives.
// Other modes, and datagrams of clients that are gone or leaving, are dropped.
//
// A relay datagram that reaches the listener alone (nothing else was waiting on the socket)
// while nothing is queued and no drain is under way is relayed at once on the listener thread,
// with the send thread's own relay: at light load this saves waking the send thread for every
// datagram, twice the thread switches for the same sends. When several arrive together, or the
// send thread is busy, they are queued for it as always, so under load the listener goes on
// receiving while the send thread relays, and it never waits for a drain.
//
// Thread rules: ProcessUDPList runs on the send thread (tests call it directly). It takes
// UdpSendList and then ClientList, each only long enough to copy it, never both at once; the
// relaying itself holds no lock (see UdpRelay) but the thread's drain lock, which TryRelayAlone
// only tries.
#pragma once

#include <cstdint>
#include <vector>

#include "base/sync.h"
#include "base/thread.h"
#include "sessions/udp_relay.h"

namespace pv {

class TParleyvoxServer;
class TIdSocketHandle;
class TIdUDPServer;

class TUDPSender : public TThread {
 public:
  // Drains send from `udp`'s first binding, the server's own port (null: every send fails as
  // on a closed socket).
  TUDPSender(TParleyvoxServer& server, TIdUDPServer* udp)
      : TThread("UDPSender"), server_(server), udp_(udp), relay_(server) {}
  ~TUDPSender() override;

  // Relays `datagram` (as UDPRead queues it) at once on the calling thread, as a drain of a
  // queue holding only it would, sending from `binding`: the server's socket it came in on.
  // Done only while the thread runs, nothing is queued and no drain is under way; otherwise
  // false, with nothing done.
  bool TryRelayAlone(QueuedDatagram& datagram, TIdSocketHandle& binding) EXCLUDES(drain_lock_);

 protected:
  void Execute() override;

 private:
  TParleyvoxServer& server_;
  TIdUDPServer* const udp_;
  // Held through every drain and every relay of a lone datagram, so datagrams leave in the
  // order they came and relay_ has one user at a time.
  Mutex drain_lock_;
  // One relay for the thread's life, so its scratch space is reused by every drain.
  UdpRelay relay_ GUARDED_BY(drain_lock_);
};

// One drain of UdpSendList: every queued datagram is relayed to its recipients and freed,
// sending from `binding` (null: every send fails as on a closed socket).
void ProcessUDPList(TParleyvoxServer& server, TIdSocketHandle* binding);

}  // namespace pv
