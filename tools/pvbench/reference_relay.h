// ReferenceRelay: a minimal relay for calibrating pvbench's figures. One thread, pinned to a
// given CPU, does per datagram and per recipient the work the server does (the session look-up
// by id, the packet-id and checksum tests, a copy per recipient with its own session id and a
// full checksum, sendmmsg batches, or one sendto per copy) and nothing more: no queue, no
// second thread, no locks, no log. Its CPU time per relayed datagram, measured by pvbench under
// the same load, is what the kernel and the machine cost by themselves at that moment.
//
// Thread rules: constructed and destroyed by pvbench's main thread; the relay runs on its own.
// Every client is in one room (target mode 0 only).
#pragma once

#include <netinet/in.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace pv::bench {

class ReferenceRelay {
 public:
  // Relays among clients with these session ids; `cpu` is where its thread runs.
  ReferenceRelay(const std::vector<uint16_t>& session_ids, int cpu, bool use_sendto);
  ~ReferenceRelay();
  ReferenceRelay(const ReferenceRelay&) = delete;
  ReferenceRelay& operator=(const ReferenceRelay&) = delete;

  // The UDP port it listens on (127.0.0.1), 0 when it could not open one.
  uint16_t Port() const { return port_; }
  // CPU seconds its thread has used so far.
  double CpuSeconds() const;

 private:
  struct Member {
    uint16_t session_id = 0;
    sockaddr_in endpoint{};  // port 0 until the member has sent something
    uint32_t last_packet_id = 0;
    uint64_t errors = 0;
  };
  void Run();
  void Take(uint8_t* data, size_t size, const sockaddr_in& from);
  void SendAll();

  std::vector<Member> members_;
  const int cpu_;
  const bool use_sendto_;
  int fd_ = -1;
  uint16_t port_ = 0;
  clockid_t clock_{};
  std::atomic<bool> ready_{false};
  std::atomic<bool> stop_{false};
  struct Copy {
    sockaddr_in to;
    size_t offset;  // into arena_
    size_t size;
  };
  std::vector<uint8_t> arena_;
  std::vector<Copy> copies_;
  std::thread thread_;
};

}  // namespace pv::bench
