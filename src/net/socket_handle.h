// TIdSocketHandle: one bound UDP socket of a TIdUDPServer (a binding) and the ways the server
// sends datagrams from it.
//
// Thread rules: the Send functions may be called from any thread, several at once (each is one
// independent datagram send). The socket is closed when the
// last holder of the handle lets go, so a sender holding the handle never uses a closed socket.
// No send raises SIGPIPE.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pv {

// One datagram of a batch send.
struct TIdOutDatagram {
  sockaddr_in to{};
  const uint8_t* data = nullptr;
  size_t size = 0;
  // After SendBatch: 0 when sent, else the error code (RaiseDatagramError turns it into the
  // error a single send raises).
  int result = 0;
};

class TIdSocketHandle {
 public:
  // A binding on `ip` (empty: every local interface) and `port`, not yet open.
  TIdSocketHandle(std::string ip, uint16_t port);
  ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Creates the socket and binds it; raises EIdSocketError on failure.
  void Open();

  const std::string& IP() const { return ip_; }
  // The configured port, or the bound one once open.
  uint16_t Port() const { return port_; }
  int Handle() const { return fd_; }

  // Sends one datagram to a dotted address, without host resolution. Raises
  // EIdPackageSizeTooBig when it is too large for the network, EIdNotAllBytesSent when fewer
  // bytes left, EIdSocketError for any other failure (a text that is not a dotted address,
  // port 0, address 0.0.0.0 included).
  void SendTo(const std::string& ip, uint16_t port, const uint8_t* data, size_t n);
  // The same to a ready socket address.
  void SendTo(const sockaddr_in& to, const uint8_t* data, size_t n);
  // The same without raising: 0 when sent, else the error code for RaiseDatagramError.
  int TrySendTo(const sockaddr_in& to, const uint8_t* data, size_t n) noexcept;
  // Sends every datagram of `items` with as few system calls as possible; each item's `result`
  // tells how its send went, and a failed one does not keep the others back. Returns the number
  // sent.
  size_t SendBatch(TIdOutDatagram* items, size_t count) noexcept;

 private:
  const std::string ip_;
  uint16_t port_;
  int fd_ = -1;
};

}  // namespace pv
