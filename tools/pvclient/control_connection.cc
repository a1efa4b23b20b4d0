#include "pvclient/control_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/printf.h"
#include "base/wire.h"

namespace pv::client {

namespace {

// Rounded up: a poll that times out has then reached the deadline, and the caller that asks the
// clock whether it was a time-out (and not a close) gets the right answer.
int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads exactly n bytes before the deadline.
bool ReadExactly(int fd, uint8_t* out, size_t n, Clock::time_point deadline) {
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t r = ::recv(fd, out + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// A non-blocking connect that waits for the answer until the deadline. The descriptor is left
// blocking again on success. Returns the errno of the failure, 0 on success.
int ConnectOne(int fd, const sockaddr* to, socklen_t len, Clock::time_point deadline) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int err = 0;
  if (::connect(fd, to, len) != 0) {
    if (errno != EINPROGRESS) return errno;
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, MillisLeft(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return ETIMEDOUT;
    socklen_t err_len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len);
  }
  ::fcntl(fd, F_SETFL, flags);
  return err;
}

}  // namespace

bool SendAll(int fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::optional<ServerPacket> ReadPacket(int fd, Clock::time_point deadline) {
  Bytes packet(kHeaderSize, 0);
  if (fd < 0 || !ReadExactly(fd, packet.data(), kHeaderSize, deadline)) return std::nullopt;
  size_t length = LoadU16(packet.data() + kOffLength);
  if (length < kHeaderSize) length = kHeaderSize;
  packet.resize(length);
  if (!ReadExactly(fd, packet.data() + kHeaderSize, length - kHeaderSize, deadline))
    return std::nullopt;
  return MakeServerPacket(std::move(packet));
}

ControlConnection::~ControlConnection() { Close(); }

std::string ControlConnection::Connect(const std::string& host, uint16_t port, Clock::time_point deadline) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return Printf("cannot resolve %s: %s", host.c_str(), ::gai_strerror(rc));
  std::string error = Printf("cannot connect to %s port %u", host.c_str(), static_cast<unsigned>(port));
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int err = ConnectOne(fd, a->ai_addr, a->ai_addrlen, deadline);
    if (err == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      break;
    }
    error = Printf("cannot connect to %s port %u: %s", host.c_str(), static_cast<unsigned>(port),
                   std::strerror(err));
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return fd_ >= 0 ? std::string() : error;
}

std::optional<ServerPacket> ControlConnection::AwaitCode(std::initializer_list<int16_t> codes,
                                                         Clock::time_point deadline) {
  while (auto p = Read(deadline)) {
    for (int16_t wanted : codes)
      if (p->Code == wanted) return p;
  }
  return std::nullopt;
}

int ControlConnection::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void ControlConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace pv::client
