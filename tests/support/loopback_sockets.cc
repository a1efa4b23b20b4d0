#include "support/loopback_sockets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace pv::test {

Fd::~Fd() { Reset(); }

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

namespace {
sockaddr_in Loopback(uint16_t port, const std::string& ip = "127.0.0.1") {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}
}  // namespace

Fd ConnectTcp(uint16_t port, const std::string& ip, const TcpOptions& options) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (options.nonblocking ? SOCK_NONBLOCK : 0), 0));
  sockaddr_in local = Loopback(0, options.from), to = Loopback(port, ip);
  // An address that does not parse is left as 0.0.0.0, which is not a source of its own.
  if (!options.from.empty() &&
      (local.sin_addr.s_addr == 0 || bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0))
    return Fd();
  if (options.receive_buffer > 0)
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &options.receive_buffer, sizeof options.receive_buffer);
  bool begun = connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 ||
               (options.nonblocking && errno == EINPROGRESS);
  return begun ? std::move(fd) : Fd();
}

Fd ListenTcp(uint16_t port, int backlog) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in local = Loopback(port);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd.Get(), backlog) != 0)
    return Fd();
  return fd;
}

TcpPair MakeTcpPair() {
  Fd listener = ListenTcp();
  TcpPair pair;
  pair.client = ConnectTcp(LocalPortOf(listener.Get()));
  pair.server = Fd(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  return pair;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  return SendAll(fd, std::string(bytes.begin(), bytes.end()));
}

bool SendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

std::string ReceiveSome(int fd, size_t max, std::chrono::milliseconds timeout, bool* eof) {
  if (eof) *eof = false;
  pollfd wait_for{fd, POLLIN, 0};
  if (poll(&wait_for, 1, static_cast<int>(timeout.count())) <= 0) return {};
  std::string out(max, '\0');
  ssize_t got = read(fd, out.data(), max);  // read, not recv: a terminal is read with it too
  if (got <= 0) {
    if (eof) *eof = true;
    return {};
  }
  out.resize(static_cast<size_t>(got));
  return out;
}

bool SeesClose(int fd, std::chrono::milliseconds timeout) {
  bool eof = false;
  for (auto end = std::chrono::steady_clock::now() + timeout; !eof && std::chrono::steady_clock::now() < end;)
    ReceiveSome(fd, 65536, std::chrono::milliseconds(50), &eof);
  return eof;
}

Fd BindUnixDatagram(const std::string& path) {
  Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  if (path.size() >= sizeof local.sun_path) return Fd();
  std::memcpy(local.sun_path, path.data(), path.size());
  // The length of the name itself: an abstract name (a leading zero byte) is exactly its bytes.
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), length) != 0) return Fd();
  return fd;
}

bool CanBind(int type, int port) {
  Fd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in local = Loopback(static_cast<uint16_t>(port));
  return bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

Fd OpenUdp(const std::string& ip) {
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local = Loopback(0, ip);
  bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
  return fd;
}

uint16_t LocalPortOf(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

bool SendUdp(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
  sockaddr_in to = Loopback(port);
  return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(bytes.size());
}

bool ReceiveUdp(int fd, std::vector<uint8_t>& out, std::chrono::milliseconds timeout,
                uint16_t* from_port) {
  pollfd wait_for{fd, POLLIN, 0};
  if (poll(&wait_for, 1, static_cast<int>(timeout.count())) <= 0) return false;
  out.assign(65536, 0);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t got = recvfrom(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (got < 0) return false;
  out.resize(static_cast<size_t>(got));
  if (from_port) *from_port = ntohs(from.sin_port);
  return true;
}

}  // namespace pv::test
