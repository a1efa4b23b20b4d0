#include "hostile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/printf.h"
#include "pvclient/client_packets.h"

namespace pv::bench {

namespace {

// A stalled client's receive buffer: the server's writes fill it after a few packets.
constexpr int kStalledReceiveBuffer = 2048;
constexpr auto kStalledRequestInterval = std::chrono::milliseconds(20);
// Two packets sent back to back may reach the server as one read; a real client pauses.
constexpr auto kPacketPause = std::chrono::milliseconds(30);
constexpr auto kChurnLoginWait = std::chrono::seconds(5);
// Fresh clients' names start here, apart from the talkers' and the residents'.
constexpr int kFirstFreshIndex = 300;
constexpr int kResidents = 2;

int ConnectLoopback(int port, int receive_buffer) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Set before connecting, so the window the server sees is small from the start.
  if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Closed by the server: the end of its stream has arrived, or the connection was reset.
bool ClosedByPeer(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0;
}

}  // namespace

StalledClients::StalledClients(int count, int port, const std::string& password) {
  for (int i = 0; i < count; ++i) {
    int fd = ConnectLoopback(port, kStalledReceiveBuffer);
    if (fd < 0) {
      error_ = Printf("stalled client %d: cannot connect: %s", i, std::strerror(errno));
      break;
    }
    fds_.push_back(fd);
    if (!SendPacket(fd, client::ClientLogin(Printf("stalled%02d", i), password, "1.2.1"))) error_ = Printf("stalled client %d: login not sent", i);
  }
  std::this_thread::sleep_for(kPacketPause);
  thread_ = std::thread([this] { Run(); });
}

StalledClients::~StalledClients() {
  Stop();
  for (int fd : fds_) ::close(fd);
}

void StalledClients::Run() {
  const auto ready = client::ClientReady();
  while (!stop_.load()) {
    // Each request brings a full server information back, which is never read. The sends never
    // wait: a server that stops reading only makes them fail.
    for (int fd : fds_) ::send(fd, ready.data(), ready.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    std::this_thread::sleep_for(kStalledRequestInterval);
  }
}

void StalledClients::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  thread_.join();
  closed_ = 0;
  for (int fd : fds_)
    if (ClosedByPeer(fd)) ++closed_;
}

Churn::Churn(int rate, int port, const std::string& password) : rate_(rate), port_(port), password_(password) {
  const auto deadline = Clock::now() + kChurnLoginWait;
  for (int i = 0; i < kResidents; ++i) {
    BenchClient c;
    c.index = kFirstFreshIndex - kResidents + i;
    std::string error = Login(c, port_, password_, deadline);
    residents_.push_back(c);
    if (!error.empty()) {
      error_ = "churn resident: " + error;
      return;
    }
  }
  thread_ = std::thread([this] { Run(); });
}

Churn::~Churn() {
  Stop();
  CloseClients(residents_);
  if (fresh_.tcp_fd >= 0) ::close(fresh_.tcp_fd);
}

void Churn::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  thread_.join();
}

void Churn::Run() {
  const auto interval = std::chrono::nanoseconds(1000000000LL / rate_);
  auto next = Clock::now();
  for (uint64_t n = 0; !stop_.load(); ++n) {
    Cycle(n);
    next += interval;
    // A cycle that overran (a slow login) is not made up for: the rate is an upper bound.
    if (next < Clock::now()) next = Clock::now();
    std::this_thread::sleep_until(next);
  }
}

void Churn::Cycle(uint64_t n) {
  // The previous fresh client leaves; its connection closes after the server had time to read.
  if (fresh_.tcp_fd >= 0) {
    SendPacket(fresh_.tcp_fd, client::Leave());
    ::shutdown(fresh_.tcp_fd, SHUT_WR);
    ::close(fresh_.tcp_fd);
    fresh_.tcp_fd = -1;
  }
  // A fresh login, timed from connect to the server information.
  fresh_ = BenchClient{};
  fresh_.index = kFirstFreshIndex + static_cast<int>(n % 100);
  const auto start = Clock::now();
  std::string error = Login(fresh_, port_, password_, start + kChurnLoginWait);
  if (error.empty()) {
    ++figures_.logins;
    figures_.login_us.push_back(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
  } else {
    ++figures_.login_failures;
    if (fresh_.tcp_fd >= 0) ::close(fresh_.tcp_fd);
    fresh_.tcp_fd = -1;
  }
  // A resident moves: rooms 2 and 1 in turn. What the residents were sent is read and dropped.
  BenchClient& mover = residents_[n % residents_.size()];
  const int room = (n / residents_.size()) % 2 == 0 ? 2 : 1;
  if (SendPacket(mover.tcp_fd, client::ChangeRoom(room))) ++figures_.room_changes;
  for (BenchClient& r : residents_) DrainInput(r.tcp_fd);
  if (fresh_.tcp_fd >= 0) DrainInput(fresh_.tcp_fd);
}

}  // namespace pv::bench
