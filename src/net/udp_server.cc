#include "net/udp_server.h"

#include <cerrno>
#include <chrono>

#include "net/net_errors.h"
#include "net/socket_address.h"
#include "net/udp_listener.h"

namespace pv {

namespace {
// The listener notices a stop at once (it is woken); the bound covers a read handler that is
// slow to return.
constexpr std::chrono::milliseconds kListenerStopWait{3000};
}  // namespace

TIdUDPServer::TIdUDPServer() = default;

TIdUDPServer::~TIdUDPServer() { SetActive(false); }

void TIdUDPServer::SetActive(bool active) {
  if (active == active_) return;
  if (active) {
    Activate();
  } else {
    Deactivate();
  }
}

void TIdUDPServer::Activate() {
  // A binding that fails to open is closed with its handle.
  std::vector<std::shared_ptr<TIdSocketHandle>> opened{std::make_shared<TIdSocketHandle>(binding_.ip, binding_.port)};
  opened.back()->Open();
  auto listener = std::make_shared<UdpListenerState>();
  listener->bindings = opened;
  listener->on_read = on_read_;
  auto thread = std::make_unique<NetThread>();
  thread->Start("TIdUDPListenerThread", [listener] { RunUdpListenerThread(listener); });
  {
    MutexLock hold(bindings_mutex_);
    bindings_ = std::move(opened);
  }
  listener_ = std::move(listener);
  thread_ = std::move(thread);
  active_ = true;
}

void TIdUDPServer::Deactivate() {
  // 1. Stop the listener thread; it is woken from its wait at once.
  listener_->Stop();
  // 2. Wait for it within a bound; one that overruns is let go and keeps its bindings alive
  //    until it ends.
  if (!thread_->WaitFor(kListenerStopWait)) thread_->Detach();
  thread_.reset();
  listener_.reset();
  // 3. Drop the bindings; each socket closes when its last sender lets go of it.
  std::vector<std::shared_ptr<TIdSocketHandle>> closing;
  {
    MutexLock hold(bindings_mutex_);
    closing.swap(bindings_);
  }
  active_ = false;
}

std::shared_ptr<TIdSocketHandle> TIdUDPServer::Binding(size_t index) const {
  MutexLock hold(bindings_mutex_);
  return index < bindings_.size() ? bindings_[index] : nullptr;
}

uint16_t TIdUDPServer::BoundPort(size_t index) const {
  auto binding = Binding(index);
  return binding ? binding->Port() : 0;
}

void TIdUDPServer::SendDatagram(const std::string& host, uint16_t port, const uint8_t* data,
                                size_t n) {
  if (port == 0) throw EIdSocketError(EINVAL);
  in_addr address = ResolveHost(host);
  auto binding = Binding(0);
  if (!binding) throw EIdSocketError(ENOTSOCK);
  binding->SendTo(MakeSockAddr(address, port), data, n);
}

}  // namespace pv
