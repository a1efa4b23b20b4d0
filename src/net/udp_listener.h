// The UDP listener thread of a TIdUDPServer. Internal to the UDP endpoint.
//
// Thread rules: `bindings` and `on_read` are set before the thread starts and not changed
// after; Stop may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "net/socket_handle.h"
#include "net/udp_server.h"

namespace pv {

struct UdpListenerState {
  UdpListenerState();  // raises EIdSocketError when the wake-up descriptor cannot be made
  ~UdpListenerState();
  UdpListenerState(const UdpListenerState&) = delete;
  UdpListenerState& operator=(const UdpListenerState&) = delete;

  // Asks the thread to stop and wakes it from its wait at once.
  void Stop();

  std::vector<std::shared_ptr<TIdSocketHandle>> bindings;
  TIdUDPServer::ReadHandler on_read;
  std::atomic<bool> stop{false};
  int wake_fd = -1;  // an eventfd written by Stop
};

// The body of TIdUDPListenerThread: waits at most 1000 ms at a time for any binding to become
// readable, then receives every datagram waiting on it, in batches, and hands each to the read
// handler. Errors of a receive or of the handler are dropped; the loop goes on until stopped.
void RunUdpListenerThread(const std::shared_ptr<UdpListenerState>& state);

}  // namespace pv
