#include "net/tcp_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/net_errors.h"
#include "net/socket_address.h"

namespace pv {

TIdTCPConnection::TIdTCPConnection(int fd, std::string peer_ip, uint16_t peer_port)
    : fd_(fd), peer_ip_(std::move(peer_ip)), peer_port_(peer_port) {}

TIdTCPConnection::~TIdTCPConnection() { CloseSocket(fd_); }

void TIdTCPConnection::ReceiveOnce(bool wait) {
  uint8_t* space = input_.ReserveEnd(kRecvBufferSize);
  ssize_t received;
  do {
    received = recv(fd_, space, kRecvBufferSize, wait ? 0 : MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received > 0) {
    input_.Commit(static_cast<size_t>(received));
  } else if (received == 0) {
    // The end of the stream: the peer closed, or Close shut the socket down here.
    peer_closed_ = true;
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    RaiseSocketError(errno);
  }
}

void TIdTCPConnection::ReadBytes(uint8_t* dest, size_t n) {
  if (n == 0) return;
  while (input_.Size() < n) {
    if (Ended()) {
      Close();
      throw EIdConnClosedGracefully();
    }
    ReceiveOnce(true);
  }
  std::memcpy(dest, input_.Data(), n);
  input_.RemoveFront(n);
}

size_t TIdTCPConnection::PeekBytes(uint8_t* dest, size_t max) const {
  size_t n = std::min(max, input_.Size());
  if (n > 0) std::memcpy(dest, input_.Data(), n);
  return n;
}


void TIdTCPConnection::CheckClosed(bool raise_if_closed, bool ignore_buffer) {
  if (!Ended()) return;
  Close();
  if (raise_if_closed && (ignore_buffer || input_.Empty())) throw EIdConnClosedGracefully();
}

void TIdTCPConnection::PollInput(bool raise_if_closed) {
  if (!Ended()) {
    pollfd wait_for{fd_, POLLIN, 0};
    int ready;
    do {
      ready = poll(&wait_for, 1, 1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) RaiseSocketError(errno);
    // A hang-up or an error is readable too: the receive reports it.
    if (ready > 0) ReceiveOnce(false);
  }
  CheckClosed(raise_if_closed, false);
}

bool TIdTCPConnection::IsOpen() {
  CheckClosed(false, false);
  return !closed_.load();
}

void TIdTCPConnection::WriteBytes(const uint8_t* data, size_t n) {
  if (n == 0) return;
  if (Ended()) {
    Close();
    throw EIdConnClosedGracefully();
  }
  size_t sent_total = 0;
  while (sent_total < n) {
    // MSG_NOSIGNAL: a closed peer yields EPIPE here instead of a SIGPIPE for the process.
    ssize_t sent = send(fd_, data + sent_total, n - sent_total, MSG_NOSIGNAL);
    if (sent < 0) {
      int code = errno;
      if (code == EINTR) continue;
      // The socket was shut down (here or by a reset peer), or the peer stopped reading for the
      // whole send time-out: nothing more can go out on it.
      if (code == EPIPE || code == EAGAIN || code == EWOULDBLOCK) Close();
      RaiseSocketError(code);
    }
    sent_total += static_cast<size_t>(sent);
  }
}

void TIdTCPConnection::Close() noexcept {
  if (closed_.exchange(true)) return;
  // shutdown wakes a read or write blocked on this socket in another thread; the descriptor
  // stays valid until the destructor.
  shutdown(fd_, SHUT_RDWR);
}

}  // namespace pv
