#include "sessions/udp_sender.h"

#include "core/event_log.h"
#include "core/server.h"
#include "net/udp_server.h"
#include "sessions/udp_relay.h"

namespace pv {

namespace {

// The server's bound UDP socket, null while the endpoint is inactive. Holding the handle keeps
// the socket open for the whole drain.
std::shared_ptr<TIdSocketHandle> ServerBinding(TParleyvoxServer& server) {
  return server.UdpServer() ? server.UdpServer()->Binding(0) : nullptr;
}

}  // namespace

TUDPSender::~TUDPSender() {
  Terminate();
  server_.SystemEvent.Set();
  WaitFor(std::chrono::milliseconds(5000));
}

void TUDPSender::Execute() {
  WriteLog("UDPSender.Execute", 3);
  // One relay for the thread's life, so its scratch space is reused by every drain.
  UdpRelay relay(server_);
  while (!Terminated()) {
    server_.SystemEvent.Wait();
    if (Terminated()) break;
    relay.Drain(ServerBinding(server_).get());
  }
  WriteLog("UDPSender.Terminated", 3);
}

void ProcessUDPList(TParleyvoxServer& server) { ProcessUDPList(server, ServerBinding(server).get()); }

void ProcessUDPList(TParleyvoxServer& server, TIdSocketHandle* binding) { UdpRelay(server).Drain(binding); }

}  // namespace pv
