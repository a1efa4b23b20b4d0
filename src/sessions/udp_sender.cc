#include "sessions/udp_sender.h"

#include "base/errors.h"
#include "base/wire.h"
#include "core/event_log.h"
#include "core/server.h"
#include "net/net_errors.h"
#include "net/udp_server.h"
#include "sessions/client_list.h"
#include "sessions/datagrams.h"

namespace pv {

namespace {

const char kDrainFailure[] = "in: TUDPSender.ProcessUDPList exception ";

// Sends one stamped copy and counts it for the recipient and the server. A failure returns the
// error code; nothing is counted then.
int SendCopy(TParleyvoxServer& server, TIdSocketHandle* binding, TServerClient& recipient,
             uint8_t* data, size_t size) {
  StampForRecipient(data, size, static_cast<uint16_t>(recipient.SessionId));
  int result = binding ? binding->TrySendTo(recipient.UdpSockAddr(), data, size) : ENOTSOCK;
  if (result != 0) return result;
  const auto bytes = static_cast<uint32_t>(size);
  recipient.UdpPacketsOut.fetch_add(1);
  recipient.UdpBytesOut.fetch_add(bytes);
  server.UdpBytesOut.fetch_add(bytes);
  server.UdpPacketsOut.fetch_add(1);
  return 0;
}

void RelayToRoom(TParleyvoxServer& server, std::vector<SessionPtr>& clients, TIdSocketHandle* binding,
                 TServerClient& sender, std::vector<uint8_t>& datagram) {
  const int32_t room = sender.RoomIndex;
  for (SessionPtr& r : clients) {
    if (r->Leaving || r.get() == &sender || r->RoomIndex != room) continue;
    // A failed send (no endpoint yet, socket error) is not logged in this mode.
    SendCopy(server, binding, *r, datagram.data(), datagram.size());
  }
}

void RelayToList(TParleyvoxServer& server, std::vector<SessionPtr>& clients, TIdSocketHandle* binding,
                 TServerClient& sender, const std::vector<uint8_t>& datagram) {
  const TargetList list = ReadTargetList(datagram.data(), datagram.size());
  std::vector<uint8_t> stripped = StripTargetList(datagram.data(), datagram.size(), list);
  for (SessionPtr& r : clients) {
    if (r->Leaving || r.get() == &sender) continue;
    // PlayerId 256 does not fit in a list byte: that slot is never addressed.
    const int player_id = r->PlayerId();
    if (player_id > 255 || !list.player_ids.test(static_cast<size_t>(player_id))) continue;
    int result = SendCopy(server, binding, *r, stripped.data(), stripped.size());
    if (result == 0) continue;
    try {
      RaiseDatagramError(result);
    } catch (const Error& e) {
      WriteLog(CaughtLine(kDrainFailure, e), 1);
    }
  }
}

void Relay(TParleyvoxServer& server, std::vector<SessionPtr>& clients, TIdSocketHandle* binding,
           std::vector<uint8_t>& datagram) {
  TServerClient* sender = FindSessionIn(clients, LoadU16(datagram.data() + kOffDgSessionId));
  if (!sender) return WriteLog("Tried to send a udp packet from a destroyed client", 1);
  if (sender->Leaving) return WriteLog("Tried to send a udp packet from a leaving client", 1);
  const uint8_t mode = datagram[kOffRelayTargetMode];
  if (mode == kRelayModeRoom) RelayToRoom(server, clients, binding, *sender, datagram);
  if (mode == kRelayModeList) RelayToList(server, clients, binding, *sender, datagram);
}

}  // namespace

TUDPSender::~TUDPSender() {
  Terminate();
  server_.SystemEvent.Set();
  WaitFor(std::chrono::milliseconds(5000));
}

void TUDPSender::Execute() {
  WriteLog("UDPSender.Execute", 3);
  while (!Terminated()) {
    server_.SystemEvent.Wait();
    if (Terminated()) break;
    ProcessUDPList(server_);
  }
  WriteLog("UDPSender.Terminated", 3);
}

void ProcessUDPList(TParleyvoxServer& server) {
  // Holding the handle keeps the socket open for the whole drain.
  std::shared_ptr<TIdSocketHandle> binding = server.UdpServer() ? server.UdpServer()->Binding(0) : nullptr;
  ProcessUDPList(server, binding.get());
}

void ProcessUDPList(TParleyvoxServer& server, TIdSocketHandle* binding) {
  // 1. Take every queued datagram at once; the listener goes on appending to an empty list
  //    while this drain relays, and its SystemEvent brings the next drain.
  std::vector<QueuedDatagram> taken;
  {
    auto list = server.UdpSendList.Lock();
    taken.swap(*list);
  }
  // 2. The recipients as ClientList holds them now. A session removed from here on may still
  //    receive this drain's datagrams, as it would had it left just after the drain; one removed
  //    before is not in the copy. The copy's shared pointers keep every record alive.
  std::vector<SessionPtr> clients;
  {
    auto list = server.ClientList.Lock();
    clients = *list;
  }
  // 3. Relay in arrival order. A datagram that fails (a list running past its end) is dropped;
  //    the drain goes on with the next one, so one bad datagram never holds back the others.
  for (QueuedDatagram& queued : taken) {
    try {
      Relay(server, clients, binding, queued.bytes);
    } catch (const std::exception& e) {
      WriteLog(CaughtLine(kDrainFailure, e), 0);
    }
  }
}

}  // namespace pv
