#include "sessions/udp_sender.h"

#include "core/event_log.h"
#include "core/server.h"

namespace pv {

TUDPSender::~TUDPSender() {
  Terminate();
  server_.SystemEvent.Set();
  WaitFor(std::chrono::milliseconds(5000));
}

void TUDPSender::Execute() {
  while (!Terminated()) {
    server_.SystemEvent.Wait();
    if (Terminated()) break;
    ProcessUDPList(server_);
  }
}

void ProcessUDPList(TParleyvoxServer& server) {
  auto list = server.UdpSendList.Lock();
  list->clear();
}

}  // namespace pv
