#include "supervision/ping_thread.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/event_log.h"
#include "core/server.h"
#include "sessions/server_client.h"
#include "net/http_client.h"
#include "net/net_errors.h"
#include "net/socket_address.h"
#include "net/udp_server.h"
#include "protocol/notifications.h"
#include "sessions/capped_log.h"
#include "sessions/datagrams.h"
#include "sessions/udp_guard.h"
#include "supervision/web_listing.h"

namespace pv {

PingDecision DecidePing(const PingState& state, const PingLimits& limits, const PingClocks& clocks) {
  PingDecision decision;
  // Idle: silent for at least IdleTimeBeforePing on the steady clock. Activity recorded after
  // the sweep read its clock counts as silence of less than zero.
  auto idle_time = std::chrono::milliseconds(std::max<int32_t>(0, limits.IdleTimeBeforePing));
  if (clocks.NowSteady - state.LastActivity < idle_time) return decision;
  int64_t tries = state.Tries;
  if (state.Pending) {
    // Elapsed ticks in unsigned 32-bit arithmetic stay right across the counter's wrap.
    auto wait = static_cast<uint32_t>(std::max<int32_t>(0, limits.PingWaitTime));
    if (TicksSince(state.SentTick, clocks.NowTicks) < wait) return decision;
    decision.TimedOut = true;
    ++tries;
  }
  if (tries > limits.MaxPingTries) {
    decision.GiveUp = true;
    return decision;
  }
  decision.ClearPending = true;
  // Without an address there is nobody to ping yet; nothing counts against the session.
  decision.SendPing = state.HasAddress;
  return decision;
}

namespace {

bool HasUdpAddress(uint64_t endpoint) { return (endpoint >> 16) != 0 && (endpoint & 0xFFFF) != 0; }

}  // namespace

bool StartPing(TParleyvoxServer& server, TServerClient& session, const PingLimits& limits,
               const PingClocks& clocks, const DatagramSender& send) {
  try {
    PingState state;
    state.LastActivity = session.LastActivitySteady();
    state.Pending = session.PingPending;
    state.SentTick = Ticks{session.PingSentTick};
    state.Tries = session.PingTries;
    state.HasAddress = HasUdpAddress(session.UdpEndpoint());
    PingDecision decision = DecidePing(state, limits, clocks);
    // An increment rather than a store: an answer that resets the tries meanwhile is kept.
    if (decision.TimedOut) session.PingTries.fetch_add(1);
    if (decision.GiveUp) return true;
    if (decision.ClearPending) {
      session.PingPending = false;
      session.PingSentTick = 0;
    }
    if (decision.SendPing) DoPing(server, session, send);
  } catch (const std::exception& e) {
    WriteLog(CaughtLine("in: TServerClient.StartPing exception ", e), 0);
  }
  return false;
}

void DoPing(TParleyvoxServer& server, TServerClient& session, const DatagramSender& send) {
  try {
    // One read of the endpoint, so address and port belong together.
    uint64_t endpoint = session.UdpEndpoint();
    in_addr address{};
    address.s_addr = static_cast<uint32_t>(endpoint >> 16);
    auto port = static_cast<uint16_t>(endpoint & 0xFFFF);
    // Never to the server's own endpoint: the ping would come back as an answer.
    if (IsOwnUdpEndpoint(server, MakeSockAddr(address, port))) return;
    std::vector<uint8_t> ping = BuildPingDatagram(session.SessionId, kPingKindPing, kServerPingValue);
    // The ping is marked outstanding before it leaves: a client on a fast link may answer
    // before the send returns, and the answer must find the ping it answers.
    session.PingSentTick = TickCount().value;
    session.PingPending = true;
    try {
      send(DottedIPv4(address), port, ping.data(), ping.size());
    } catch (...) {
      session.PingPending = false;
      session.PingSentTick = 0;
      throw;
    }
    server.Traffic.CountUdpOut(ping.size());
    session.Traffic.CountUdpOut(ping.size());
    Count(server.Metrics.PingsSent);
  } catch (const std::exception& e) {
    WriteLog(CaughtLine("in: TServerClient.StartPing (DoPing) exception ", e), 1);
  }
}

namespace {

// One sweep under the ClientList lock: pings the idle clients and stops at the first one given
// up on, which it returns (the others wait for the next sweep).
SessionPtr GiveUpOnNext(TParleyvoxServer& server, const DatagramSender& send) {
  const Settings& config = server.Config;
  PingLimits limits{config.IdleTimeBeforePing, config.PingWaitTime, config.MaxPingTries};
  Locked clients(server.ClientList);
  // Read after the lock is held: waiting for it is not silence of the clients.
  PingClocks clocks{TickCount(), SteadyNow()};
  for (const SessionPtr& session : *clients) {
    if (session->Leaving || session->PingDisconnect) continue;
    bool give_up = false;
    try {
      give_up = StartPing(server, *session, limits, clocks, send);
    } catch (const std::exception& e) {
      WriteLog(CaughtLine("in: TPingThread.PingClients (StartPing) exception ", e), 1);
      continue;
    }
    if (give_up) {
      // Only the session itself is told; it is expected to close its connection, and the
      // others hear of it when it does.
      session->PingDisconnect = true;
      Count(server.Metrics.ClientsGivenUp);
      return session;
    }
  }
  return nullptr;
}

}  // namespace

void PingClients(TParleyvoxServer& server, const DatagramSender& send) {
  try {
    SessionPtr given_up = GiveUpOnNext(server, send);
    // Told after ClientList is released: no write to a client happens under it.
    if (given_up) SendPlayerLeft(*given_up, given_up->PlayerId(), LeaveReason::kNoPingAnswer);
  } catch (const std::exception& e) {
    WriteLog(CaughtLine("in: TPingThread.PingClients exception ", e), 0);
  }
}

TPingThread::~TPingThread() {
  Terminate();
  WaitFor(std::chrono::milliseconds(5000));
}

void TPingThread::Execute() {
  WriteLog("PingThread.Execute", 3);
  HttpClient http;
  if (!server_.Config.IP.empty()) http.SetBoundIP(server_.Config.IP);
  if (const char* ca_file = std::getenv(kCaFileVariable)) http.SetCaFile(ca_file);
  // A post in progress gives up when the server stops, so shut-down never waits for it.
  http.SetStopCheck([this] { return Terminated(); });
  const std::string listing_url = ListingUrl(std::getenv(kListingUrlVariable));
  DatagramSender send = [this](const std::string& host, uint16_t port, const uint8_t* data, size_t n) {
    udp_.SendDatagram(host, port, data, n);
  };
  if (server_.Config.WebStatusActive) UpdateStats(server_, http, listing_url);
  while (!Terminated()) {
    for (int sweep = 0; sweep < kSweepsPerPost; ++sweep) {
      if (!SleepFor(kSweepInterval)) break;
      PingClients(server_, send);
      // Summaries of capped log lines come within a second of the flood that caused them.
      FlushCappedLog(server_);
    }
    if (!Terminated() && server_.Config.WebStatusActive) UpdateStats(server_, http, listing_url);
  }
  http.Disconnect();
  WriteLog("PingThread.Terminated", 3);
}

}  // namespace pv
