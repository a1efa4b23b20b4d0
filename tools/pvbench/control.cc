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
#include "pvclient/control_connection.h"
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

}  // namespace

bool SendPacket(int fd, const std::vector<uint8_t>& bytes) { return client::SendAll(fd, bytes); }

bool DrainInput(int fd) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
}

void CloseClients(std::vector<BenchClient>& clients) {
  for (BenchClient& c : clients) {
    if (c.tcp_fd >= 0) ::close(c.tcp_fd);
    if (c.udp_fd >= 0) ::close(c.udp_fd);
    c.tcp_fd = c.udp_fd = -1;
  }
}

std::string Login(BenchClient& client, int port, const std::string& password, Clock::time_point deadline) {
  client::ControlConnection connection;
  std::string error = connection.Connect("127.0.0.1", static_cast<uint16_t>(port), deadline);
  if (!error.empty()) return error;
  if (!connection.Send(client::ClientLogin(Printf("bench%03d", client.index), password, "1.2.1")))
    return "login not sent";
  auto answer = connection.AwaitCode({kPktLoginAccepted, kPktServerFull, kPktBadServerPassword}, deadline);
  if (!answer) return "no answer to the login";
  if (answer->Code == kPktServerFull) return "server full: raise MaxClients in the server's pvserver.ini";
  if (answer->Code == kPktBadServerPassword) return "wrong server password (--password)";
  if (!connection.Send(client::ClientReady())) return "ready not sent";
  auto info = connection.AwaitCode({kPktServerInfo}, deadline);
  if (!info) return "no server information";
  // ServerInfo carries the session id in its header and the recipient's PlayerId.
  client.session_id = info->SessionId;
  client.player_id = client::ParseServerInfo(*info).PlayerId;
  client.tcp_fd = connection.Release();
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
