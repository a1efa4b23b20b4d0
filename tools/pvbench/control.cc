#include "control.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/printf.h"
#include "base/wire.h"
#include "protocol/codes.h"
#include "sessions/datagrams.h"

namespace pv::bench {

namespace {

// The receive buffer asked for each UDP socket; the kernel caps it at net.core.rmem_max.
constexpr int kUdpReceiveBuffer = 4 << 20;

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool SendPacket(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool DrainInput(int fd) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
}

namespace {

// Reads exactly n bytes before the deadline.
bool ReadExactly(int fd, uint8_t* out, size_t n, Clock::time_point deadline) {
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
    ssize_t r = ::recv(fd, out + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// The next control packet: header and body by the header's Length.
bool ReadPacket(int fd, std::vector<uint8_t>& packet, Clock::time_point deadline) {
  packet.assign(kHeaderSize, 0);
  if (!ReadExactly(fd, packet.data(), kHeaderSize, deadline)) return false;
  size_t length = LoadU16(packet.data() + kOffLength);
  if (length < kHeaderSize) length = kHeaderSize;
  packet.resize(length);
  return ReadExactly(fd, packet.data() + kHeaderSize, length - kHeaderSize, deadline);
}

// Waits for a packet with one of the codes; other packets (notifications) are skipped.
int16_t AwaitCode(int fd, std::initializer_list<int16_t> codes, std::vector<uint8_t>& packet,
                  Clock::time_point deadline) {
  while (ReadPacket(fd, packet, deadline)) {
    auto code = static_cast<int16_t>(LoadU16(packet.data() + kOffCode));
    for (int16_t wanted : codes)
      if (code == wanted) return code;
  }
  return 0;
}

}  // namespace

void CloseClients(std::vector<BenchClient>& clients) {
  for (BenchClient& c : clients) {
    if (c.tcp_fd >= 0) ::close(c.tcp_fd);
    if (c.udp_fd >= 0) ::close(c.udp_fd);
    c.tcp_fd = c.udp_fd = -1;
  }
}

std::string Login(BenchClient& client, int port, const std::string& password, Clock::time_point deadline) {
  client.tcp_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = Loopback(port);
  if (client.tcp_fd < 0 || ::connect(client.tcp_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return Printf("cannot connect to 127.0.0.1:%d: %s", port, std::strerror(errno));
  PacketWriter login;
  login.Begin(0, kCmdClientLogin).Text30(Printf("bench%03d", client.index)).Text30(password).Text30("1.2.1");
  if (!SendPacket(client.tcp_fd, login.Finish())) return "login not sent";
  std::vector<uint8_t> packet;
  int16_t answer =
      AwaitCode(client.tcp_fd, {kPktLoginAccepted, kPktServerFull, kPktBadServerPassword}, packet, deadline);
  if (answer == kPktServerFull) return "server full: raise MaxClients in the server's pvserver.ini";
  if (answer == kPktBadServerPassword) return "wrong server password (--password)";
  if (answer != kPktLoginAccepted) return "no answer to the login";
  PacketWriter ready;
  ready.Begin(0, kCmdClientReady).U8(0).U8(0);
  if (!SendPacket(client.tcp_fd, ready.Finish())) return "ready not sent";
  if (AwaitCode(client.tcp_fd, {kPktServerInfo}, packet, deadline) != kPktServerInfo) return "no server information";
  // ServerInfo carries the session id in its header and the recipient's PlayerId at offset 10.
  client.session_id = LoadU16(packet.data() + kOffSessionId);
  client.player_id = packet.size() >= 12 ? LoadU16(packet.data() + 10) : 0;
  if (client.session_id == 0 || client.player_id == 0) return "server information without ids";
  return {};
}

std::string MakeEndpointKnown(BenchClient& client, int udp_port, Clock::time_point deadline) {
  client.udp_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in local = Loopback(0);
  if (client.udp_fd < 0 || ::bind(client.udp_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    return Printf("udp socket: %s", std::strerror(errno));
  ::setsockopt(client.udp_fd, SOL_SOCKET, SO_RCVBUF, &kUdpReceiveBuffer, sizeof kUdpReceiveBuffer);
  std::vector<uint8_t> ping = BuildPingDatagram(client.session_id, kPingKindPing, 1);
  sockaddr_in server = Loopback(udp_port);
  while (Clock::now() < deadline) {
    ::sendto(client.udp_fd, ping.data(), ping.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    pollfd p{client.udp_fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    uint8_t answer[64];
    ssize_t n = ::recv(client.udp_fd, answer, sizeof answer, 0);
    if (n == static_cast<ssize_t>(kPingDatagramSize) && LoadU16(answer) == kPingMagic &&
        answer[kOffPingKind] == kPingKindAnswer)
      return {};
  }
  return "the server did not answer the UDP ping";
}

ControlReader::ControlReader(const std::vector<BenchClient>& clients) {
  std::vector<int> fds;
  for (const BenchClient& c : clients) fds.push_back(c.tcp_fd);
  thread_ = std::thread([this, fds] { Run(fds); });
}

ControlReader::~ControlReader() {
  stop_ = true;
  thread_.join();
}

void ControlReader::Run(std::vector<int> fds) {
  std::vector<pollfd> waits;
  for (int fd : fds) waits.push_back(pollfd{fd, POLLIN, 0});
  uint8_t buffer[16384];
  while (!stop_.load()) {
    // A short slice, so the destructor's stop is seen quickly.
    if (::poll(waits.data(), waits.size(), 50) <= 0) continue;
    for (pollfd& w : waits) {
      if (w.fd < 0 || w.revents == 0) continue;
      ssize_t n = ::recv(w.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        bytes_ += static_cast<uint64_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        ++closed_;
        w.fd = -1;  // poll skips negative descriptors
      }
    }
  }
}

}  // namespace pv::bench
