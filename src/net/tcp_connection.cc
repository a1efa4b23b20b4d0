#include "net/tcp_connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/net_errors.h"
#include "net/socket_address.h"

namespace pv {

namespace {

// Without a wake-up descriptor a wait is cut into slices of this length.
constexpr int kWaitSliceWithoutWakeMs = 20;

int MillisecondsOf(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, 3600 * 1000));
}

}  // namespace

TIdTCPConnection::TIdTCPConnection(int fd, std::string peer_ip)
    : fd_(fd),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      accepted_at_(std::chrono::steady_clock::now()),
      peer_ip_(std::move(peer_ip)) {}

TIdTCPConnection::~TIdTCPConnection() {
  CloseSocket(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void TIdTCPConnection::ReceiveOnce(bool wait) {
  // A full input buffer takes nothing more: the bytes stay in the socket, and once its buffer
  // is full too, TCP flow control stops the sender.
  size_t room = std::min(kRecvBufferSize, kInputLimit - std::min(kInputLimit, input_.Size()));
  if (room == 0) return;
  uint8_t* space = input_.ReserveEnd(room);
  ssize_t received;
  do {
    received = recv(fd_, space, room, wait ? 0 : MSG_DONTWAIT);
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

size_t TIdTCPConnection::ReadFromBuffer(uint8_t* dest, size_t max) {
  size_t n = std::min(max, input_.Size());
  if (n > 0) {
    std::memcpy(dest, input_.Data(), n);
    input_.RemoveFront(n);
  }
  return n;
}

size_t TIdTCPConnection::PeekBytes(uint8_t* dest, size_t max) const {
  size_t n = std::min(max, input_.Size());
  if (n > 0) std::memcpy(dest, input_.Data(), n);
  return n;
}

void TIdTCPConnection::CheckClosed(bool raise_if_closed) {
  if (!Ended()) return;
  Close();
  if (raise_if_closed && input_.Empty()) throw EIdConnClosedGracefully();
}

void TIdTCPConnection::PollInput(bool raise_if_closed) {
  if (!Ended()) {
    pollfd wait_for{fd_, POLLIN, 0};
    int ready;
    do {
      ready = poll(&wait_for, 1, poll_wait_ms_);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) RaiseSocketError(errno);
    // A hang-up or an error is readable too: the receive reports it.
    if (ready > 0) ReceiveOnce(false);
  }
  CheckClosed(raise_if_closed);
}

bool TIdTCPConnection::IsOpen() {
  CheckClosed(false);
  return !closed_.load();
}

bool TIdTCPConnection::PeerEndedStream() const {
  if (Ended()) return true;
  pollfd look{fd_, POLLRDHUP, 0};
  return poll(&look, 1, 0) > 0 && (look.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void TIdTCPConnection::WriteBytes(const uint8_t* data, size_t n) {
  size_t sent_total = 0;
  while (sent_total < n) {
    size_t sent = SendSome(data + sent_total, n - sent_total);
    sent_total += sent;
    if (sent > 0 || sent_total == n) continue;
    pollfd wait_for{fd_, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&wait_for, 1, kSendTimeoutSeconds * 1000);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      // The peer took nothing for the whole send time-out: nothing more can go out on it.
      Close();
      RaiseSocketError(ETIMEDOUT);
    }
    if (ready < 0) RaiseSocketError(errno);
  }
}

size_t TIdTCPConnection::SendSome(const uint8_t* data, size_t n) {
  if (n == 0) return 0;
  if (Ended()) {
    Close();
    throw EIdConnClosedGracefully();
  }
  for (;;) {
    // MSG_NOSIGNAL: a closed peer yields EPIPE here instead of a SIGPIPE for the process.
    ssize_t sent = send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<size_t>(sent);
    int code = errno;
    if (code == EINTR) continue;
    if (code == EAGAIN || code == EWOULDBLOCK) return 0;
    // The socket was shut down (here or by a reset peer): nothing more can go out on it.
    Close();
    RaiseSocketError(code);
  }
}

TIdTCPConnection::Readiness TIdTCPConnection::WaitReady(bool want_write, std::chrono::milliseconds timeout,
                                                       bool want_input) {
  Readiness seen;
  if (Ended()) return seen;
  bool want_read = want_input && input_.Size() < kInputLimit;
  pollfd waits[2] = {{fd_, static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0},
                     {wake_fd_, POLLIN, 0}};
  int count = wake_fd_ >= 0 ? 2 : 1;
  int ms = MillisecondsOf(timeout);
  if (wake_fd_ < 0) ms = std::min(ms, kWaitSliceWithoutWakeMs);
  int ready;
  do {
    ready = poll(waits, static_cast<nfds_t>(count), ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) RaiseSocketError(errno);
  if (count == 2 && (waits[1].revents & POLLIN)) {
    uint64_t drained;
    seen.woken = ::read(wake_fd_, &drained, sizeof drained) > 0;
  }
  seen.writable = (waits[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && want_write;
  // A hang-up or an error is readable too: the receive reports it.
  if (want_read && (waits[0].revents & (POLLIN | POLLERR | POLLHUP))) ReceiveOnce(false);
  // Not read (paused, or its input full), a socket that was reset or hung up on would wake every
  // wait at once: its stream is taken as ended, as a receive would have found it.
  if (!want_read && (waits[0].revents & (POLLERR | POLLHUP))) peer_closed_ = true;
  return seen;
}

void TIdTCPConnection::Wake() noexcept {
  if (wake_fd_ < 0) return;
  uint64_t one = 1;
  // A full counter (never reached) or any failure only loses a wake-up that is already pending.
  [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

void TIdTCPConnection::Close() noexcept {
  if (closed_.exchange(true)) return;
  // shutdown wakes a read, write or wait blocked on this socket in another thread; the
  // descriptor stays valid until the destructor.
  shutdown(fd_, SHUT_RDWR);
  Wake();
}

}  // namespace pv
