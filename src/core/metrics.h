// ServerMetrics: the operator's counters, 64 bits wide so they never wrap in a server's life.
// Any thread adds to them without a lock (relaxed atomics); a reader copies them one by one, so
// a snapshot is exact per counter, not across counters. The eight traffic counters clients see
// live with the server's state, not here.
#pragma once

#include <atomic>
#include <cstdint>

namespace pv {

using MetricCounter = std::atomic<uint64_t>;

// Adds one (or n) to a counter; relaxed, as nothing is ordered by a counter.
inline void Count(MetricCounter& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

struct ServerMetrics {
  // The UDP relay: copies sent to recipients, and datagrams dropped before the relay, by reason.
  MetricCounter RelayedCopies{0};
  MetricCounter DroppedBadChecksum{0};
  MetricCounter DroppedBadPacketId{0};
  MetricCounter DroppedUnknownSession{0};
  MetricCounter DroppedWrongSourceAddress{0};
  MetricCounter DroppedOwnEndpoint{0};
  MetricCounter DroppedQueueFull{0};

  // ClientLogin answers, by result.
  MetricCounter LoginsAccepted{0};
  MetricCounter LoginsWrongPassword{0};
  MetricCounter LoginsFull{0};
  MetricCounter LoginsThrottled{0};

  // AdminLogin answers, by result.
  MetricCounter AdminLoginsAccepted{0};
  MetricCounter AdminLoginsWrongPassword{0};
  MetricCounter AdminLoginsThrottled{0};

  // Control connections the server ended itself.
  MetricCounter SlowClientsDropped{0};
  MetricCounter ConnectionsClosedBeforeLogin{0};
  MetricCounter ConnectionsRefusedAtCap{0};

  // Supervision: pings sent, clients given up after their pings went unanswered.
  MetricCounter PingsSent{0};
  MetricCounter ClientsGivenUp{0};

  // The web listing post: the central service and the configured one, each by result.
  MetricCounter ListingPostsCentralOk{0};
  MetricCounter ListingPostsCentralFailed{0};
  MetricCounter ListingPostsCustomOk{0};
  MetricCounter ListingPostsCustomFailed{0};
};

}  // namespace pv
