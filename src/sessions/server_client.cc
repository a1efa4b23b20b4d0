#include "sessions/server_client.h"

#include <arpa/inet.h>

#include <algorithm>

#include "core/server.h"
#include "net/local_address.h"

namespace pv {


TServerClient::TServerClient(TParleyvoxServer& server, std::shared_ptr<TIdPeerThread> peer_thread)
    : ConnectedAt(Now()),
      ConnectedAtSteady(SteadyNow()),
      server_(server),
      peer_thread_(peer_thread),
      raw_peer_(peer_thread.get()),
      connection_(peer_thread->ConnectionPtr()),
      tcp_address_(IPv4OrZero(connection_->PeerIP())),
      last_activity_steady_(ConnectedAtSteady.time_since_epoch().count()) {}

TServerClient::~TServerClient() { Destroy(); }

void TServerClient::Enqueue(std::vector<uint8_t> packet) {
  if (Destroying || QueueOverflowed) return;
  {
    MutexLock hold(out_queue_lock_);
    if (Destroying || QueueOverflowed) return;
    if (unsent_bytes_ + packet.size() <= kOutQueueLimit) {
      if (unsent_bytes_ == 0) waiting_since_ = SteadyNow();
      unsent_bytes_ += packet.size();
      out_queue_.push_back(std::move(packet));
      return;
    }
    // Past the bound: the client is not keeping up. What waits is freed now; the connection's
    // thread drops the client.
    QueueOverflowed = true;
    unsent_bytes_ -= std::min(unsent_bytes_, QueuedBytesLocked());
    out_queue_.clear();
  }
  connection_->Wake();
}

size_t TServerClient::QueuedBytesLocked() const {
  size_t total = 0;
  for (const auto& packet : out_queue_) total += packet.size();
  return total;
}

size_t TServerClient::UnsentBytes() {
  MutexLock hold(out_queue_lock_);
  return unsent_bytes_;
}

bool TServerClient::IsSlowAt(SteadyTime now) {
  if (QueueOverflowed) return true;
  MutexLock hold(out_queue_lock_);
  return unsent_bytes_ > 0 && now - waiting_since_ >= kStallLimit;
}

std::optional<SteadyTime> TServerClient::StallDeadline() {
  MutexLock hold(out_queue_lock_);
  if (unsent_bytes_ == 0) return std::nullopt;
  return waiting_since_ + kStallLimit;
}

void TServerClient::MarkLeaving() {
  leaving_since_ = SteadyNow().time_since_epoch().count();
  Leaving = true;
}

void TServerClient::NotePacket(SteadyTime now) { NotePaced(packets_done_at_, server_.PacketPace, now); }

void TServerClient::NoteRoomChange(SteadyTime now) { NotePaced(room_changes_done_at_, server_.RoomChangePace, now); }

void TServerClient::NoteServerInfo(SteadyTime now) { NotePaced(server_infos_done_at_, server_.ServerInfoPace, now); }

void TServerClient::NotePaced(SteadyTime& done_at, const TParleyvoxServer::RequestPace& pace, SteadyTime now) {
  const auto each =
      std::chrono::duration_cast<SteadyTime::duration>(std::chrono::seconds(1)) / std::max(1, pace.per_second);
  done_at = std::max(done_at, now) + each;
  // Up to `burst` requests may be ahead of the pace: once this one is the last of them, the next
  // packet waits until the pace allows another (of this kind; the other kind may hold it longer).
  next_packet_at_ = std::max(next_packet_at_, done_at - each * (std::max(1, pace.burst) - 1));
}

void TServerClient::CloseWhenSent() {
  close_when_sent_ = true;
  connection_->Wake();
}

void TServerClient::Flush() {
  SendResult result = Send(false);
  // The connection's thread waits for the socket to take the rest, or takes over the packets a
  // concurrent sender may have left behind.
  if (result == SendResult::kBytesLeft || result == SendResult::kBusy) connection_->Wake();
}

bool TServerClient::TakeQueued() {
  std::vector<std::vector<uint8_t>> taken;
  {
    MutexLock hold(out_queue_lock_);
    taken.swap(out_queue_);
  }
  if (taken.empty()) return false;
  if (sending_offset_ == sending_.size()) {
    sending_.clear();
    sending_offset_ = 0;
    sending_counted_ = 0;
  }
  for (auto& packet : taken) {
    Traffic.CountTcpOut(packet.size());
    sending_.insert(sending_.end(), packet.begin(), packet.end());
    sending_sizes_.push_back(packet.size());
  }
  return true;
}

void TServerClient::DropUnsent(bool count_for_session) {
  MutexLock hold(out_queue_lock_);
  if (count_for_session)
    for (const auto& packet : out_queue_) Traffic.CountTcpOut(packet.size());
  out_queue_.clear();
  sending_.clear();
  sending_offset_ = 0;
  sending_counted_ = 0;
  sending_sizes_.clear();
  unsent_bytes_ = 0;
}

TServerClient::SendResult TServerClient::Send(bool owner) {
  if (Destroying) return SendResult::kAllSent;
  if (owner) {
    send_lock_.Lock();  // held by another thread only for a send that does not wait
  } else if (!send_lock_.TryLock()) {
    return SendResult::kBusy;
  }
  MutexLock send(send_lock_, std::adopt_lock);
  // Destruction may have begun while this thread waited for the lock.
  if (Destroying) return SendResult::kAllSent;
  for (;;) {
    if (sending_offset_ == sending_.size() && !TakeQueued()) return SendResult::kAllSent;
    if (socket_full_) return owner ? SendResult::kBytesLeft : SendResult::kOwnerWaits;
    size_t sent = 0;
    try {
      sent = connection_->SendSome(sending_.data() + sending_offset_, sending_.size() - sending_offset_);
    } catch (const std::exception&) {
      // A dead connection: its thread notices and ends the session; nothing more goes out.
      DropUnsent(true);
      return SendResult::kAllSent;
    }
    if (sent == 0) {
      socket_full_ = true;
      return SendResult::kBytesLeft;
    }
    sending_offset_ += sent;
    {
      MutexLock hold(out_queue_lock_);
      unsent_bytes_ -= std::min(unsent_bytes_, sent);
      waiting_since_ = SteadyNow();
    }
    // Packets whose last byte went out count for the server.
    while (!sending_sizes_.empty() && sending_offset_ - sending_counted_ >= sending_sizes_.front()) {
      size_t size = sending_sizes_.front();
      sending_sizes_.pop_front();
      sending_counted_ += size;
      server_.Traffic.CountTcpOut(size);
    }
  }
}

void TServerClient::Destroy() {
  if (Destroying.exchange(true)) return;
  if (auto peer = peer_thread_.lock()) peer->ClearAppData();
  MutexLock send(send_lock_);
  DropUnsent(false);
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
