// What a TIdTCPServer activation shares with its accepting and connection threads. Each thread
// holds a shared pointer to it, so a thread that outlives the server still finds it alive.
// Internal to the TCP listener.
//
// Thread rules: the handlers and `stop_accepting` are set before the threads start; `live`,
// `ended`, `stopping` and `released` are guarded by `mutex`.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <vector>

#include "base/sync.h"
#include "net/tcp_server.h"

namespace pv {

struct TcpServerState {
  TIdTCPServer::ExecuteHandler on_execute;
  TIdTCPServer::DisconnectHandler on_disconnect;
  ConnectionLimits limits;
  std::atomic<uint64_t>* refused = nullptr;
  std::atomic<bool> stop_accepting{false};

  // A leaf: starting a thread and shutting a socket down are all that happen while it is held.
  Mutex mutex;
  std::condition_variable changed;  // a connection thread ended
  std::vector<std::shared_ptr<TIdPeerThread>> live GUARDED_BY(mutex);   // running connection threads
  std::vector<std::shared_ptr<TIdPeerThread>> ended GUARDED_BY(mutex);  // ended, not yet joined
  bool stopping GUARDED_BY(mutex) = false;                              // no new connection threads
  bool released GUARDED_BY(mutex) = false;  // the server is gone: nobody joins

  // On an accepting thread: gives the accepted socket its connection thread, or closes it when
  // the listener is stopping or a limit refuses it (evicting the oldest pending connection when
  // the cap is reached).
  static void AddPeer(const std::shared_ptr<TcpServerState>& state, int fd,
                      const sockaddr_in& from);
  // A connection thread's last step: leaves `live`, joins the threads that ended before it.
  void PeerEnded(const std::shared_ptr<TIdPeerThread>& peer);
  // Shuts down the connection of every live thread and stops new ones.
  void ShutDownAll();
  // Waits in 250 ms steps, up to `total_ms`, for every connection thread to end.
  bool WaitForLiveThreads(int total_ms);
  // Joins every ended thread.
  void ReapEnded();
  // The server is going away: running threads are let go and finish on their own.
  void Release();
  size_t LiveCount();
};

}  // namespace pv
