// TServerClient: the server's record of one logged-in client: identity, room, UDP endpoint,
// counters, ping state and the TCP out-queue. Sessions are shared (std::shared_ptr): ClientList,
// the connection's AppData slot and every look-up hold one, so a record found under the
// ClientList lock stays alive after the lock is released.
//
// Thread rules: the out-queue lock guards the queue and serialises every write to this client's
// connection. It is taken after the ClientList lock, never before it. Counters, flags and the
// ping state are atomics, written by the threads that own them and read by any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "core/server.h"
#include "net/tcp_server.h"

namespace pv {

class TServerClient {
 public:
  TServerClient(TParleyvoxServer& server, std::shared_ptr<TIdPeerThread> peer_thread);
  ~TServerClient();
  TServerClient(const TServerClient&) = delete;
  TServerClient& operator=(const TServerClient&) = delete;

  // Appends one complete control packet to the out-queue; does nothing once destruction began.
  void Enqueue(std::vector<uint8_t> packet);
  // Writes every queued packet to the connection, oldest first, and empties the queue. A write
  // error drops that packet (counted for the session, not for the server) and the rest are tried.
  void Flush();
  // Destruction: stop taking packets, unlink from the connection, drop what is queued.
  void Destroy();

  // Identity, set by the login before the session is published in ClientList.
  std::string ClientName;
  std::string ClientVer;
  uint8_t PlayerIndex = 0;
  int32_t SessionId = 0;
  int PlayerId() const { return PlayerIndex + 1; }
  // The older client generation, which gets the older packet layouts: exactly this version text.
  bool IsLegacy() const { return ClientVer == kLegacyClientVersion; }
  static constexpr const char* kLegacyClientVersion = "1.2.0";

  std::atomic<bool> IsAdmin{false};
  std::atomic<bool> Leaving{false};
  std::atomic<bool> Destroying{false};
  std::atomic<int32_t> RoomIndex{0};
  void SetRoomIndexFromId(int room_id) { RoomIndex = room_id - 1; }

  // This session's packets and datagrams, as PlayerStats shows them.
  TrafficCounters Traffic;

  // The UDP endpoint learned from the client's datagrams, kept as one atomic value (IPv4 address
  // in network order and port) so the relay reads it whole without a lock. 0 means none yet.
  void SetUdpEndpoint(uint32_t ip_network_order, uint16_t port);
  std::string UdpIP() const;  // dotted text, empty when unknown
  int32_t UdpPort() const;    // 0 when unknown
  uint64_t UdpEndpoint() const { return udp_endpoint_.load(std::memory_order_relaxed); }
  // The endpoint as a ready socket address for the relay; port 0 (refused by every send) when
  // the client has sent no datagram yet.
  sockaddr_in UdpSockAddr() const;

  // Activity, on the steady clock: it measures idle spans.
  void Touch();
  SteadyTime LastActivitySteady() const { return SteadyTime(SteadyTime::duration(last_activity_steady_.load())); }
  const TDateTime ConnectedAt;
  const SteadyTime ConnectedAtSteady;

  std::atomic<uint32_t> LastPacketId{0};
  std::atomic<uint32_t> UdpErrors{0};
  std::atomic<uint32_t> PingTime{0};
  std::atomic<bool> PingPending{false};
  std::atomic<uint32_t> PingSentTick{0};
  std::atomic<int32_t> PingTries{0};
  std::atomic<bool> PingDisconnect{false};

  bool BelongsTo(const TIdPeerThread* thread) const { return raw_peer_ == thread; }
  TIdTCPConnection& Connection() { return *connection_; }

 private:
  TParleyvoxServer& server_;
  // The connection thread may end before the session does (shut-down); the session keeps the
  // connection itself alive for writes and only a weak reference to the thread.
  std::weak_ptr<TIdPeerThread> peer_thread_;
  const TIdPeerThread* raw_peer_;
  std::shared_ptr<TIdTCPConnection> connection_;
  std::mutex out_queue_lock_;
  std::vector<std::vector<uint8_t>> out_queue_;
  std::atomic<uint64_t> udp_endpoint_{0};
  std::atomic<int64_t> last_activity_steady_;
};

}  // namespace pv
