#include "sessions/udp_sender.h"

#include "base/event_log.h"
#include "core/server.h"
#include "net/udp_server.h"
#include "sessions/udp_relay.h"

namespace pv {

namespace {

// The server's bound UDP socket, null while the endpoint is inactive. Holding the handle keeps
// the socket open for the whole drain.
std::shared_ptr<TIdSocketHandle> ServerBinding(TIdUDPServer* udp) {
  return udp ? udp->Binding(0) : nullptr;
}

}  // namespace

TUDPSender::~TUDPSender() {
  Terminate();
  server_.SystemEvent.Set();
  WaitFor(std::chrono::milliseconds(5000));
}

void TUDPSender::Execute() {
  WriteLog("UDPSender.Execute", 3);
  while (!Terminated()) {
    server_.SystemEvent.Wait();
    if (Terminated()) break;
    MutexLock hold(drain_lock_);
    relay_.Drain(ServerBinding(udp_).get());
  }
  WriteLog("UDPSender.Terminated", 3);
}

bool TUDPSender::TryRelayAlone(QueuedDatagram& datagram, TIdSocketHandle& binding) {
  if (!drain_lock_.TryLock()) return false;
  MutexLock hold(drain_lock_, std::adopt_lock);
  if (!Started() || Terminated() || Finished()) return false;
  // Datagrams queued before this one leave first: they wait for the send thread.
  if (!Locked(server_.UdpSendList)->empty()) return false;
  relay_.RelayAlone(datagram, &binding);
  return true;
}

void ProcessUDPList(TParleyvoxServer& server, TIdSocketHandle* binding) { UdpRelay(server).Drain(binding); }

}  // namespace pv
