// pvbench's UDP traffic: talkers that send relay datagrams at a steady rate, and one receiver
// that takes every datagram the server relays to any client and checks it.
//
// Each payload carries the send time, the talker, the talker's sequence number and the step,
// so the receiver can measure the delay, see loss and reordering per talker and recipient, and
// tell late datagrams of an earlier step from the current ones.
//
// Thread rules: Talk runs on the calling thread. The Receiver has a thread of its own; a step's
// Tally is read only after EndStep returned.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "control.h"
#include "options.h"

namespace pv::bench {

// What one step delivered, as the receiver saw it.
struct Tally {
  uint64_t delivered = 0;
  uint64_t overdue = 0;         // delivered later than the delivery deadline after sending
  uint64_t wrong_session = 0;   // not the recipient's own session id
  uint64_t bad_checksum = 0;
  uint64_t bad_header = 0;      // length field, mode, or a payload pvbench did not send
  uint64_t out_of_order = 0;    // a talker's sequence number not above the last one seen
  uint64_t from_self = 0;       // a talker's own datagram came back
  uint64_t late = 0;            // from an earlier step
  uint64_t OnTime() const { return delivered - overdue; }
  std::vector<uint32_t> delays_ns;
  // Per talker, the longest time between two of its datagrams arriving at one recipient.
  std::vector<int64_t> talker_max_gap_ns;
  uint64_t Errors() const { return wrong_session + bad_checksum + bad_header + out_of_order + from_self; }
};

// What one step sent.
struct SendResult {
  uint64_t sent = 0;
  uint64_t send_errors = 0;
  double seconds = 0.0;  // from the first send to the end of the step's talking time
};

class Receiver {
 public:
  // `udp_port` is the server's, where answers to its pings go. A datagram that arrives more
  // than `deadline_ms` after it was sent counts as delivered but overdue.
  Receiver(const std::vector<BenchClient>& clients, int talkers, int udp_port, int interval_us, int deadline_ms);
  ~Receiver();
  // Datagrams of step `step` go to `tally` from now on.
  void BeginStep(uint8_t step, Tally* tally);
  // Stops counting for the step; the tally may be read once this returns.
  void EndStep();
  // Live count of the current step, for the wait after talking.
  uint64_t Delivered() const { return delivered_.load(); }
  uint64_t ServerPingsAnswered() const { return pings_.load(); }
  // NowNs() when the last datagram arrived, 0 before the first.
  int64_t LastArrivalNs() const { return last_arrival_ns_.load(); }

 private:
  void Run();
  void Take(const BenchClient& to, const uint8_t* data, size_t size, int64_t now_ns);
  void AnswerPing(const BenchClient& to, const uint8_t* data, size_t size);

  const std::vector<BenchClient>& clients_;
  const int talkers_;
  const int interval_us_;
  const int64_t deadline_ns_;
  sockaddr_in server_{};
  int epoll_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // held while a batch is counted; BeginStep and EndStep take it
  Tally* tally_ = nullptr;
  uint8_t step_ = 0;
  std::vector<uint32_t> last_seq_;  // [talker * clients + recipient]
  std::vector<int64_t> last_at_;    // arrival of the last one, same index; 0: none this step
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> pings_{0};
  std::atomic<int64_t> last_arrival_ns_{0};
  std::thread thread_;
};

// Sends from the first `talkers` clients, `rate` datagrams per second each, for `seconds`, with
// the talkers' send times spread evenly. `packet_ids` holds each talker's next packet id and
// carries on from step to step.
// The datagrams go to 127.0.0.1:udp_port.
SendResult Talk(const std::vector<BenchClient>& clients, const Options& options, int udp_port, int rate,
                uint8_t step, std::vector<uint32_t>& packet_ids);

// The steady clock in nanoseconds, as the payloads carry it.
int64_t NowNs();

}  // namespace pv::bench
