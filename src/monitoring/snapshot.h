// What the monitoring endpoint shows, copied out of the server in one go: the lists are each
// locked only while their entries are copied (ClientList, then RoomList, never both), the
// counters are read one by one without a lock, and all formatting happens afterwards on the
// copy. So a scrape never holds a lock that a connection or the relay waits for any longer than
// a copy takes. Thread rules: TakeSnapshot may run on any thread, with no list locked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pv {

class TParleyvoxServer;

struct PlayerSnapshot {
  int64_t id = 0;       // PlayerId
  std::string name;
  int64_t room_id = 0;  // may name a room that no longer exists
  bool admin = false;
  int64_t connected_seconds = 0;
};

struct RoomSnapshot {
  int64_t id = 0;  // RoomId
  std::string name;
};

// One counter series of /metrics: its family (the metric name without labels), the family's
// help text, the series' labels (empty, or `reason="queue_full"`), and how to read it.
struct CounterSeries {
  const char* family;
  const char* help;
  const char* labels;
  std::function<uint64_t(const TParleyvoxServer&)> read;
};
// Every counter the endpoint exports, the series of one family next to each other: the one
// place that names them.
const std::vector<CounterSeries>& CounterTable();

struct MonitoringSnapshot {
  std::string server_name;
  std::string version;       // the version text clients see
  std::string file_version;  // the program's version record, "1.2.2.0" (set by the endpoint)
  bool desktop = false;      // a tray icon is shown (the version text lacks " Service")
  int64_t max_clients = 0;
  double uptime_seconds = 0;
  std::vector<RoomSnapshot> rooms;      // in RoomList order
  std::vector<PlayerSnapshot> players;  // in ClientList order
  std::vector<uint64_t> counters;       // in CounterTable order
};

MonitoringSnapshot TakeSnapshot(TParleyvoxServer& server);

}  // namespace pv
