// TIdTCPConnection: one accepted control connection: its socket, an input buffer of bytes
// received and not yet consumed, and whether the peer has closed its side.
//
// Thread rules:
//  - Reads (ReadFromBuffer, PeekBytes, PollInput, IsOpen, InputSize, InputEnded, WaitReady) happen
//    only on the connection's own thread, and so does WriteBytes, the one write that may wait.
//  - SendSome never waits; the server lets one thread at a time send (the session's send lock).
//    Wake and Close may be called from any thread at any time.
//  - The input buffer never holds more than kInputLimit bytes: once it is full, nothing more is
//    taken from the socket until the passes have taken packets out, and TCP flow control holds
//    the sender back.
//  - Closing shuts the socket down (which wakes a blocked read or write) and marks the connection
//    closed; the descriptor itself is closed only when the object is destroyed, so no thread can
//    ever use a descriptor number that was handed out again.
// Writes never raise SIGPIPE: a write to a closed peer raises an error instead.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/byte_buffer.h"

namespace pv {

class TIdTCPConnection {
 public:
  // The most one receive takes from the socket.
  static constexpr size_t kRecvBufferSize = 32768;
  // The most unread input a connection holds.
  static constexpr size_t kInputLimit = 65536;
  // WriteBytes gives up (and closes the connection) when the peer takes nothing for this long.
  static constexpr int kSendTimeoutSeconds = 10;

  // Takes ownership of a connected socket.
  explicit TIdTCPConnection(int fd, std::string peer_ip = {});
  ~TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // Moves up to `max` bytes already in the input buffer to `dest` without waiting.
  size_t ReadFromBuffer(uint8_t* dest, size_t max);
  // Copies up to `max` bytes from the front of the input buffer without consuming them.
  size_t PeekBytes(uint8_t* dest, size_t max) const;
  // Waits at most the poll wait (1 ms) for the socket to become readable and receives what has
  // arrived (one receive). Then, if the peer closed its side or the connection was closed,
  // closes it locally and, when `raise_if_closed` and no unread input is left, raises
  // EIdConnClosedGracefully: bytes sent before a close are read first. A timeout is not an
  // error.
  void PollInput(bool raise_if_closed);
  // The longest PollInput waits. The fuzz harness, which has written every byte before the pass
  // runs, sets 0 so that a pass never sleeps; the server keeps the default.
  static constexpr int kPollWaitMs = 1;
  void SetPollWait(int milliseconds) { poll_wait_ms_ = milliseconds; }
  // Notes a peer's close without raising; false once the connection is closed.
  bool IsOpen();
  // Whether the peer has ended its stream (or reset it), looked at without reading: bytes it sent
  // before may still be unread. Never waits.
  bool PeerEndedStream() const;
  // Bytes received and not yet consumed.
  size_t InputSize() const { return input_.Size(); }

  // Sends all n bytes, repeating partial sends; waits for the socket while the peer takes at
  // least one byte every kSendTimeoutSeconds. Raises EIdConnClosedGracefully when the
  // connection was already closed, EIdSocketError when a send fails or the peer takes nothing
  // for that long (the connection is closed then).
  void WriteBytes(const uint8_t* data, size_t n);
  // Sends what the socket takes now, without waiting: the number of bytes sent (0 when its
  // buffer is full). Raises as WriteBytes does when the connection is closed or fails.
  size_t SendSome(const uint8_t* data, size_t n);

  // What WaitReady saw.
  struct Readiness {
    bool writable = false;  // the socket takes bytes again
    bool woken = false;     // another thread called Wake
  };
  // Waits until the socket brings input (when `want_input` and the input buffer has room),
  // becomes writable (when `want_write`), is closed, another thread calls Wake, or `timeout`
  // passes; then takes in whatever input has arrived without waiting. Raises EIdSocketError on a
  // socket failure.
  Readiness WaitReady(bool want_write, std::chrono::milliseconds timeout, bool want_input = true);
  // Makes the owner's WaitReady return; any thread. A wake-up before the wait is kept.
  void Wake() noexcept;
  // Shuts the socket down; IsOpen is false afterwards. Safe from any thread, any number of times.
  void Close() noexcept;
  // Closed locally, without looking at the peer.
  bool Closed() const { return closed_.load(); }
  // The end of the peer's stream was read: nothing more will arrive.
  bool InputEnded() const { return peer_closed_.load(); }

  // When the connection was accepted (steady clock).
  std::chrono::steady_clock::time_point AcceptedAt() const { return accepted_at_; }
  const std::string& PeerIP() const { return peer_ip_; }
  int Handle() const { return fd_; }

 private:
  // One receive into the input buffer; `wait` blocks until something arrives.
  void ReceiveOnce(bool wait);
  bool Ended() const { return closed_.load() || peer_closed_.load(); }
  // Closes locally once the peer has closed; raises EIdConnClosedGracefully when
  // `raise_if_closed` and the input buffer is empty.
  void CheckClosed(bool raise_if_closed);

  const int fd_;
  const int wake_fd_;  // an eventfd, or -1 when none could be made (WaitReady then polls)
  const std::chrono::steady_clock::time_point accepted_at_;
  const std::string peer_ip_;
  std::atomic<bool> closed_{false};       // shut down on this side
  std::atomic<bool> peer_closed_{false};  // a receive saw the end of the stream
  int poll_wait_ms_ = kPollWaitMs;
  ByteBuffer input_;
};

}  // namespace pv
