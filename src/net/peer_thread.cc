// The connection threads of the TCP listener and their shared bookkeeping.
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "net/net_errors.h"
#include "net/socket_address.h"
#include "net/tcp_server.h"
#include "net/tcp_server_state.h"

namespace pv {

namespace {
// Joining an ended thread takes microseconds; the bound only guards against the impossible.
constexpr std::chrono::milliseconds kJoinEndedWait{1000};
constexpr std::chrono::milliseconds kWaitStep{250};
}  // namespace

TIdPeerThread::TIdPeerThread(std::shared_ptr<TcpServerState> state,
                             std::shared_ptr<TIdTCPConnection> connection)
    : state_(std::move(state)), connection_(std::move(connection)) {}

std::shared_ptr<void> TIdPeerThread::AppData() const {
  std::lock_guard<std::mutex> hold(app_data_mutex_);
  return app_data_;
}

void TIdPeerThread::SetAppData(std::shared_ptr<void> data) {
  std::shared_ptr<void> old;
  {
    std::lock_guard<std::mutex> hold(app_data_mutex_);
    old = std::exchange(app_data_, std::move(data));
  }
  // The old object is destroyed here, outside the lock.
}

void TIdPeerThread::RunHandler() {
  if (!state_->on_execute) {
    connection_->Close();
    return;
  }
  try {
    state_->on_execute(*this);
  } catch (const EIdSocketError& e) {
    // A reset or aborted connection only closes it; the open-check then ends the calls.
    if (e.Code() != ECONNABORTED && e.Code() != ECONNRESET) throw;
    connection_->Close();
  }
}

void TIdPeerThread::Run(const std::shared_ptr<TIdPeerThread>& self) {
  try {
    do {
      RunHandler();
    } while (!terminated_.load() && connection_->IsOpen());
  } catch (...) {
    // Any other error ends the thread (the server's handler catches and logs its own).
  }
  // The end of a connection thread, in order: the peer sees the connection close; the
  // application object goes; the thread leaves the live list (which deactivation waits for).
  connection_->Close();
  ClearAppData();
  state_->PeerEnded(self);
}

void TcpServerState::AddPeer(const std::shared_ptr<TcpServerState>& state, int fd,
                             const sockaddr_in& from) {
  // Control packets are small and each one is sent as soon as it is queued; without this the
  // kernel would hold a packet back until the previous one is acknowledged.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Writes to a client happen under its out-queue lock, and broadcasts hold the client list
  // while they write: a client that stops reading must not hold the server up. A send that
  // cannot go on for this long gives up and the connection is closed.
  timeval send_timeout{TIdTCPConnection::kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  auto connection =
      std::make_shared<TIdTCPConnection>(fd, DottedIPv4(from.sin_addr), PortOf(from));
  auto peer = std::make_shared<TIdPeerThread>(state, connection);
  std::lock_guard<std::mutex> hold(state->mutex);
  if (state->stopping) return;  // dropping the connection closes the socket
  state->live.push_back(peer);
  try {
    peer->thread_.Start("TIdPeerThread", [peer] { peer->Run(peer); });
  } catch (...) {
    // No thread for it: the connection is dropped, the listener goes on.
    state->live.pop_back();
  }
}

void TcpServerState::PeerEnded(const std::shared_ptr<TIdPeerThread>& peer) {
  std::vector<std::shared_ptr<TIdPeerThread>> earlier;
  {
    std::lock_guard<std::mutex> hold(mutex);
    live.erase(std::remove(live.begin(), live.end(), peer), live.end());
    earlier.swap(ended);
    if (!released) ended.push_back(peer);
  }
  changed.notify_all();
  // Threads that ended before this one are joined here, so ended threads never pile up.
  for (auto& other : earlier) other->thread_.WaitFor(kJoinEndedWait);
}

void TcpServerState::ShutDownAll() {
  std::lock_guard<std::mutex> hold(mutex);
  stopping = true;
  for (auto& peer : live) {
    peer->terminated_ = true;
    peer->connection_->Close();
  }
}

bool TcpServerState::WaitForLiveThreads(int total_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
  std::unique_lock<std::mutex> hold(mutex);
  while (!live.empty()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    auto step = std::min<std::chrono::steady_clock::duration>(kWaitStep, deadline - now);
    changed.wait_for(hold, step);
  }
  return true;
}

void TcpServerState::ReapEnded() {
  std::vector<std::shared_ptr<TIdPeerThread>> finished;
  {
    std::lock_guard<std::mutex> hold(mutex);
    finished.swap(ended);
  }
  for (auto& peer : finished) peer->thread_.WaitFor(kJoinEndedWait);
}

void TcpServerState::Release() {
  std::vector<std::shared_ptr<TIdPeerThread>> finished;
  {
    std::lock_guard<std::mutex> hold(mutex);
    released = true;
    // A running thread keeps itself and this state alive through its own captures.
    for (auto& peer : live) peer->thread_.Detach();
    live.clear();
    finished.swap(ended);
  }
  for (auto& peer : finished) peer->thread_.WaitFor(kJoinEndedWait);
}

size_t TcpServerState::LiveCount() {
  std::lock_guard<std::mutex> hold(mutex);
  return live.size();
}

}  // namespace pv
