#include "traffic.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/crc32.h"
#include "base/wire.h"
#include "sessions/datagrams.h"

namespace pv::bench {

namespace {

// Payload layout: send time (8 bytes), talker (2), sequence number (4), step (1), filler.
constexpr size_t kOffSendTime = 0;
constexpr size_t kOffTalker = 8;
constexpr size_t kOffSeq = 10;
constexpr size_t kOffStep = 14;
constexpr uint8_t kFiller = 0xA5;

constexpr unsigned kBatch = 64;

uint64_t LoadU64(const uint8_t* p) { return LoadU32(p) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32); }
void StoreU64(uint8_t* p, uint64_t v) {
  StoreU32(p, static_cast<uint32_t>(v));
  StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

bool ChecksumValid(uint8_t* d, size_t size) {
  const uint32_t sent = LoadU32(d + kOffRelayChecksum);
  return ZeroRelayChecksum(d, size) == sent;
}

// The datagram a talker sends: header, in mode 1 the list of every other client, the payload.
std::vector<uint8_t> Prototype(const std::vector<BenchClient>& clients, const BenchClient& talker, const Options& o) {
  std::vector<uint8_t> d(kRelayHeaderSize, 0);
  StoreU16(d.data() + kOffMagic, kRelayMagic);
  StoreU16(d.data() + kOffSessionId, talker.session_id);
  d[kOffRelayTargetMode] = static_cast<uint8_t>(o.mode);
  if (o.mode == kRelayModeList) {
    d.push_back(static_cast<uint8_t>(clients.size() - 1));
    for (const BenchClient& c : clients)
      if (c.index != talker.index) d.push_back(static_cast<uint8_t>(c.player_id));
  }
  d.resize(d.size() + static_cast<size_t>(o.payload), kFiller);
  StoreU16(d.data() + kOffLength, static_cast<uint16_t>(d.size()));
  return d;
}

void SleepUntil(int64_t ns) {
  timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

}  // namespace

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

SendResult Talk(const std::vector<BenchClient>& clients, const Options& o, int udp_port, int rate, uint8_t step,
                std::vector<uint32_t>& packet_ids) {
  const size_t talkers = static_cast<size_t>(o.talkers);
  std::vector<std::vector<uint8_t>> protos;
  for (size_t t = 0; t < talkers; ++t) protos.push_back(Prototype(clients, clients[t], o));
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<uint16_t>(udp_port));
  // Evenly spread: the n-th datagram of the step goes out at start + n * interval, from talker
  // n mod T. A sender that falls behind catches up at once; nothing is skipped.
  const double interval_ns = 1e9 / (static_cast<double>(rate) * static_cast<double>(talkers));
  const auto total = static_cast<uint64_t>(o.duration * rate) * talkers;
  SendResult result;
  const int64_t start = NowNs();
  for (uint64_t n = 0; n < total; ++n) {
    SleepUntil(start + static_cast<int64_t>(static_cast<double>(n) * interval_ns));
    const size_t t = n % talkers;
    std::vector<uint8_t>& d = protos[t];
    const size_t payload = d.size() - static_cast<size_t>(o.payload);
    const uint32_t id = packet_ids[t]++;
    StoreU32(d.data() + kOffRelayPacketId, id);
    StoreU64(d.data() + payload + kOffSendTime, static_cast<uint64_t>(NowNs()));
    StoreU16(d.data() + payload + kOffTalker, static_cast<uint16_t>(t));
    StoreU32(d.data() + payload + kOffSeq, id);
    d[payload + kOffStep] = step;
    StampRelayChecksum(d.data(), d.size());
    ssize_t sent = ::sendto(clients[t].udp_fd, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&server),
                            sizeof server);
    if (sent == static_cast<ssize_t>(d.size())) {
      ++result.sent;
    } else {
      ++result.send_errors;
    }
  }
  SleepUntil(start + static_cast<int64_t>(o.duration * 1e9));
  result.seconds = static_cast<double>(NowNs() - start) / 1e9;
  return result;
}

Receiver::Receiver(const std::vector<BenchClient>& clients, int talkers, int udp_port, int interval_us,
                   int deadline_ms)
    : clients_(clients),
      talkers_(talkers),
      interval_us_(interval_us),
      deadline_ns_(static_cast<int64_t>(deadline_ms) * 1000000),
      last_seq_(static_cast<size_t>(talkers) * clients.size(), 0),
      last_at_(last_seq_.size(), 0) {
  server_.sin_family = AF_INET;
  server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server_.sin_port = htons(static_cast<uint16_t>(udp_port));
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  for (const BenchClient& c : clients) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u32 = static_cast<uint32_t>(c.index);
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, c.udp_fd, &e);
  }
  thread_ = std::thread([this] { Run(); });
}

Receiver::~Receiver() {
  stop_ = true;
  thread_.join();
  ::close(epoll_fd_);
}

void Receiver::BeginStep(uint8_t step, Tally* tally) {
  std::lock_guard<std::mutex> hold(mutex_);
  step_ = step;
  tally_ = tally;
  tally_->talker_max_gap_ns.assign(static_cast<size_t>(talkers_), 0);
  std::fill(last_at_.begin(), last_at_.end(), 0);
  delivered_ = 0;
}

void Receiver::EndStep() {
  std::lock_guard<std::mutex> hold(mutex_);
  tally_ = nullptr;
}

void Receiver::Run() {
  std::vector<uint8_t> storage(kBatch * kMaxDatagramSize);
  mmsghdr messages[kBatch];
  iovec parts[kBatch];
  epoll_event ready[64];
  while (!stop_.load()) {
    // With an interval the receiver never blocks: it sweeps, then sleeps on its own timer, so
    // no send of the server ever has to wake it. Without one it blocks in a short slice (the
    // destructor's stop is seen quickly) and each arrival wakes it.
    int n = epoll_wait(epoll_fd_, ready, 64, interval_us_ > 0 ? 0 : 20);
    for (int i = 0; i < n; ++i) {
      const BenchClient& to = clients_[ready[i].data.u32];
      for (;;) {
        for (unsigned k = 0; k < kBatch; ++k) {
          parts[k] = iovec{storage.data() + k * kMaxDatagramSize, kMaxDatagramSize};
          messages[k] = mmsghdr{};
          messages[k].msg_hdr.msg_iov = &parts[k];
          messages[k].msg_hdr.msg_iovlen = 1;
        }
        int got = recvmmsg(to.udp_fd, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;
        const int64_t now = NowNs();
        last_arrival_ns_ = now;
        std::lock_guard<std::mutex> hold(mutex_);
        for (int k = 0; k < got; ++k)
          Take(to, storage.data() + static_cast<size_t>(k) * kMaxDatagramSize, messages[k].msg_len, now);
        if (static_cast<unsigned>(got) < kBatch) break;
      }
    }
    if (interval_us_ > 0) std::this_thread::sleep_for(std::chrono::microseconds(interval_us_));
  }
}

void Receiver::AnswerPing(const BenchClient& to, const uint8_t* data, size_t size) {
  // The server's ping supervision: echo it as an answer so the client stays in good standing.
  if (size < kPingDatagramSize || data[kOffPingKind] != kPingKindPing) return;
  std::vector<uint8_t> answer = BuildPingDatagram(to.session_id, kPingKindAnswer, data[kOffPingValue]);
  ::sendto(to.udp_fd, answer.data(), answer.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&server_),
           sizeof server_);
  ++pings_;
}

void Receiver::Take(const BenchClient& to, const uint8_t* data, size_t size, int64_t now_ns) {
  if (size >= kHeaderSize && LoadU16(data) == kPingMagic) return AnswerPing(to, data, size);
  if (tally_ == nullptr) return;
  Tally& t = *tally_;
  if (size < kRelayHeaderSize + kMinPayload || LoadU16(data) != kRelayMagic || LoadU16(data + kOffLength) != size ||
      data[kOffRelayTargetMode] != kRelayModeRoom) {
    ++t.bad_header;
    return;
  }
  if (LoadU16(data + kOffSessionId) != to.session_id) ++t.wrong_session;
  uint8_t copy[kMaxDatagramSize];
  std::memcpy(copy, data, size);
  if (!ChecksumValid(copy, size)) ++t.bad_checksum;
  const uint8_t* payload = data + kRelayHeaderSize;
  const size_t talker = LoadU16(payload + kOffTalker);
  if (talker >= static_cast<size_t>(talkers_)) {
    ++t.bad_header;
    return;
  }
  if (payload[kOffStep] != step_) {
    ++t.late;
    return;
  }
  if (talker == static_cast<size_t>(to.index)) ++t.from_self;
  const size_t pair = talker * clients_.size() + static_cast<size_t>(to.index);
  int64_t& last_at = last_at_[pair];
  if (last_at != 0 && now_ns - last_at > t.talker_max_gap_ns[talker]) t.talker_max_gap_ns[talker] = now_ns - last_at;
  last_at = now_ns;
  uint32_t& last = last_seq_[pair];
  const uint32_t seq = LoadU32(payload + kOffSeq);
  if (seq <= last) ++t.out_of_order;
  last = seq;
  ++t.delivered;
  ++delivered_;
  const int64_t delay = now_ns - static_cast<int64_t>(LoadU64(payload + kOffSendTime));
  if (delay > deadline_ns_) ++t.overdue;
  t.delays_ns.push_back(delay < 0 ? 0u : delay > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(delay));
}

}  // namespace pv::bench
