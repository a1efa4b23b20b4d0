// TrafficCounters: the eight traffic counters the server keeps for itself and for each session
// (packets and bytes, in and out, TCP and UDP), and TrafficSnapshot, the same eight as plain
// numbers for the statistics packets. The names are written here once.
//
// The counters are 64 bits wide and never wrap in a server's life; the statistics packets carry
// their low 32 bits, the numbers wrapping 32-bit counters would show. Any thread adds without a
// lock (relaxed atomics); a snapshot is exact per counter, not across counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pv {

template <typename Counter>
struct TrafficCountersOf {
  // In the order the statistics packets carry them.
  Counter UdpPacketsOut{0}, UdpBytesOut{0}, UdpPacketsIn{0}, UdpBytesIn{0};
  Counter TcpPacketsOut{0}, TcpBytesOut{0}, TcpPacketsIn{0}, TcpBytesIn{0};

  // Counts `packets` packets of `bytes` bytes in all (atomic counters only).
  void CountUdpOut(size_t bytes, uint64_t packets = 1) { Add(UdpPacketsOut, UdpBytesOut, bytes, packets); }
  void CountUdpIn(size_t bytes) { Add(UdpPacketsIn, UdpBytesIn, bytes, 1); }
  void CountTcpOut(size_t bytes) { Add(TcpPacketsOut, TcpBytesOut, bytes, 1); }
  void CountTcpIn(size_t bytes) { Add(TcpPacketsIn, TcpBytesIn, bytes, 1); }

  // The eight values now, as plain numbers.
  TrafficCountersOf<uint64_t> Snapshot() const {
    return {UdpPacketsOut.load(std::memory_order_relaxed), UdpBytesOut.load(std::memory_order_relaxed),
            UdpPacketsIn.load(std::memory_order_relaxed),  UdpBytesIn.load(std::memory_order_relaxed),
            TcpPacketsOut.load(std::memory_order_relaxed), TcpBytesOut.load(std::memory_order_relaxed),
            TcpPacketsIn.load(std::memory_order_relaxed),  TcpBytesIn.load(std::memory_order_relaxed)};
  }

 private:
  static void Add(Counter& packets, Counter& bytes, size_t size, uint64_t n) {
    packets.fetch_add(n, std::memory_order_relaxed);
    bytes.fetch_add(static_cast<uint64_t>(size), std::memory_order_relaxed);
  }
};

using TrafficCounters = TrafficCountersOf<std::atomic<uint64_t>>;
using TrafficSnapshot = TrafficCountersOf<uint64_t>;

// A ninth counter must be added to Snapshot too.
static_assert(sizeof(TrafficSnapshot) == 8 * sizeof(uint64_t));

}  // namespace pv
