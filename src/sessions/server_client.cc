#include "sessions/server_client.h"

#include <arpa/inet.h>

#include "core/server.h"

namespace pv {

TServerClient::TServerClient(TParleyvoxServer& server, std::shared_ptr<TIdPeerThread> peer_thread)
    : ConnectedAt(Now()),
      ConnectedAtSteady(SteadyNow()),
      server_(server),
      peer_thread_(peer_thread),
      raw_peer_(peer_thread.get()),
      connection_(peer_thread->ConnectionPtr()),
      last_activity_steady_(ConnectedAtSteady.time_since_epoch().count()) {}

TServerClient::~TServerClient() { Destroy(); }

void TServerClient::Enqueue(std::vector<uint8_t> packet) {
  if (Destroying) return;
  std::lock_guard<std::mutex> hold(out_queue_lock_);
  if (Destroying) return;
  out_queue_.push_back(std::move(packet));
}

void TServerClient::Flush() {
  if (Destroying) return;
  std::lock_guard<std::mutex> hold(out_queue_lock_);
  // Destruction may have begun while this thread waited for the lock.
  if (Destroying || out_queue_.empty()) return;
  // Oldest first, so a client sees its packets in the order the server produced them.
  for (auto& packet : out_queue_) {
    Traffic.CountTcpOut(packet.size());
    try {
      connection_->WriteBytes(packet.data(), packet.size());
      server_.Traffic.CountTcpOut(packet.size());
    } catch (const std::exception&) {
      // A dead connection is noticed by its own pass; the packet is dropped.
    }
  }
  out_queue_.clear();
}

void TServerClient::Destroy() {
  if (Destroying.exchange(true)) return;
  if (auto peer = peer_thread_.lock()) peer->ClearAppData();
  std::lock_guard<std::mutex> hold(out_queue_lock_);
  out_queue_.clear();
}

void TServerClient::SetUdpEndpoint(uint32_t ip_network_order, uint16_t port) {
  uint64_t value = (static_cast<uint64_t>(ip_network_order) << 16) | port;
  if (udp_endpoint_.load(std::memory_order_relaxed) != value) udp_endpoint_.store(value, std::memory_order_relaxed);
}

std::string TServerClient::UdpIP() const {
  uint64_t value = UdpEndpoint();
  if (value == 0) return std::string();
  in_addr addr{};
  addr.s_addr = static_cast<uint32_t>(value >> 16);
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

sockaddr_in TServerClient::UdpSockAddr() const {
  uint64_t value = UdpEndpoint();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = static_cast<uint32_t>(value >> 16);
  address.sin_port = htons(static_cast<uint16_t>(value & 0xFFFF));
  return address;
}

int32_t TServerClient::UdpPort() const { return static_cast<int32_t>(UdpEndpoint() & 0xFFFF); }

void TServerClient::Touch() {
  last_activity_steady_.store(SteadyNow().time_since_epoch().count());
}

}  // namespace pv
