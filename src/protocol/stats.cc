#include "protocol/stats.h"

#include <algorithm>

#include "base/errors.h"
#include "protocol/notifications.h"
#include "protocol/packets.h"

namespace pv {

void PlayerStatsReq(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  int player_id = ParsePlayerStatsReq(packet);
  if (player_id == 0) throw ERangeError();  // PlayerId 0 names no player
  std::vector<uint8_t> answer;
  {
    // The target cannot go away while its fields are read: the lock is held until the answer
    // is filled.
    auto clients = server.ClientList.Lock();
    auto it = std::find_if(clients->begin(), clients->end(), [&](const SessionPtr& s) { return s->PlayerId() == player_id; });
    if (it == clients->end()) {
      clients.Unlock();
      return SendCommandReply(session, kReplyStatsNoSuchPlayer);
    }
    const TServerClient& target = **it;
    SteadyTime now = SteadyNow();
    PlayerStatsData data;
    // Spans are measured on the steady clock, so a clock set back never makes them negative.
    data.ConnectionTime = MillisecondsOfDay(now - target.ConnectedAtSteady);
    data.IdleTime = MillisecondsOfDay(now - target.LastActivitySteady());
    data.Traffic = target.Traffic.Snapshot();
    data.PacketLoss = PacketLossPercent(target.UdpErrors, static_cast<uint32_t>(data.Traffic.UdpPacketsIn));
    data.PingTime = std::min<uint32_t>(target.PingTime, 65535);
    data.UdpPort = target.UdpPort();
    data.UdpIP = target.UdpIP();
    data.ClientVer = target.ClientVer;
    data.PlayerId = player_id;
    answer = BuildPlayerStats(session.SessionId, data, session.IsLegacy(), session.IsAdmin);
  }
  session.Enqueue(std::move(answer));
}

void ServerStatsReq(TParleyvoxServer& server, const PacketView&, TServerClient& session) {
  try {
    ServerStatsData data;
    data.Uptime = MillisecondsOfDay(SteadyNow() - server.StartSteady);
    data.Traffic = server.Traffic.Snapshot();
    data.ServerVersion = server.Config.ServerVersion;
    session.Enqueue(BuildServerStats(session.SessionId, data));
  } catch (const std::exception&) {
    // Never visible to the client: no answer, no log line.
  }
}

}  // namespace pv
