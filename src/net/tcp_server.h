// TIdTCPServer: the TCP listener for control connections. One accepting thread per binding
// (TIdListenerThread) accepts connections; each accepted connection gets a TIdPeerThread of its
// own, which calls OnExecute again and again while the connection is open, then closes the
// connection and leaves the list of live threads.
//
// Thread rules: configuration and SetActive are for one owning thread (the main thread);
// OnExecute runs on the connection threads, several at once. Deactivating always returns in
// bounded time; a connection thread that has not ended by then finishes later on its own,
// touching only objects it keeps alive itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/sync.h"
#include "net/net_thread.h"
#include "net/socket_address.h"
#include "net/tcp_connection.h"

namespace pv {

struct TcpServerState;

// The thread of one accepted connection, handed to OnExecute on that thread.
class TIdPeerThread : public std::enable_shared_from_this<TIdPeerThread> {
 public:
  TIdPeerThread(std::shared_ptr<TcpServerState> state, std::shared_ptr<TIdTCPConnection> connection);
  TIdPeerThread(const TIdPeerThread&) = delete;
  TIdPeerThread& operator=(const TIdPeerThread&) = delete;

  TIdTCPConnection& Connection() { return *connection_; }
  // For keeping the connection alive beyond this thread (a session writing to it).
  const std::shared_ptr<TIdTCPConnection>& ConnectionPtr() const { return connection_; }

  // AppData: one application object, empty at start, released when the thread ends. Safe from
  // any thread.
  std::shared_ptr<void> AppData() const EXCLUDES(app_data_mutex_);
  template <typename T>
  std::shared_ptr<T> AppDataAs() const {
    return std::static_pointer_cast<T>(AppData());
  }
  void SetAppData(std::shared_ptr<void> data) EXCLUDES(app_data_mutex_);
  void ClearAppData() { SetAppData(nullptr); }

  // True once the listener is being deactivated.
  bool Terminated() const { return terminated_.load(); }

  // The application vouches for the connection (its client logged in): it no longer counts
  // against the limits on connections that have not proven themselves, and is never evicted.
  void SetEstablished() { established_ = true; }
  bool Established() const { return established_.load(); }

 private:
  friend class TIdTCPServer;
  friend struct TcpServerState;
  // The thread body: OnExecute while the connection is open, then the clean-up.
  void Run(const std::shared_ptr<TIdPeerThread>& self);
  void RunHandler();

  const std::shared_ptr<TcpServerState> state_;
  const std::shared_ptr<TIdTCPConnection> connection_;
  mutable Mutex app_data_mutex_;  // a leaf: the old object is destroyed after it is released
  std::shared_ptr<void> app_data_ GUARDED_BY(app_data_mutex_);
  std::atomic<bool> terminated_{false};
  std::atomic<bool> established_{false};
  bool evicted_ = false;     // guarded by the state's mutex: closed to make room for another
  bool loopback_ = false;    // the peer is on 127.0.0.0/8
  uint32_t peer_address_ = 0;
  NetThread thread_;
};

// Limits on the connections a listener keeps open. "Pending" connections are those the
// application has not called SetEstablished on yet.
struct ConnectionLimits {
  size_t max_open = SIZE_MAX;                 // open connections in all
  size_t max_pending_per_address = SIZE_MAX;  // pending ones from one IPv4 address (not loopback)
};

// What happens to a freshly accepted connection.
enum class Admission {
  kAdmit,
  kAdmitEvictingOldestPending,  // at the cap: the pending connection waiting longest is closed
  kRefuse,                      // closed right after accept
};
// The decision, given the open connections (not counting evicted ones), whether any of them is
// pending, and how many pending ones come from the new connection's address.
Admission Admit(const ConnectionLimits& limits, size_t open, bool any_pending, size_t pending_from_address,
                bool loopback);

class TIdTCPServer {
 public:
  using ExecuteHandler = std::function<void(TIdPeerThread&)>;
  // Called on a connection thread as its last step, however the connection ended.
  using DisconnectHandler = std::function<void(TIdPeerThread&)>;

  // Connections the kernel holds for accept. Deep enough that a burst of connections (a flood
  // of silent ones included) is taken in at once rather than retried by the clients seconds
  // later, a real client's among them.
  static constexpr int kListenQueue = 1024;
  static constexpr int kTerminateWaitTimeMs = 5000;

  TIdTCPServer();
  // Deactivates; connection threads still running after the wait are let go.
  ~TIdTCPServer();
  TIdTCPServer(const TIdTCPServer&) = delete;
  TIdTCPServer& operator=(const TIdTCPServer&) = delete;

  // Where to listen: `ip` (dotted, a name to look up, or empty for every local interface) and
  // `port`. Set before activation.
  void SetBinding(const std::string& ip, uint16_t port) { binding_ = BindAddress{ip, port}; }
  void SetOnExecute(ExecuteHandler handler) { on_execute_ = std::move(handler); }
  void SetOnDisconnect(DisconnectHandler handler) { on_disconnect_ = std::move(handler); }
  // Limits for connections accepted from the next activation on; `refused` (may be null) counts
  // the connections closed at a limit.
  void SetLimits(ConnectionLimits limits, std::atomic<uint64_t>* refused) {
    limits_ = limits;
    refused_ = refused;
  }
  // Off by default, so a port in use makes activation fail.
  void SetReuseSocket(bool reuse) { reuse_socket_ = reuse; }
  // The longest deactivation waits for connection threads (5000 ms unless changed).
  void SetTerminateWaitTime(int ms) { terminate_wait_ms_ = ms; }

  // true: binds and listens on every binding (raising EIdSocketError on failure, with nothing
  // left open) and starts the accepting threads. false: stops accepting, shuts down every live
  // connection and waits, in 250 ms steps up to the terminate wait time, for their threads.
  void SetActive(bool active);
  bool Active() const { return active_; }
  // The local port of binding `index` while active (the chosen one for port 0).
  uint16_t BoundPort(size_t index = 0) const;
  // Connection threads that have not finished yet.
  size_t LiveThreadCount() const;

 private:
  struct Listener {
    int fd = -1;
    uint16_t port = 0;
    NetThread thread;
  };
  void Activate();
  void Deactivate();
  void StopListeners();

  BindAddress binding_;
  ExecuteHandler on_execute_;
  DisconnectHandler on_disconnect_;
  ConnectionLimits limits_;
  std::atomic<uint64_t>* refused_ = nullptr;
  bool reuse_socket_ = false;
  int terminate_wait_ms_ = kTerminateWaitTimeMs;
  bool active_ = false;
  std::shared_ptr<TcpServerState> state_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  // States of earlier activations whose connection threads outlived the wait.
  std::vector<std::shared_ptr<TcpServerState>> retired_;
};

}  // namespace pv
