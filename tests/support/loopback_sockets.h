// Plain client-side sockets on 127.0.0.1 for tests, and a bounded wait on a condition.
// Every wait here has a deadline.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace pv::test {

// Polls `condition` every `interval` until it holds or the deadline passes; its last value.
template <typename F>
bool WaitUntil(F condition, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000),
               std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(interval);
  }
  return condition();
}

// An owned descriptor, closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  int Get() const { return fd_; }
  int Release() { int fd = fd_; fd_ = -1; return fd; }
  void Reset();

 private:
  int fd_ = -1;
};

// How ConnectTcp makes its socket: bound first to another loopback address `from` (127.0.0.2
// stands for another host), with a receive buffer of `receive_buffer` bytes set before the
// connection (while it still decides the advertised window), or non-blocking, in which case
// the connection is only begun.
struct TcpOptions {
  std::string from = "";
  int receive_buffer = 0;
  bool nonblocking = false;
};
// A TCP client connected to `ip`:`port`; an invalid Fd when the connection is refused.
Fd ConnectTcp(uint16_t port, const std::string& ip = "127.0.0.1", const TcpOptions& options = {});
// A TCP socket listening on 127.0.0.1:`port` (0: a free port); an invalid Fd when it cannot.
Fd ListenTcp(uint16_t port = 0, int backlog = 1);
// A connected pair on loopback: `server` is the accepted side.
struct TcpPair {
  Fd client;
  Fd server;
};
TcpPair MakeTcpPair();
// Sends all bytes (MSG_NOSIGNAL); false on failure.
bool SendAll(int fd, const std::string& bytes);
bool SendAll(int fd, const std::vector<uint8_t>& bytes);
// Receives up to `max` bytes, waiting at most `timeout`. Empty on timeout; `eof` tells whether
// the peer closed.
std::string ReceiveSome(int fd, size_t max, std::chrono::milliseconds timeout, bool* eof = nullptr);
// True when the peer closes (or resets) the connection within `timeout`; what it sent before is
// read and dropped.
bool SeesClose(int fd, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// An AF_UNIX datagram socket bound to `path` (a service manager's notification socket; a
// leading zero byte makes it an abstract name); read it with ReceiveSome, one datagram a call.
Fd BindUnixDatagram(const std::string& path);

// True when 127.0.0.1:port can be bound (type SOCK_STREAM or SOCK_DGRAM).
bool CanBind(int type, int port);

// A UDP socket bound to `ip` (127.0.0.1 unless another loopback address is named) on a free port.
Fd OpenUdp(const std::string& ip = "127.0.0.1");
uint16_t LocalPortOf(int fd);
bool SendUdp(int fd, uint16_t port, const std::vector<uint8_t>& bytes);
// One datagram, waiting at most `timeout`; false on timeout. `from_port` gets the sender's port.
bool ReceiveUdp(int fd, std::vector<uint8_t>& out, std::chrono::milliseconds timeout,
                uint16_t* from_port = nullptr);

}  // namespace pv::test
