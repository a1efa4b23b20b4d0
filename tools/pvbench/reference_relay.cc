#include "reference_relay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/crc32.h"
#include "base/wire.h"
#include "sessions/datagrams.h"

namespace pv::bench {

namespace {

constexpr unsigned kBatch = 64;

}  // namespace

ReferenceRelay::ReferenceRelay(const std::vector<uint16_t>& session_ids, int cpu, bool use_sendto)
    : cpu_(cpu), use_sendto_(use_sendto) {
  for (uint16_t id : session_ids) members_.push_back(Member{id, {}, 0, 0});
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof local;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
    return;
  port_ = ntohs(local.sin_port);
  thread_ = std::thread([this] { Run(); });
  while (!ready_.load()) std::this_thread::yield();
}

ReferenceRelay::~ReferenceRelay() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

double ReferenceRelay::CpuSeconds() const {
  timespec t{};
  if (!thread_.joinable() || clock_gettime(clock_, &t) != 0) return -1.0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void ReferenceRelay::Run() {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu_, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  pthread_getcpuclockid(pthread_self(), &clock_);
  ready_ = true;
  std::vector<uint8_t> storage(kBatch * kMaxDatagramSize);
  mmsghdr messages[kBatch];
  iovec parts[kBatch];
  sockaddr_in from[kBatch];
  while (!stop_.load()) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    for (unsigned k = 0; k < kBatch; ++k) {
      parts[k] = iovec{storage.data() + k * kMaxDatagramSize, kMaxDatagramSize};
      messages[k] = mmsghdr{};
      messages[k].msg_hdr.msg_name = &from[k];
      messages[k].msg_hdr.msg_namelen = sizeof from[k];
      messages[k].msg_hdr.msg_iov = &parts[k];
      messages[k].msg_hdr.msg_iovlen = 1;
    }
    int got = recvmmsg(fd_, messages, kBatch, MSG_DONTWAIT, nullptr);
    for (int k = 0; k < got; ++k)
      Take(storage.data() + static_cast<size_t>(k) * kMaxDatagramSize, messages[k].msg_len, from[k]);
    SendAll();
  }
}

void ReferenceRelay::Take(uint8_t* data, size_t size, const sockaddr_in& from) {
  if (size < kHeaderSize) return;
  const uint16_t session_id = LoadU16(data + kOffSessionId);
  Member* sender = nullptr;
  for (Member& m : members_)
    if (m.session_id == session_id) sender = &m;
  if (sender == nullptr) return;
  sender->endpoint = from;
  if (LoadU16(data) == kPingMagic) {
    if (data[kOffPingKind] != kPingKindPing) return;
    std::vector<uint8_t> answer = BuildPingDatagram(session_id, kPingKindAnswer, data[kOffPingValue]);
    ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    return;
  }
  if (LoadU16(data) != kRelayMagic || size < kRelayHeaderSize) return;
  const uint32_t packet_id = LoadU32(data + kOffRelayPacketId);
  bool bad = sender->last_packet_id != 0 && packet_id != sender->last_packet_id + 1;
  if (!bad) bad = LoadU32(data + kOffRelayChecksum) != ZeroRelayChecksum(data, size);
  sender->errors += bad;
  sender->last_packet_id = packet_id;
  for (const Member& m : members_) {
    if (&m == sender || m.endpoint.sin_port == 0) continue;
    const size_t offset = arena_.size();
    arena_.resize(offset + size);
    std::memcpy(arena_.data() + offset, data, size);
    StampForRecipient(arena_.data() + offset, size, m.session_id);
    copies_.push_back(Copy{m.endpoint, offset, size});
  }
}

void ReferenceRelay::SendAll() {
  std::vector<mmsghdr> messages(copies_.size());
  std::vector<iovec> parts(copies_.size());
  for (size_t i = 0; i < copies_.size(); ++i) {
    parts[i] = iovec{arena_.data() + copies_[i].offset, copies_[i].size};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &copies_[i].to;
    messages[i].msg_hdr.msg_namelen = sizeof copies_[i].to;
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (size_t done = 0; done < messages.size();) {
    if (use_sendto_) {
      ::sendto(fd_, parts[done].iov_base, parts[done].iov_len, 0, reinterpret_cast<const sockaddr*>(&copies_[done].to),
               sizeof copies_[done].to);
      ++done;
      continue;
    }
    const auto chunk = static_cast<unsigned>(std::min<size_t>(messages.size() - done, kBatch));
    int sent = sendmmsg(fd_, messages.data() + done, chunk, 0);
    done += sent > 0 ? static_cast<size_t>(sent) : 1;  // a failed copy is skipped
  }
  arena_.clear();
  copies_.clear();
}

}  // namespace pv::bench
