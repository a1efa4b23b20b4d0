#include "sessions/udp_read.h"

#include <algorithm>

#include "base/date_time.h"
#include "base/wire.h"
#include "base/event_log.h"
#include "sessions/client_list.h"
#include "sessions/capped_log.h"
#include "sessions/datagrams.h"
#include "sessions/udp_guard.h"
#include "sessions/udp_sender.h"

namespace pv {

namespace {

// Magic and session id: the least a datagram must carry to be matched to a session.
constexpr size_t kSessionFieldsEnd = kOffSessionId + 2;
// The listener never waits for the send thread, so a relay that cannot keep up would let the
// queue grow without end, and every datagram behind it arrive later and later. The queue is
// bounded by the work waiting in it instead: a new datagram is dropped, as a full socket buffer
// would drop it, once the queued ones stand for about kMaxQueuedCopies copies (some 80 ms of
// relaying; with 64 clients about the 260 small datagrams a default socket buffer holds), and
// never more than kMaxQueuedDatagrams (16 MB of the largest ones). Each drain takes everything
// queued, so loads the relay keeps up with stay far below it.
constexpr size_t kMaxQueuedCopies = 16384;
constexpr size_t kMaxQueuedDatagrams = 2048;

size_t QueueLimit(TParleyvoxServer& server) {
  const size_t clients = Locked(server.ClientList)->size();
  // Every other client is the most a datagram goes to.
  const size_t copies_each = clients > 1 ? clients - 1 : 1;
  return std::min(kMaxQueuedDatagrams, kMaxQueuedCopies / copies_each);
}

// One client must not fill the queue for everyone: while the relay is behind, each session with
// datagrams queued may hold at most an equal share of the queue, with one share kept for a
// session that has none queued yet. A client that floods loses its own datagrams; the others'
// still get in. A lone sender may fill half the queue.
bool TakeQueueShare(TParleyvoxServer& server, TServerClient& session, size_t queued, size_t limit)
    REQUIRES(server.UdpSendList) {
  if (queued == 0) {
    // Everything queued before has been taken by the send thread.
    ++server.RelayQueueRound;
    server.RelayQueueSenders = 0;
  }
  if (session.RelayQueueRound != server.RelayQueueRound) {
    session.RelayQueueRound = server.RelayQueueRound;
    session.RelayQueued = 0;
  }
  const size_t senders = server.RelayQueueSenders + (session.RelayQueued == 0 ? 1 : 0);
  if (session.RelayQueued >= std::max<size_t>(1, limit / (senders + 1))) return false;
  if (session.RelayQueued++ == 0) ++server.RelayQueueSenders;
  return true;
}

// The packet-id and checksum tests. A failed test is only counted: the datagram is relayed all
// the same. The checksum field is left 0; the send thread fills it in per recipient.
// The operator's counters tell the two failures apart; the checksum is tested only when the
// packet id passed.
void CheckRelayDatagram(ServerMetrics& metrics, TServerClient& session, uint8_t* data, size_t size) {
  const uint32_t packet_id = LoadU32(data + kOffRelayPacketId);
  const uint32_t last = session.LastPacketId;
  // 0 means no datagram yet. The successor of 4294967295 is 0: the sender's counter wraps.
  bool bad = last != 0 && packet_id != static_cast<uint32_t>(last + 1u);
  if (bad) {
    Count(metrics.DroppedBadPacketId);
  } else {
    const uint32_t sent = LoadU32(data + kOffRelayChecksum);
    bad = ZeroRelayChecksum(data, size) != sent;
    if (bad) Count(metrics.DroppedBadChecksum);
  }
  if (bad) session.UdpErrors.fetch_add(1);
  // Taken also from a bad datagram, so after a gap the next one in sequence is good again.
  session.LastPacketId = packet_id;
}

void QueueRelayDatagram(TParleyvoxServer& server, TUDPSender* sender, const SessionPtr& session,
                        const TIdReceivedDatagram& datagram, TIdSocketHandle& binding) {
  const size_t size = datagram.size;
  QueuedDatagram queued{session, std::vector<uint8_t>(datagram.data, datagram.data + size)};
  CheckRelayDatagram(server.Metrics, *session, queued.bytes.data(), size);
  // Alone on the socket, with the send thread idle and nothing queued: relayed from here at
  // once, which spares a wake-up of the send thread for every datagram at light load.
  if (datagram.alone && sender && sender->TryRelayAlone(queued, binding)) return;
  const size_t limit = QueueLimit(server);
  {
    Locked list(server.UdpSendList);
    // The send thread is behind and busy: it drains the full queue without a new signal.
    if (list->size() >= limit || !TakeQueueShare(server, *session, list->size(), limit)) {
      Count(server.Metrics.DroppedQueueFull);
      return;
    }
    list->push_back(std::move(queued));
  }
  // Set after the lock is released; the send thread drains everything queued when it wakes.
  server.SystemEvent.Set();
}

void HandlePing(TParleyvoxServer& server, TServerClient& session, const uint8_t* data,
                const sockaddr_in& source, TIdSocketHandle& binding) {
  const uint8_t value = data[kOffPingValue];
  // A value above 4 is the server's own (200) coming back: an answer, whatever the kind says.
  const uint8_t kind = value > kMaxClientPingValue ? kPingKindAnswer : data[kOffPingKind];
  if (kind == kPingKindPing) {
    // Answered at once from this thread, to where the ping came from.
    std::vector<uint8_t> answer = BuildPingDatagram(session.SessionId, kPingKindAnswer, value);
    if (binding.TrySendTo(source, answer.data(), answer.size()) == 0) {
      server.Traffic.CountUdpOut(answer.size());
    }
  } else if (kind == kPingKindAnswer) {
    // Ticks wrap at 2^32; the unsigned difference is the round trip across a wrap too.
    if (session.PingPending) session.PingTime = TicksSince(Ticks{session.PingSentTick}, TickCount());
    session.PingPending = false;
    session.PingTries = 0;
    session.PingSentTick = 0;
  }
}

}  // namespace

void UDPRead(TParleyvoxServer& server, TUDPSender* sender, const TIdReceivedDatagram& datagram,
             TIdSocketHandle& binding) {
  const uint8_t* data = datagram.data;
  const size_t size = datagram.size;
  // Every datagram counts for the server, also one refused below.
  server.Traffic.CountUdpIn(size);
  // Summaries of log lines left out are written from here too, so they come even when the
  // flood that caused them has stopped.
  FlushCappedLog(server);
  if (size < kSessionFieldsEnd) return;
  const sockaddr_in& source = datagram.from;
  // The server's own endpoint as a source is a forgery: relaying or answering it would send the
  // server datagrams to itself, each coming back as a new one.
  if (IsOwnUdpEndpoint(server, source)) return Count(server.Metrics.DroppedOwnEndpoint);
  SessionPtr session = FindClientBySessionId(server, LoadU16(data + kOffSessionId));
  if (!session) return Count(server.Metrics.DroppedUnknownSession);
  // A session id alone proves nothing (ids are few and easily tried): a datagram from another
  // address than the client's control connection is dropped before it changes anything.
  if (!MaySpeakFor(server, *session, source)) return Count(server.Metrics.DroppedWrongSourceAddress);
  if (session->Leaving) {
    WriteCappedLog(server, static_cast<uint32_t>(session->SessionId), CappedLogLine::kLeavingClient,
                     "ALERT UDP: Incoming traffic from leaving client :" + session->ClientName, 1);
    return;
  }
  // Whatever the magic: a client's endpoint follows it when its port (or, with the address check
  // off, its address) changes.
  session->Touch();
  session->SetUdpEndpoint(source.sin_addr.s_addr, ntohs(source.sin_port));
  const uint16_t magic = LoadU16(data + kOffMagic);
  if (magic == kRelayMagic && size >= kRelayHeaderSize) {
    session->Traffic.CountUdpIn(size);
    QueueRelayDatagram(server, sender, session, datagram, binding);
  } else if (magic == kPingMagic && size >= kHeaderSize) {
    session->Traffic.CountUdpIn(size);
    HandlePing(server, *session, data, source, binding);
  }
}

}  // namespace pv
