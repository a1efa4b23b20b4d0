// TPingThread: supervision of silent clients and the web listing post.
//
// Every 500 ms a sweep walks ClientList. A session silent for IdleTimeBeforePing milliseconds
// is pinged over UDP (a 12-byte ping, kind 1, value 200) once the server knows its UDP address;
// a ping left unanswered for PingWaitTime counts as a try, and when the tries exceed
// MaxPingTries the server gives up: the session is told alone (PlayerLeft with reason 2) and is
// skipped from then on. The answer is recognised by the UDP receive path, which resets the tries.
// At start and after every 350 sweeps the thread makes the listing post (web_listing.h).
//
// Silence is measured on the steady clock and the ping's wait in ticks compared with wrapping
// arithmetic, so neither midnight nor the tick counter's wrap disturbs supervision.
//
// Thread rules: PingClients holds the ClientList lock for the whole sweep, including the UDP
// sends; the PlayerLeft for a client given up on is sent after the lock is released. The ping fields are
// also written by the UDP listener thread without that lock; they are atomics.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/date_time.h"
#include "base/thread.h"

namespace pv {

class TParleyvoxServer;
class TServerClient;
class TIdUDPServer;

// The [Ping] settings a sweep uses.
struct PingLimits {
  int32_t IdleTimeBeforePing = 5000;
  int32_t PingWaitTime = 15000;
  int32_t MaxPingTries = 3;
};

// The clocks of one sweep, passed in so the decision can be tested with any time.
struct PingClocks {
  Ticks NowTicks;
  SteadyTime NowSteady;
};

// A session's ping state as the decision reads it.
struct PingState {
  SteadyTime LastActivity;
  bool Pending = false;
  Ticks SentTick;
  int32_t Tries = 0;
  bool HasAddress = false;
};

// What StartPing does for one session in one sweep.
struct PingDecision {
  bool TimedOut = false;      // the outstanding ping waited its full time: one more try
  bool GiveUp = false;        // the tries exceed the limit
  bool ClearPending = false;  // the outstanding ping, if any, is forgotten
  bool SendPing = false;
};

// The decision alone, without touching anything.
PingDecision DecidePing(const PingState& state, const PingLimits& limits, const PingClocks& clocks);

// Sends `n` bytes as one datagram to host:port; raises on failure.
using DatagramSender = std::function<void(const std::string& host, uint16_t port, const uint8_t* data, size_t n)>;

// One session's ping work of this sweep; true when supervision gives up on it now. Call with
// ClientList locked. Errors are logged here and give false.
bool StartPing(TParleyvoxServer& server, TServerClient& session, const PingLimits& limits,
               const PingClocks& clocks, const DatagramSender& send);
// Sends the server's ping to the session's UDP address and counts it; a failed send is logged
// and leaves no ping outstanding.
void DoPing(TParleyvoxServer& server, TServerClient& session, const DatagramSender& send);
// One sweep over ClientList with the settings and clocks of now.
void PingClients(TParleyvoxServer& server, const DatagramSender& send);

class TPingThread : public TThread {
 public:
  // Sweeps between two listing posts, and the sleep before each sweep.
  static constexpr int kSweepsPerPost = 350;
  static constexpr std::chrono::milliseconds kSweepInterval{500};

  // Pings leave from `udp`, the server's own UDP port.
  TPingThread(TParleyvoxServer& server, TIdUDPServer& udp) : TThread("PingThread"), server_(server), udp_(udp) {}
  ~TPingThread() override;

 protected:
  void Execute() override;

 private:
  TParleyvoxServer& server_;
  TIdUDPServer& udp_;
};

}  // namespace pv
