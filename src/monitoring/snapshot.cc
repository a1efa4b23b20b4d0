#include "monitoring/snapshot.h"

#include <chrono>

#include "base/date_time.h"
#include "core/server.h"
#include "protocol/rooms.h"
#include "sessions/server_client.h"

namespace pv {

namespace {

using Reader = std::function<uint64_t(const TParleyvoxServer&)>;

Reader Metric(const MetricCounter ServerMetrics::*counter) {
  return [counter](const TParleyvoxServer& s) { return (s.Metrics.*counter).load(std::memory_order_relaxed); };
}

Reader Traffic(const std::atomic<uint64_t> TrafficCounters::*counter) {
  return [counter](const TParleyvoxServer& s) { return (s.Traffic.*counter).load(std::memory_order_relaxed); };
}

constexpr const char* kDropHelp =
    "UDP datagrams that failed a check or were not relayed, by reason. Datagrams with a bad "
    "checksum or packet id are counted and still relayed, as clients expect.";
constexpr const char* kLoginHelp = "ClientLogin answers, by result.";
constexpr const char* kAdminLoginHelp = "AdminLogin answers, by result.";
constexpr const char* kListingHelp = "Web listing posts, by target (central or custom) and result.";

}  // namespace

const std::vector<CounterSeries>& CounterTable() {
  using S = TrafficCounters;
  using M = ServerMetrics;
  static const std::vector<CounterSeries> table = {
      {"parleyvox_tcp_packets_in_total", "Control packets received.", "", Traffic(&S::TcpPacketsIn)},
      {"parleyvox_tcp_bytes_in_total", "Control bytes received.", "", Traffic(&S::TcpBytesIn)},
      {"parleyvox_tcp_packets_out_total", "Control packets sent.", "", Traffic(&S::TcpPacketsOut)},
      {"parleyvox_tcp_bytes_out_total", "Control bytes sent.", "", Traffic(&S::TcpBytesOut)},
      {"parleyvox_udp_packets_in_total", "UDP datagrams received.", "", Traffic(&S::UdpPacketsIn)},
      {"parleyvox_udp_bytes_in_total", "UDP bytes received.", "", Traffic(&S::UdpBytesIn)},
      {"parleyvox_udp_packets_out_total", "UDP datagrams sent.", "", Traffic(&S::UdpPacketsOut)},
      {"parleyvox_udp_bytes_out_total", "UDP bytes sent.", "", Traffic(&S::UdpBytesOut)},
      {"parleyvox_relayed_copies_total", "Relay copies sent to recipients.", "", Metric(&M::RelayedCopies)},
      {"parleyvox_udp_datagrams_dropped_total", kDropHelp, R"(reason="bad_checksum")", Metric(&M::DroppedBadChecksum)},
      {"parleyvox_udp_datagrams_dropped_total", kDropHelp, R"(reason="bad_packet_id")", Metric(&M::DroppedBadPacketId)},
      {"parleyvox_udp_datagrams_dropped_total", kDropHelp, R"(reason="unknown_session")",
       Metric(&M::DroppedUnknownSession)},
      {"parleyvox_udp_datagrams_dropped_total", kDropHelp, R"(reason="wrong_source_address")",
       Metric(&M::DroppedWrongSourceAddress)},
      {"parleyvox_udp_datagrams_dropped_total", kDropHelp, R"(reason="own_endpoint")", Metric(&M::DroppedOwnEndpoint)},
      {"parleyvox_udp_datagrams_dropped_total", kDropHelp, R"(reason="queue_full")", Metric(&M::DroppedQueueFull)},
      {"parleyvox_logins_total", kLoginHelp, R"(result="accepted")", Metric(&M::LoginsAccepted)},
      {"parleyvox_logins_total", kLoginHelp, R"(result="wrong_password")", Metric(&M::LoginsWrongPassword)},
      {"parleyvox_logins_total", kLoginHelp, R"(result="full")", Metric(&M::LoginsFull)},
      {"parleyvox_logins_total", kLoginHelp, R"(result="throttled")", Metric(&M::LoginsThrottled)},
      {"parleyvox_admin_logins_total", kAdminLoginHelp, R"(result="accepted")", Metric(&M::AdminLoginsAccepted)},
      {"parleyvox_admin_logins_total", kAdminLoginHelp, R"(result="wrong_password")",
       Metric(&M::AdminLoginsWrongPassword)},
      {"parleyvox_admin_logins_total", kAdminLoginHelp, R"(result="throttled")", Metric(&M::AdminLoginsThrottled)},
      {"parleyvox_slow_clients_dropped_total", "Control connections closed because the client did not read.", "",
       Metric(&M::SlowClientsDropped)},
      {"parleyvox_connections_closed_before_login_total", "Control connections closed before a log-in.", "",
       Metric(&M::ConnectionsClosedBeforeLogin)},
      {"parleyvox_connections_refused_at_cap_total", "Control connections refused at the connection limit.", "",
       Metric(&M::ConnectionsRefusedAtCap)},
      {"parleyvox_pings_sent_total", "Supervision pings sent to idle clients.", "", Metric(&M::PingsSent)},
      {"parleyvox_clients_given_up_total", "Clients given up after unanswered pings.", "", Metric(&M::ClientsGivenUp)},
      {"parleyvox_listing_posts_total", kListingHelp, R"(target="central",result="ok")",
       Metric(&M::ListingPostsCentralOk)},
      {"parleyvox_listing_posts_total", kListingHelp, R"(target="central",result="failed")",
       Metric(&M::ListingPostsCentralFailed)},
      {"parleyvox_listing_posts_total", kListingHelp, R"(target="custom",result="ok")",
       Metric(&M::ListingPostsCustomOk)},
      {"parleyvox_listing_posts_total", kListingHelp, R"(target="custom",result="failed")",
       Metric(&M::ListingPostsCustomFailed)},
  };
  return table;
}

MonitoringSnapshot TakeSnapshot(TParleyvoxServer& server) {
  MonitoringSnapshot snap;
  const SteadyTime now = SteadyNow();
  {
    Locked clients(server.ClientList);
    snap.players.reserve(clients->size());
    for (const SessionPtr& session : *clients) {
      PlayerSnapshot p;
      p.id = session->PlayerId();
      p.name = session->ClientName;
      p.room_id = session->RoomIndex.load() + 1;
      p.admin = session->IsAdmin.load();
      p.connected_seconds =
          std::chrono::duration_cast<std::chrono::seconds>(now - session->ConnectedAtSteady).count();
      snap.players.push_back(std::move(p));
    }
  }
  {
    Locked rooms(server.RoomList);
    snap.rooms.reserve(rooms->size());
    for (const RoomRecord& room : *rooms) snap.rooms.push_back(RoomSnapshot{room.RoomId(), room.Name});
  }
  for (const CounterSeries& series : CounterTable()) snap.counters.push_back(series.read(server));
  const Settings& config = server.Config;
  snap.server_name = config.Servername;
  snap.version = config.ServerVersion;
  snap.desktop = snap.version.size() < 8 || snap.version.compare(snap.version.size() - 8, 8, " Service") != 0;
  snap.max_clients = config.MaxClients;
  snap.uptime_seconds = std::chrono::duration<double>(now - server.StartSteady).count();
  return snap;
}

}  // namespace pv
