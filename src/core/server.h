// TParleyvoxServer: the server's state for the whole run: settings, passwords, the guarded lists
// and the traffic counters. It owns no thread and no listener; app/ (ServerApp) creates those,
// wires them to this state, and stops them before it goes away. Several servers can live in one
// process (tests do that); nothing here is global but the log.
//
// The lists hold types of the layers above (sessions, rooms, queued datagrams), declared here
// only by name; the constructor and destructor are defined in app/, where all of them are known.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/sync.h"
#include "core/command_line.h"
#include "core/log_rate_cap.h"
#include "core/login_throttle.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "core/traffic_counters.h"

namespace pv {

class TServerClient;
struct RoomRecord;
struct QueuedDatagram;

// Sessions are shared: ClientList, the connection's AppData and every look-up hold one, so a
// record found under the lock stays alive after it is released.
using SessionPtr = std::shared_ptr<TServerClient>;

class TParleyvoxServer {
 public:
  TParleyvoxServer();
  ~TParleyvoxServer();
  TParleyvoxServer(const TParleyvoxServer&) = delete;
  TParleyvoxServer& operator=(const TParleyvoxServer&) = delete;

  const TDateTime StartTime;
  const SteadyTime StartSteady;
  // Every packet and datagram the server received or sent, as clients see them in ServerStats.
  TrafficCounters Traffic;

  // The operator's counters (monitoring).
  ServerMetrics Metrics;

  ProgramNames Names;
  Settings Config;  // read once at start-up; the passwords as they are now: the accessors below
  std::string ConfigPath() const { return Names.ProgramDir + Names.ConfigFileName; }

  // The two passwords change at run time (administrator commands); they are read and replaced
  // whole under their own lock (a leaf). Start-up sets them from Config.
  std::string ServerPassword() const EXCLUDES(password_lock_);
  std::string AdminPassword() const EXCLUDES(password_lock_);
  void SetServerPassword(const std::string& value) EXCLUDES(password_lock_);
  void SetAdminPassword(const std::string& value) EXCLUDES(password_lock_);

  // Password guessing, per client address: administrator logins and the server password.
  LoginThrottle AdminLoginThrottle;
  LoginThrottle ServerPasswordThrottle;
  // The event-log lines clients can cause at will (datagrams, failing control packets), capped
  // per session.
  LogRateCap ClientLogCap;
  // The pace of one client's requests (sessions/server_client.h): `burst` at once, then
  // `per_second`. Set before the listeners start.
  struct RequestPace {
    int burst = 50;
    int per_second = 50;
  };
  RequestPace RoomChangePace;
  RequestPace ServerInfoPace;
  RequestPace PacketPace{1000, 1000};

  GuardedList<SessionPtr> ClientList;
  GuardedList<RoomRecord> RoomList;
  // Relay datagrams the UDP listener queued for the UDP send thread; SystemEvent wakes it.
  GuardedList<QueuedDatagram> UdpSendList;
  // The shares of UdpSendList (sessions/udp_read.cc): a round begins when a datagram finds the
  // list empty, and counts the sessions with datagrams queued in it.
  uint64_t RelayQueueRound GUARDED_BY(UdpSendList) = 0;
  size_t RelayQueueSenders GUARDED_BY(UdpSendList) = 0;
  AutoResetEvent SystemEvent;

 private:
  mutable Mutex password_lock_;
  std::string server_password_ GUARDED_BY(password_lock_);
  std::string admin_password_ GUARDED_BY(password_lock_);
};

}  // namespace pv
