// TIdTCPConnection: one accepted control connection: its socket, an input buffer of bytes
// received and not yet consumed, and whether the peer has closed its side.
//
// Thread rules:
//  - Reads (ReadBytes, ReadFromBuffer, DiscardInput, CheckClosed, PollInput, IsOpen, InputSize)
//    happen only on the connection's own thread.
//  - WriteBytes may be called from any thread; the server serialises writers with the session's
//    out-queue lock. Close may be called from any thread at any time.
//  - Closing shuts the socket down (which wakes a blocked read or write) and marks the connection
//    closed; the descriptor itself is closed only when the object is destroyed, so no thread can
//    ever use a descriptor number that was handed out again.
// Writes never raise SIGPIPE: a write to a closed peer raises an error instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/byte_buffer.h"

namespace pv {

class TIdTCPConnection {
 public:
  // The most one receive takes from the socket.
  static constexpr size_t kRecvBufferSize = 32768;
  // A send blocked this long by a peer that does not read fails and closes the connection.
  static constexpr int kSendTimeoutSeconds = 10;

  // Takes ownership of a connected socket.
  explicit TIdTCPConnection(int fd, std::string peer_ip = {}, uint16_t peer_port = 0);
  ~TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // Waits without a time limit until n bytes are in the input buffer, receiving as needed, then
  // moves them to `dest`. Bytes that arrived before the peer closed are still returned; once
  // they cannot satisfy the read, raises EIdConnClosedGracefully. A socket failure raises
  // EIdSocketError.
  void ReadBytes(uint8_t* dest, size_t n);
  // Copies up to `max` bytes from the front of the input buffer without consuming them.
  size_t PeekBytes(uint8_t* dest, size_t max) const;
  // If the peer closed its side or the connection was closed, closes it locally; then, if
  // `raise_if_closed` and (`ignore_buffer` or the input buffer is empty), raises
  // EIdConnClosedGracefully.
  void CheckClosed(bool raise_if_closed, bool ignore_buffer);
  // Waits at most 1 ms for the socket to become readable and receives what has arrived (one
  // receive); then checks as CheckClosed(raise_if_closed, false). A timeout is not an error.
  void PollInput(bool raise_if_closed);
  // CheckClosed without raising; false once the connection is closed.
  bool IsOpen();
  // Bytes received and not yet consumed.
  size_t InputSize() const { return input_.Size(); }

  // Sends all n bytes, repeating partial sends, blocking as long as needed. Raises
  // EIdConnClosedGracefully when the connection was already closed, EIdSocketError when a send
  // fails (a send on a shut-down socket also closes the connection first).
  void WriteBytes(const uint8_t* data, size_t n);
  // Shuts the socket down; IsOpen is false afterwards. Safe from any thread, any number of times.
  void Close() noexcept;
  // Closed locally, without looking at the peer.
  bool Closed() const { return closed_.load(); }

  const std::string& PeerIP() const { return peer_ip_; }
  uint16_t PeerPort() const { return peer_port_; }
  int Handle() const { return fd_; }

 private:
  // One receive into the input buffer; `wait` blocks until something arrives.
  void ReceiveOnce(bool wait);
  bool Ended() const { return closed_.load() || peer_closed_.load(); }

  const int fd_;
  const std::string peer_ip_;
  const uint16_t peer_port_;
  std::atomic<bool> closed_{false};       // shut down on this side
  std::atomic<bool> peer_closed_{false};  // a receive saw the end of the stream
  ByteBuffer input_;
};

}  // namespace pv
