#include "protocol/dispatch.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "base/errors.h"
#include "base/printf.h"
#include "base/event_log.h"
#include "protocol/admin.h"
#include "protocol/codes.h"
#include "protocol/login.h"
#include "protocol/notifications.h"
#include "protocol/rooms.h"
#include "protocol/stats.h"

namespace pv {

namespace {

// A command handler of a logged-in session; true asks the pass to close the connection.
using Handler = bool (*)(TParleyvoxServer&, const PacketView&, TServerClient&);

template <void (*F)(TParleyvoxServer&, const PacketView&, TServerClient&)>
bool NeverCloses(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  F(server, packet, session);
  return false;
}

bool Leave(TParleyvoxServer& server, const PacketView&, TServerClient& session) { return ClientLeave(server, session); }

struct Command {
  int16_t code;
  Handler handler;
};

// Every command of a logged-in session. ClientLogin is handled before the table, since it is
// the one command a connection without a session may send.
constexpr Command kCommands[] = {
    {kCmdClientReady, ClientReady},
    {kCmdClientChangeRoom, NeverCloses<ClientChangeRoom>},
    {kCmdClientLeave, Leave},
    {kCmdPlayerStatsReq, NeverCloses<PlayerStatsReq>},
    {kCmdServerStatsReq, NeverCloses<ServerStatsReq>},
    {kCmdAdminLogin, NeverCloses<AdminLogin>},
    {kCmdAdminCreateRoom, NeverCloses<AdminCreateRoom>},
    {kCmdAdminDeleteRoom, NeverCloses<AdminDeleteRoom>},
    {kCmdAdminKickPlayer, NeverCloses<AdminKickPlayer>},
    {kCmdAdminChangeServerPassword, NeverCloses<AdminChangeServerPassword>},
    {kCmdAdminSaveAsDefaultChannels, NeverCloses<AdminSaveAsDefaultChannels>},
    {kCmdAdminChangeAdminPassword, NeverCloses<AdminChangeAdminPassword>},
};

// Unknown codes do nothing: the packet is only counted.
bool Dispatch(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  for (const auto& command : kCommands)
    if (command.code == packet.Code()) return command.handler(server, packet, session);
  return false;
}

// The Length field of the packet whose first byte was read, when enough bytes wait to hold it.
std::optional<uint16_t> PeekLength(TIdTCPConnection& connection, size_t waiting) {
  if (waiting < 5) return std::nullopt;
  uint8_t head[5];
  connection.PeekBytes(head, 5);  // offsets 1..5 of the packet
  return static_cast<uint16_t>(head[3] | (head[4] << 8));
}

// Ends a session: the others are told unless it was leaving, it leaves ClientList, and it is
// destroyed.
void CloseSession(TParleyvoxServer& server, const SessionPtr& session) {
  if (!session->Leaving) BroadcastPlayerLeft(server, *session, LeaveReason::kLeft);
  {
    auto clients = server.ClientList.Lock();
    auto& items = *clients;
    items.erase(std::remove(items.begin(), items.end(), session), items.end());
  }
  WriteLog(Printf("Distroying client %s[%d]", session->ClientName.c_str(), session->PlayerId()), 3);
  session->Destroy();
}

}  // namespace

size_t BytesToTake(size_t waiting, std::optional<uint16_t> length) {
  size_t take = waiting;
  if (length && *length >= kHeaderSize && *length <= waiting + 1) take = *length - 1u;
  return std::min(take, kPacketBufferSize - 1);
}

void TCPServerExecute(TParleyvoxServer& server, TIdPeerThread& thread) {
  try {
    TIdTCPConnection& connection = thread.Connection();
    SessionPtr session = thread.AppDataAs<TServerClient>();
    bool close = false;
    size_t n = 1;
    if (session) {
      if (session->Leaving)
        close = true;
      else
        session->Flush();  // sends what an earlier pass queued
    }
    uint8_t buffer[kPacketBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    try {
      connection.ReadBytes(buffer, 1);
      connection.CheckClosed(true, false);
      connection.PollInput(true);
    } catch (const std::exception&) {
      close = true;
    }
    if (!connection.IsOpen()) close = true;
    if (!close) {
      size_t waiting = connection.InputSize();
      n = BytesToTake(waiting, PeekLength(connection, waiting));
      if (n > 0) connection.ReadBytes(buffer + 1, n);
      close = true;
      PacketView packet(buffer, 1 + n);
      if (packet.Code() == kCmdClientLogin)
        close = ClientLogin(server, thread, packet);
      else if (session)
        close = Dispatch(server, packet, *session);
    }
    server.Traffic.CountTcpIn(1 + n);
    if (session && !session->Leaving) {
      session->Traffic.CountTcpIn(1 + n);
      session->Touch();
      session->Flush();
    }
    if (close) {
      if (session) CloseSession(server, session);
      connection.Close();
    }
  } catch (const std::exception& e) {
    // The connection stays open and the next pass reads the next packet.
    WriteLog(CaughtLine("in: TCPServerExecute excption ", e), 0);
  }
}

}  // namespace pv
