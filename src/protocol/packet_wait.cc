#include "protocol/packet_wait.h"

#include <algorithm>

#include "base/wire.h"

namespace pv {

namespace {

// A wait without any deadline still wakes now and then; nothing depends on it.
constexpr std::chrono::seconds kIdleWakeUp{60};

// 0: nothing of a packet yet; 1: part of the header; 2: the header, part of the body.
int WaitStage(size_t waiting) { return waiting == 0 ? 0 : waiting < kHeaderSize ? 1 : 2; }

size_t NeededNow(TIdTCPConnection& connection) {
  uint8_t head[kHeaderSize];
  size_t waiting = connection.PeekBytes(head, sizeof head);
  return PacketBytesNeeded(head, std::max(waiting, connection.InputSize()));
}

}  // namespace

size_t PacketBytesNeeded(const uint8_t* head, size_t waiting) {
  if (waiting < kHeaderSize) return kHeaderSize;
  size_t length = LoadU16(head + 4);
  if (length >= kHeaderSize && length <= kPacketBufferSize) return length;
  return 0;
}

PassWait WaitForPacket(TIdPeerThread& thread, const SessionPtr& session) {
  TIdTCPConnection& connection = thread.Connection();
  int stage = WaitStage(connection.InputSize());
  SteadyTime stage_since = SteadyNow();
  for (;;) {
    SteadyTime now = SteadyNow();
    SteadyTime deadline = now + kIdleWakeUp;
    bool want_write = false;
    bool paused = false;
    if (session) {
      TServerClient::SendResult sent = session->SendQueued();
      if (session->IsSlowAt(now)) return PassWait::kSlowClient;
      want_write = sent != TServerClient::SendResult::kAllSent;
      // The socket takes none of what waits for the client: nothing more is read from it until
      // it does, so a client that asks without reading makes no work and no queue here, and
      // what it sends meanwhile waits in its socket (TCP holds the sender back). What arrived
      // before the end of its stream is still handled.
      paused = want_write && !connection.InputEnded();
      // A client past its pace waits the same way until its next packet is due. One that has
      // ended its stream meanwhile is gone: what it sent past its pace is not waited for.
      if (now < session->NextPacketAt()) {
        if (connection.PeerEndedStream()) return PassWait::kLost;
        paused = true;
        deadline = std::min(deadline, session->NextPacketAt());
      }
      if (auto stall = session->StallDeadline()) deadline = std::min(deadline, *stall);
      if (session->Leaving) {
        // Nothing more is read from a leaving client; it goes once its last packets are out.
        SteadyTime last = session->LeavingSince() + kLeaveDrainWait;
        if ((session->CloseWhenSentAsked() && !want_write) || now >= last) return PassWait::kSessionOver;
        deadline = std::min(deadline, last);
      }
    }
    if ((!session || !session->Leaving) && !paused) {
      size_t waiting = connection.InputSize();
      size_t needed = NeededNow(connection);
      if (waiting > 0 && waiting >= needed) return PassWait::kPacket;
      if (!connection.IsOpen()) return PassWait::kLost;
      if (stage > 0) {
        if (now >= stage_since + kPartialPacketWait) return PassWait::kLost;
        deadline = std::min(deadline, stage_since + kPartialPacketWait);
      }
    } else if (!connection.IsOpen()) {
      return PassWait::kLost;
    }
    if (!session) {
      SteadyTime login_by = connection.AcceptedAt() + kLoginWait;
      if (now >= login_by) return PassWait::kLoginTimeout;
      deadline = std::min(deadline, login_by);
    }
    if (connection.WaitReady(want_write, std::chrono::ceil<std::chrono::milliseconds>(deadline - now), !paused)
            .writable)
      session->SocketWritable();
    // A pause is the server's doing: the wait for the rest of a packet starts again after it.
    int new_stage = WaitStage(connection.InputSize());
    if (new_stage != stage || paused) {
      stage = new_stage;
      stage_since = SteadyNow();
    }
  }
}

size_t TakePacket(TIdTCPConnection& connection, uint8_t* buffer, size_t buffer_size) {
  size_t needed = NeededNow(connection);
  if (needed == 0) {
    // A length that cannot be trusted: the packet is what arrives within a moment.
    connection.PollInput(false);
    needed = connection.InputSize();
  }
  return connection.ReadFromBuffer(buffer, std::min(needed, buffer_size));
}

void SendRestBeforeClose(TServerClient& session, TIdTCPConnection& connection) {
  SteadyTime last = (session.Leaving ? session.LeavingSince() : SteadyNow()) + kLeaveDrainWait;
  while (session.SendQueued() != TServerClient::SendResult::kAllSent && connection.IsOpen()) {
    SteadyTime now = SteadyNow();
    if (now >= last) return;
    if (connection.WaitReady(true, std::chrono::ceil<std::chrono::milliseconds>(last - now)).writable)
      session.SocketWritable();
  }
}

}  // namespace pv
