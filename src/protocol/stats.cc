#include "protocol/stats.h"

#include <algorithm>

#include "base/errors.h"
#include "protocol/notifications.h"
#include "protocol/packets.h"
#include "sessions/client_list.h"

namespace pv {

void PlayerStatsReq(TParleyvoxServer& server, const PacketView& packet, TServerClient& session) {
  int player_id = ParsePlayerStatsReq(packet);
  if (player_id == 0) throw ERangeError();  // PlayerId 0 names no player
  std::vector<uint8_t> answer;
  {
    // The shared pointer keeps the target alive while its fields are read; its counters and
    // times are atomics, its version text is fixed before it joins ClientList.
    const SessionPtr found = FindClientByPlayerId(server, player_id);
    if (!found) return SendCommandReply(session, kReplyStatsNoSuchPlayer);
    const TServerClient& target = *found;
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
