// TUDPSender: the thread that relays the datagrams UDPRead queues. It waits for SystemEvent and
// then drains UdpSendList; stopping it means Terminate() and then SystemEvent.Set().
//
// A relay datagram goes, in target mode 0, to every other client in the sender's room, and in
// mode 1 to the players it lists, whatever their room, with the list stripped. Every recipient
// receives its own SessionId at offset 2 and a CRC-32 valid for exactly the bytes it receives.
// Other modes, and datagrams of clients that are gone or leaving, are dropped.
//
// Thread rules: ProcessUDPList runs on the send thread (tests call it directly). It takes
// UdpSendList and then ClientList, each only long enough to copy it, never both at once; the
// relaying itself holds no lock (see UdpRelay).
#pragma once

#include "base/thread.h"

namespace pv {

class TParleyvoxServer;
class TIdSocketHandle;

class TUDPSender : public TThread {
 public:
  explicit TUDPSender(TParleyvoxServer& server) : TThread("UDPSender"), server_(server) {}
  ~TUDPSender() override;

 protected:
  void Execute() override;

 private:
  TParleyvoxServer& server_;
};

// One drain of UdpSendList: every queued datagram is relayed to its recipients and freed. Sends
// go out from the server's own UDP port.
void ProcessUDPList(TParleyvoxServer& server);
// The same, sending from `binding` (null: every send fails as on a closed socket).
void ProcessUDPList(TParleyvoxServer& server, TIdSocketHandle* binding);

}  // namespace pv
