// TUDPSender: the thread that relays queued datagrams. It waits for SystemEvent and drains
// UdpSendList; stopping it means Terminate() and then SystemEvent.Set().
#pragma once

#include "base/thread.h"

namespace pv {

class TParleyvoxServer;

class TUDPSender : public TThread {
 public:
  explicit TUDPSender(TParleyvoxServer& server) : TThread("UDPSender"), server_(server) {}
  ~TUDPSender() override;

 protected:
  void Execute() override;

 private:
  TParleyvoxServer& server_;
};

// One drain of UdpSendList: every queued datagram is relayed to its recipients and freed.
void ProcessUDPList(TParleyvoxServer& server);

}  // namespace pv
