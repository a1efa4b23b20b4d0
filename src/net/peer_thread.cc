// The connection threads of the TCP listener and their shared bookkeeping.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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
constexpr int kSocketSendBuffer = 64 * 1024;
// A connection thread runs one pass at a time with a 4 KiB packet buffer; its deepest path (a
// configuration write) needs a few tens of KiB. The sanitizers' instrumented frames need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kConnectionStackSize = 1024 * 1024;
#else
constexpr size_t kConnectionStackSize = 256 * 1024;
#endif
}  // namespace

Admission Admit(const ConnectionLimits& limits, size_t open, bool any_pending, size_t pending_from_address,
                bool loopback) {
  // Local tools may open as many as they like; one remote address may not fill the server.
  if (!loopback && pending_from_address >= limits.max_pending_per_address) return Admission::kRefuse;
  if (open < limits.max_open) return Admission::kAdmit;
  // At the cap, the connection that has waited longest without logging in makes room: a
  // flood of silent connections then never keeps a real client from logging in.
  return any_pending ? Admission::kAdmitEvictingOldestPending : Admission::kRefuse;
}

TIdPeerThread::TIdPeerThread(std::shared_ptr<TcpServerState> state,
                             std::shared_ptr<TIdTCPConnection> connection)
    : state_(std::move(state)), connection_(std::move(connection)) {}

std::shared_ptr<void> TIdPeerThread::AppData() const {
  MutexLock hold(app_data_mutex_);
  return app_data_;
}

void TIdPeerThread::SetAppData(std::shared_ptr<void> data) {
  std::shared_ptr<void> old;
  {
    MutexLock hold(app_data_mutex_);
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
  // The end of a connection thread, in order: the application ends what it kept for the
  // connection (however the connection ended); the peer sees the connection close; the
  // application object goes; the thread leaves the live list (which deactivation waits for).
  if (state_->on_disconnect) {
    try {
      state_->on_disconnect(*this);
    } catch (...) {
    }
  }
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
  // A client that does not read may hold only this much in the kernel (which would otherwise
  // grow the buffer to megabytes); the rest waits in its bounded out-queue.
  int send_buffer = kSocketSendBuffer;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  auto connection =
      std::make_shared<TIdTCPConnection>(fd, DottedIPv4(from.sin_addr));
  auto peer = std::make_shared<TIdPeerThread>(state, connection);
  peer->peer_address_ = ntohl(from.sin_addr.s_addr);
  peer->loopback_ = (peer->peer_address_ >> 24) == 127;
  MutexLock hold(state->mutex);
  if (state->stopping) return;  // dropping the connection closes the socket
  size_t open = 0, from_address = 0;
  TIdPeerThread* oldest_pending = nullptr;
  for (auto& other : state->live) {
    if (other->evicted_) continue;
    ++open;
    if (other->Established()) continue;
    if (!oldest_pending) oldest_pending = other.get();
    if (other->peer_address_ == peer->peer_address_) ++from_address;
  }
  Admission admission = Admit(state->limits, open, oldest_pending != nullptr, from_address, peer->loopback_);
  if (admission != Admission::kAdmit && state->refused) state->refused->fetch_add(1, std::memory_order_relaxed);
  if (admission == Admission::kRefuse) return;
  if (admission == Admission::kAdmitEvictingOldestPending) {
    oldest_pending->evicted_ = true;
    oldest_pending->connection_->Close();  // its thread sees it closed and ends
  }
  state->live.push_back(peer);
  try {
    peer->thread_.Start("TIdPeerThread", [peer] { peer->Run(peer); }, kConnectionStackSize);
  } catch (...) {
    // No thread for it: the connection is dropped, the listener goes on.
    state->live.pop_back();
  }
}

void TcpServerState::PeerEnded(const std::shared_ptr<TIdPeerThread>& peer) {
  std::vector<std::shared_ptr<TIdPeerThread>> earlier;
  {
    MutexLock hold(mutex);
    live.erase(std::remove(live.begin(), live.end(), peer), live.end());
    earlier.swap(ended);
    if (!released) ended.push_back(peer);
  }
  changed.notify_all();
  // Threads that ended before this one are joined here, so ended threads never pile up.
  for (auto& other : earlier) other->thread_.WaitFor(kJoinEndedWait);
}

void TcpServerState::ShutDownAll() {
  MutexLock hold(mutex);
  stopping = true;
  for (auto& peer : live) {
    peer->terminated_ = true;
    peer->connection_->Close();
  }
}

bool TcpServerState::WaitForLiveThreads(int total_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
  MutexLock hold(mutex);
  while (!live.empty()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    hold.WaitUntil(changed, std::min(now + kWaitStep, deadline));
  }
  return true;
}

void TcpServerState::ReapEnded() {
  std::vector<std::shared_ptr<TIdPeerThread>> finished;
  {
    MutexLock hold(mutex);
    finished.swap(ended);
  }
  for (auto& peer : finished) peer->thread_.WaitFor(kJoinEndedWait);
}

void TcpServerState::Release() {
  std::vector<std::shared_ptr<TIdPeerThread>> finished;
  {
    MutexLock hold(mutex);
    released = true;
    // A running thread keeps itself and this state alive through its own captures.
    for (auto& peer : live) peer->thread_.Detach();
    live.clear();
    finished.swap(ended);
  }
  for (auto& peer : finished) peer->thread_.WaitFor(kJoinEndedWait);
}

size_t TcpServerState::LiveCount() {
  MutexLock hold(mutex);
  return live.size();
}

}  // namespace pv
