#include "net/tcp_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "net/net_errors.h"
#include "net/socket_address.h"
#include "net/tcp_server_state.h"

namespace pv {

namespace {

// accept wakes at once when the listening socket is shut down; the bound is only a guard.
constexpr std::chrono::milliseconds kListenerStopWait{2000};
constexpr std::chrono::milliseconds kResourcePause{100};

// Errors of one pending connection (Linux passes some network errors through accept): the
// listener takes the next one.
bool IsConnectionError(int code) {
  switch (code) {
    case EINTR: case EAGAIN: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case EPERM:
      return true;
    default:
      return false;
  }
}

// Out of descriptors or memory: a later accept may succeed, so the listener pauses and goes on
// rather than stop accepting for good.
bool IsResourceShortage(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

// The body of TIdListenerThread: accepts until the listening socket fails or is shut down.
void RunListenerThread(const std::shared_ptr<TcpServerState>& state, int listen_fd) {
  while (!state->stop_accepting.load()) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      int code = errno;
      if (state->stop_accepting.load()) break;
      if (IsConnectionError(code)) continue;
      if (IsResourceShortage(code)) {
        std::this_thread::sleep_for(kResourcePause);
        continue;
      }
      break;  // the listening socket failed: this binding accepts no more connections
    }
    try {
      TcpServerState::AddPeer(state, fd, from);
    } catch (...) {
      // Out of memory for one connection: it is dropped (its socket closed), accepting goes on.
    }
  }
}

// Joins the ended connection threads of `state`; true when none is running any more.
bool ReapAndCheckDone(TcpServerState& state) {
  bool none_live = state.LiveCount() == 0;
  state.ReapEnded();
  return none_live;
}

}  // namespace

TIdTCPServer::TIdTCPServer() = default;

TIdTCPServer::~TIdTCPServer() {
  SetActive(false);
  for (auto& state : retired_) state->Release();
}

void TIdTCPServer::SetActive(bool active) {
  if (active == active_) return;
  if (active) {
    Activate();
  } else {
    Deactivate();
  }
}

void TIdTCPServer::Activate() {
  // Every socket is bound and listening before any thread starts; a failure closes them all.
  std::vector<std::unique_ptr<Listener>> opened;
  try {
    for (const BindAddress& binding : {binding_}) {
      auto listener = std::make_unique<Listener>();
      listener->fd = OpenSocket(SOCK_STREAM);
      opened.push_back(std::move(listener));
      int fd = opened.back()->fd;
      BindSocket(fd, ResolveBindAddress(binding.ip), binding.port, reuse_socket_);
      if (listen(fd, kListenQueue) != 0) RaiseSocketError(errno);
      opened.back()->port = LocalPort(fd);
    }
  } catch (...) {
    for (auto& listener : opened) CloseSocket(listener->fd);
    throw;
  }
  state_ = std::make_shared<TcpServerState>();
  state_->on_execute = on_execute_;
  state_->on_disconnect = on_disconnect_;
  state_->limits = limits_;
  state_->refused = refused_;
  listeners_ = std::move(opened);
  active_ = true;
  try {
    for (auto& listener : listeners_) {
      auto state = state_;
      int fd = listener->fd;
      listener->thread.Start("TIdListenerThread", [state, fd] { RunListenerThread(state, fd); });
    }
  } catch (...) {
    Deactivate();
    throw;
  }
}

void TIdTCPServer::StopListeners() {
  state_->stop_accepting = true;
  // shutdown wakes the accepting threads; a listening socket is closed only after its thread
  // has left accept (one that does not leave keeps its descriptor, which is never reused then).
  for (auto& listener : listeners_) shutdown(listener->fd, SHUT_RDWR);
  for (auto& listener : listeners_) {
    if (listener->thread.WaitFor(kListenerStopWait)) CloseSocket(listener->fd);
  }
  listeners_.clear();
}

void TIdTCPServer::Deactivate() {
  // 1. No new connections: the accepting threads end first, so none is added after step 2.
  StopListeners();
  // 2. Every live connection is shut down; its thread sees it closed and ends.
  state_->ShutDownAll();
  // 3. Wait for them, in 250 ms steps, within the terminate wait time.
  state_->WaitForLiveThreads(terminate_wait_ms_);
  // 4. Join those that ended; the others are kept track of until the server goes. The live
  //    count is read before the join: once it is 0 nothing joins the ended list any more, and
  //    an ended thread left unjoined there would keep itself and the state alive for ever.
  if (!ReapAndCheckDone(*state_)) retired_.push_back(state_);
  state_.reset();
  // Earlier activations whose last threads have ended since need no more tracking.
  std::erase_if(retired_, [](const std::shared_ptr<TcpServerState>& state) {
    return ReapAndCheckDone(*state);
  });
  active_ = false;
}

uint16_t TIdTCPServer::BoundPort(size_t index) const {
  return index < listeners_.size() ? listeners_[index]->port : 0;
}

size_t TIdTCPServer::LiveThreadCount() const {
  size_t count = state_ ? state_->LiveCount() : 0;
  for (auto& state : retired_) count += state->LiveCount();
  return count;
}

}  // namespace pv
