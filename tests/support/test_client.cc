#include "support/test_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/loopback_sockets.h"

namespace pv::test {

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(uint16_t port, const std::string& from) {
  if (fd_ >= 0) {
    ADD_FAILURE() << "TestClient::Connect: already connected";
    return false;
  }
  Fd fd = ConnectTcp(port, "127.0.0.1", {.from = from});
  if (fd.Get() < 0) {
    ADD_FAILURE() << "connect to 127.0.0.1:" << port << (from.empty() ? "" : " from " + from) << ": "
                  << std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd.Release();
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.clear();
    closed_ = closing_ = false;
    session_id_ = 0;
  }
  reader_ = std::thread([this] { ReadLoop(); });
  return true;
}

void TestClient::Close() {
  if (fd_ < 0) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  // shutdown wakes the reader's blocking recv; the descriptor is closed only after it has left.
  ::shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
  ::close(fd_);
  fd_ = -1;
}

void TestClient::ReadLoop() {
  // The stream is cut into packets by the Length field of each header (offset 4): TCP may bring
  // several packets in one read or one across several. A Length below the 8-byte header, which
  // the server never sends, is taken as 8 so the stream keeps moving.
  Bytes pending;
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // closed by the server, reset, or shut down by Close
    pending.insert(pending.end(), buf, buf + n);
    std::lock_guard<std::mutex> lock(mu_);
    while (pending.size() >= 6) {
      auto length = static_cast<std::ptrdiff_t>(std::max(8, pending[4] | pending[5] << 8));
      if (static_cast<std::ptrdiff_t>(pending.size()) < length) break;
      ServerPacket p = MakeServerPacket(Bytes(pending.begin(), pending.begin() + length));
      pending.erase(pending.begin(), pending.begin() + length);
      if (session_id_ == 0 && p.SessionId != 0) session_id_ = p.SessionId;
      queue_.push_back(std::move(p));
    }
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  cv_.notify_all();
}

bool TestClient::Send(const Bytes& bytes) {
  bool ok = SendNow(bytes);
  std::this_thread::sleep_for(kSendPause);
  return ok;
}

bool TestClient::SendNow(const Bytes& bytes) {
  // One send() carries the whole command; SendAll's loop only covers a partial write.
  return fd_ >= 0 && SendAll(fd_, bytes);
}

std::optional<ServerPacket> TestClient::TryWaitFor(
    const std::function<bool(const ServerPacket&)>& match, Ms timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mu_);
  size_t checked = 0;  // queued packets already seen not to match
  for (;;) {
    for (size_t i = checked; i < queue_.size(); ++i) {
      if (match(queue_[i])) {
        ServerPacket p = std::move(queue_[i]);
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(i));
        return p;
      }
    }
    checked = queue_.size();
    if (closed_) return std::nullopt;
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && queue_.size() == checked) {
      return std::nullopt;
    }
  }
}

std::optional<ServerPacket> TestClient::WaitFor(
    const std::function<bool(const ServerPacket&)>& match, Ms timeout, const std::string& what) {
  auto p = TryWaitFor(match, timeout);
  if (!p) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string seen;
    for (const ServerPacket& q : queue_) seen += "\n  queued: " + Describe(q);
    ADD_FAILURE() << "no " << (what.empty() ? "matching packet" : what) << " within "
                  << timeout.count() << " ms" << (closed_ ? " (connection closed)" : "") << seen;
  }
  return p;
}

std::optional<ServerPacket> TestClient::WaitFor(int16_t code, Ms timeout) {
  return WaitFor([code](const ServerPacket& p) { return p.Code == code; }, timeout,
                 "packet with code " + std::to_string(code));
}

std::vector<ServerPacket> TestClient::CollectAll(Ms timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, timeout, [this] { return closed_; });
  std::vector<ServerPacket> all(std::make_move_iterator(queue_.begin()),
                                std::make_move_iterator(queue_.end()));
  queue_.clear();
  return all;
}

bool TestClient::Login(std::string_view name, std::string_view password,
                       std::string_view version, Ms timeout) {
  login_answer_.reset();
  server_info_.reset();
  if (!Send(ClientLogin(name, password, version))) return false;
  login_answer_ = WaitFor(
      [](const ServerPacket& p) {
        return p.Code == kPktLoginAccepted || p.Code == kPktServerFull ||
               p.Code == kPktBadServerPassword;
      },
      timeout, "answer to ClientLogin");
  if (!login_answer_ || login_answer_->Code != kPktLoginAccepted) return false;
  server_info_ = AskServerInfo(timeout);
  if (!server_info_) return false;
  player_id_ = server_info_->PlayerId;
  return true;
}

std::optional<ServerInfoMsg> TestClient::AskServerInfo(Ms timeout) {
  if (!Send(ClientReady())) return std::nullopt;
  auto info = WaitFor([](const ServerPacket& p) { return p.Code == kPktServerInfo || p.Code == kPktServerInfoLegacy; },
                      timeout, "ServerInfo");
  if (!info) return std::nullopt;
  return ParseServerInfo(*info);
}

uint16_t TestClient::SessionId() const {
  std::lock_guard<std::mutex> lock(mu_);
  return session_id_;
}

bool TestClient::IsClosedByServer(Ms timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this] { return closed_; }) && !closing_;
}

}  // namespace pv::test
