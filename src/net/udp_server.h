// TIdUDPServer: the UDP endpoint. Its bindings (TIdSocketHandle) are bound at activation; one
// listener thread (TIdUDPListenerThread) receives the datagrams of every binding and calls the
// read handler for each, on that thread. Datagrams longer than kBufferSize bytes are never
// delivered. SendDatagram sends from the first binding, that is, from the server's own port.
//
// Thread rules: configuration and SetActive are for one owning thread (the main thread). The
// read handler runs only on the listener thread. SendDatagram and Binding may be called from
// any thread, several at once; a send racing a deactivation fails with an error, never touches
// a closed socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/sync.h"
#include "base/wire.h"
#include "net/net_thread.h"
#include "net/socket_address.h"
#include "net/socket_handle.h"

namespace pv {

struct UdpListenerState;

// One received datagram as the read handler sees it: the bytes (valid only during the call),
// where they came from, and whether the receive that brought them found nothing else waiting.
struct TIdReceivedDatagram {
  const uint8_t* data = nullptr;
  size_t size = 0;
  sockaddr_in from{};
  bool alone = false;
};

class TIdUDPServer {
 public:
  // A received datagram and the binding that received it (replies leave from there).
  using ReadHandler = std::function<void(const TIdReceivedDatagram& datagram, TIdSocketHandle& binding)>;

  // The longest datagram delivered.
  static constexpr size_t kBufferSize = kMaxDatagramSize;

  TIdUDPServer();
  ~TIdUDPServer();
  TIdUDPServer(const TIdUDPServer&) = delete;
  TIdUDPServer& operator=(const TIdUDPServer&) = delete;

  // Where to bind: `ip` (dotted, a name to look up, or empty for every local interface) and
  // `port`. Set before activation.
  void SetBinding(const std::string& ip, uint16_t port) { binding_ = BindAddress{ip, port}; }
  // Set before activation.
  void SetOnUDPRead(ReadHandler handler) { on_read_ = std::move(handler); }

  // true: binds every binding (raising EIdSocketError on failure, with nothing left open) and
  // starts the listener thread. false: stops the thread (bounded wait) and closes the sockets.
  void SetActive(bool active);
  bool Active() const { return active_; }

  // Binding `index` while active, else null. Holding it keeps its socket open.
  std::shared_ptr<TIdSocketHandle> Binding(size_t index = 0) const EXCLUDES(bindings_mutex_);
  // The bound port of binding `index` while active, else 0.
  uint16_t BoundPort(size_t index = 0) const;

  // Sends n bytes as one datagram from the first binding to `host`:`port`. The host is resolved
  // as ResolveHost does (dotted as is, "LOCALHOST" in any case is 127.0.0.1, anything else
  // looked up; the empty text and a failed look-up raise EIdSocketError). Port 0 raises
  // EIdSocketError; so does an inactive endpoint. Otherwise raises as TIdSocketHandle::SendTo.
  void SendDatagram(const std::string& host, uint16_t port, const uint8_t* data, size_t n);

 private:
  void Activate();
  void Deactivate();

  BindAddress binding_;
  ReadHandler on_read_;
  bool active_ = false;
  std::shared_ptr<UdpListenerState> listener_;
  std::unique_ptr<NetThread> thread_;
  mutable Mutex bindings_mutex_;  // a leaf; guards bindings_ against the senders
  std::vector<std::shared_ptr<TIdSocketHandle>> bindings_ GUARDED_BY(bindings_mutex_);
};

}  // namespace pv
