// TServerClient: the server's record of one logged-in client: identity, room, UDP endpoint,
// counters, ping state and the TCP out-queue. Sessions are shared (std::shared_ptr): ClientList,
// the connection's AppData slot and every look-up hold one, so a record found under the
// ClientList lock stays alive after the lock is released.
//
// Thread rules: the out-queue lock guards the queue; it is held only to add or take packets,
// never across a socket call, and is taken after the ClientList lock, never before it. The send
// lock lets one thread at a time write to the connection, without ever waiting for the socket:
// a thread other than the connection's own only tries it and, when the socket takes less than
// it has, wakes the connection's thread, which alone waits for the socket to take the rest.
// Counters, flags and the ping state are atomics, written by the threads that own them and read
// by any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/sync.h"
#include "core/server.h"
#include "net/tcp_server.h"

namespace pv {

class TServerClient {
 public:
  TServerClient(TParleyvoxServer& server, std::shared_ptr<TIdPeerThread> peer_thread);
  ~TServerClient();
  TServerClient(const TServerClient&) = delete;
  TServerClient& operator=(const TServerClient&) = delete;

  // The most unsent bytes a session may have; a client past it is dropped as a slow client.
  static constexpr size_t kOutQueueLimit = 256 * 1024;
  // A client that takes no byte for this long while bytes wait for it is dropped too.
  static constexpr std::chrono::seconds kStallLimit{10};

  // Appends one complete control packet to the out-queue; does nothing once destruction began
  // or the client was found slow. A packet that would take the unsent bytes past the limit
  // marks the client slow and drops everything queued for it. Never writes.
  void Enqueue(std::vector<uint8_t> packet);
  // Any thread: sends what the socket takes now, oldest first, and leaves the rest to the
  // connection's own thread (woken for it). A failed send drops every unsent packet (counted
  // for the session, not for the server); the connection is closed then, and its thread ends
  // the session. Once a send found the socket full, nothing is tried again (and nobody woken)
  // until the connection's thread sees it writable: it is waiting for that already.
  void Flush();
  enum class SendResult { kAllSent, kBytesLeft, kBusy, kOwnerWaits };
  // The connection's own thread: as Flush, but it waits for another thread's send to finish
  // and tells what is left instead of waking anyone.
  SendResult SendQueued() { return Send(true); }
  // The connection's own thread, when its wait saw the socket writable: sends are tried again.
  void SocketWritable() { socket_full_ = false; }
  // Destruction: stop taking packets, unlink from the connection, drop what is queued.
  void Destroy();
  // Bytes queued and not yet taken by the socket.
  size_t UnsentBytes();

  // Slow clients: the queue overflowed, or no byte went out for kStallLimit while some waited.
  bool IsSlowAt(SteadyTime now);
  // When a client with bytes waiting becomes slow if nothing goes out; none when nothing waits.
  std::optional<SteadyTime> StallDeadline();
  std::atomic<bool> QueueOverflowed{false};

  // Sets Leaving and remembers when, so the connection's thread can bound the time it still
  // spends sending what was queued for the client (at most kLeaveDrainWait).
  void MarkLeaving();
  // Tells the connection's thread that everything the leaving client is still to get has been
  // queued: it closes the connection once that is sent.
  void CloseWhenSent();
  bool CloseWhenSentAsked() const { return close_when_sent_.load(); }
  SteadyTime LeavingSince() const { return SteadyTime(SteadyTime::duration(leaving_since_.load())); }

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
  // A client's packets are held to the server's paces: any packet 1,000 at once, then 1,000 a
  // second (a client sending as fast as its link allows kept a core of the server busy); room
  // changes and requests for the server information 50 at once, then 50 a second each (every
  // client is told of a room change, so one client's thousands filled the others' queues until
  // they were dropped as slow; the server information is a packet of every room and player).
  // Past a pace, the pass handles nothing more from the client before NextPacketAt, and what it
  // sends meanwhile waits in its socket. All on the connection's own thread only.
  void NotePacket(SteadyTime now);
  void NoteRoomChange(SteadyTime now);
  void NoteServerInfo(SteadyTime now);
  SteadyTime NextPacketAt() const { return next_packet_at_; }

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

  // This session's datagrams in UdpSendList in the server's RelayQueueRound of that number;
  // read and written only with UdpSendList locked.
  uint64_t RelayQueueRound = 0;
  uint32_t RelayQueued = 0;

  std::atomic<uint32_t> LastPacketId{0};
  std::atomic<uint32_t> UdpErrors{0};
  std::atomic<uint32_t> PingTime{0};
  std::atomic<bool> PingPending{false};
  std::atomic<uint32_t> PingSentTick{0};
  std::atomic<int32_t> PingTries{0};
  std::atomic<bool> PingDisconnect{false};

  // The IPv4 address (network order) of the control connection, 0 when unknown. The client's
  // datagrams must come from it (their port may differ and change).
  uint32_t TcpAddress() const { return tcp_address_; }

  bool BelongsTo(const TIdPeerThread* thread) const { return raw_peer_ == thread; }
  TIdTCPConnection& Connection() { return *connection_; }

 private:
  TParleyvoxServer& server_;
  // When the requests of each kind made so far would be done at the server's pace.
  SteadyTime packets_done_at_{};
  SteadyTime room_changes_done_at_{};
  SteadyTime server_infos_done_at_{};
  SteadyTime next_packet_at_{};
  void NotePaced(SteadyTime& done_at, const TParleyvoxServer::RequestPace& pace, SteadyTime now);
  // The connection thread may end before the session does (shut-down); the session keeps the
  // connection itself alive for writes and only a weak reference to the thread.
  std::weak_ptr<TIdPeerThread> peer_thread_;
  const TIdPeerThread* raw_peer_;
  std::shared_ptr<TIdTCPConnection> connection_;
  const uint32_t tcp_address_;
  SendResult Send(bool owner);
  // Moves the queued packets behind what is being sent; false when none was queued. Call with
  // the send lock held.
  bool TakeQueued() REQUIRES(send_lock_);
  // Drops everything unsent (a failed send counts the packets not yet taken for the session, as
  // if they had been tried). Call with the send lock held.
  void DropUnsent(bool count_for_session) REQUIRES(send_lock_);
  // Call with the out-queue lock held.
  size_t QueuedBytesLocked() const REQUIRES(out_queue_lock_);

  Mutex send_lock_;
  // Bytes taken from the queue, [sending_offset_, end) unsent.
  std::vector<uint8_t> sending_ GUARDED_BY(send_lock_);
  size_t sending_offset_ GUARDED_BY(send_lock_) = 0;
  // The finished packets at the front of sending_.
  size_t sending_counted_ GUARDED_BY(send_lock_) = 0;
  // The packets in sending_, for the server's counters.
  std::deque<size_t> sending_sizes_ GUARDED_BY(send_lock_);
  Mutex out_queue_lock_;
  std::vector<std::vector<uint8_t>> out_queue_ GUARDED_BY(out_queue_lock_);
  size_t unsent_bytes_ GUARDED_BY(out_queue_lock_) = 0;  // in out_queue_ and sending_
  // The last progress while bytes were unsent.
  SteadyTime waiting_since_ GUARDED_BY(out_queue_lock_){};
  // The last send took nothing; cleared by the connection's thread when its wait sees the
  // socket writable.
  std::atomic<bool> socket_full_{false};
  std::atomic<int64_t> leaving_since_{0};
  std::atomic<bool> close_when_sent_{false};
  std::atomic<uint64_t> udp_endpoint_{0};
  std::atomic<int64_t> last_activity_steady_;
};

}  // namespace pv
