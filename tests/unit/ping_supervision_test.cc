// Ping supervision: the decision for one session with injected clocks, StartPing's effects on
// a session (counting, send failures, give-up), and sweeps over several sessions.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "net/net_errors.h"
#include "session_fixture.h"
#include "supervision/ping_thread.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

const SteadyTime kT0 = SteadyTime(std::chrono::hours(1000));

PingClocks At(milliseconds after_t0, uint32_t ticks) { return PingClocks{Ticks{ticks}, kT0 + after_t0}; }

PingState Silent(bool has_address = true) {
  PingState s;
  s.LastActivity = kT0;
  s.HasAddress = has_address;
  return s;
}

PingState Outstanding(uint32_t sent_tick, int32_t tries) {
  PingState s = Silent();
  s.Pending = true;
  s.SentTick = Ticks{sent_tick};
  s.Tries = tries;
  return s;
}

const PingLimits kLimits{300, 400, 1};

// A decision as the letters of what it does: T(imed out), G(ive up), C(lear pending), S(end).
std::string Does(const PingDecision& d) {
  return std::string(d.TimedOut ? "T" : "") + (d.GiveUp ? "G" : "") + (d.ClearPending ? "C" : "") +
         (d.SendPing ? "S" : "");
}

TEST(PingDecision, ForEachStateLimitAndClock) {
  const PingLimits always{0, 400, 1}, no_wait{300, 0, 1}, long_wait{300, 1000, 1}, zero{300, 400, 0},
      negative{300, 400, -1};
  PingState at_limit = Silent();
  at_limit.Tries = 1;
  const struct {
    const char* what;
    PingState state;
    PingLimits limits;
    milliseconds after_t0;
    uint32_t ticks;
    const char* does;
  } cases[] = {
      // Idle only after the idle time of silence on the steady clock.
      {"silent 299 ms", Silent(), kLimits, milliseconds(299), 0, ""},
      {"silent 300 ms", Silent(), kLimits, milliseconds(300), 0, "CS"},
      // Silence is a span, not a time of day: quiet since yesterday evening is idle too.
      {"silent 20 hours", Silent(), kLimits, std::chrono::hours(20), 0, "CS"},
      {"activity after the sweep read its clock", Silent(), kLimits, milliseconds(-5), 0, ""},
      {"no idle time", Silent(), always, milliseconds(0), 0, "CS"},
      // A pending ping waits its time, then counts a try and is sent again.
      {"pending 399 ticks", Outstanding(1000, 0), kLimits, milliseconds(5000), 1399, ""},
      {"pending 400 ticks", Outstanding(1000, 0), kLimits, milliseconds(5000), 1400, "TCS"},
      {"pending, not idle", Outstanding(1000, 0), kLimits, milliseconds(10), 90000, ""},
      {"no wait", Outstanding(1000, 0), no_wait, milliseconds(300), 1000, "TCS"},
      // The tick counter's wrap changes nothing: sent 256 ms before it, looked at 256 ms after.
      {"512 ticks across the wrap", Outstanding(0xFFFFFF00u, 0), kLimits, milliseconds(400), 0x100u, "TCS"},
      {"16 ticks, sent + wait wraps past now", Outstanding(0xFFFFFF00u, 0), kLimits, milliseconds(400),
       0xFFFFFF10u, ""},
      {"512 of 1000 ticks across the wrap", Outstanding(0xFFFFFF00u, 0), long_wait, milliseconds(400), 0x100u, ""},
      {"1000 ticks across the wrap", Outstanding(0xFFFFFF00u, 0), long_wait, milliseconds(400), 0x2E8u, "TCS"},
      // Timed-out tries beyond MaxPingTries give up; tries equal to it alone do not.
      {"second timed-out ping of 1", Outstanding(0, 1), kLimits, milliseconds(300), 400, "TG"},
      {"tries at the limit", at_limit, kLimits, milliseconds(300), 0, "CS"},
      {"first ping with limit 0", Silent(), zero, milliseconds(300), 0, "CS"},
      {"first timed-out ping with limit 0", Outstanding(0, 0), zero, milliseconds(300), 400, "TG"},
      // A negative limit gives up at the first idle sweep, even without an address.
      {"negative limit, idle", Silent(false), negative, milliseconds(300), 0, "G"},
      {"negative limit, not idle", Silent(false), negative, milliseconds(299), 0, ""},
      // Without an address nothing is sent or counted, so nothing ever gives up.
      {"no address", Silent(false), kLimits, milliseconds(10000), 0, "C"},
      {"no address, limit 0", Silent(false), zero, milliseconds(10000), 0, "C"},
  };
  for (const auto& c : cases) EXPECT_EQ(Does(DecidePing(c.state, c.limits, At(c.after_t0, c.ticks))), c.does) << c.what;
}

class PingSessions : public ::testing::Test {
 protected:
  struct Sent {
    std::string host;
    uint16_t port;
    Bytes bytes;
  };
  DatagramSender Recorder() {
    return [this](const std::string& host, uint16_t port, const uint8_t* data, size_t n) {
      sent_.push_back({host, port, Bytes(data, data + n)});
    };
  }
  static DatagramSender Failing() {
    return [](const std::string&, uint16_t, const uint8_t*, size_t) { throw EIdSocketError(EHOSTUNREACH); };
  }
  // 127.0.0.1:port in the session's endpoint form.
  static void GiveAddress(TServerClient& s, uint16_t port) { s.SetUdpEndpoint(htonl(INADDR_LOOPBACK), port); }
  static PingClocks Later(milliseconds by) {
    return PingClocks{Ticks{TickCount().value + static_cast<uint32_t>(by.count())}, SteadyNow() + by};
  }

  test::LogCapture log_;
  TParleyvoxServer server_;
  std::vector<Sent> sent_;
};

TEST_F(PingSessions, SendFailureCountsNothingAndAPingSentIsCountedTwice) {
  test::FakeSession s(server_, "a", 0x1234, 0);
  GiveAddress(*s, 40000);
  // A send that fails is logged, counts nothing and so never leads to a give-up.
  PingLimits zero{0, 0, 0};
  for (int sweep = 0; sweep < 5; ++sweep) EXPECT_FALSE(StartPing(server_, *s, zero, Later(milliseconds(0)), Failing()));
  EXPECT_FALSE(s->PingPending);
  EXPECT_EQ(s->PingTries, 0);
  EXPECT_EQ(s->Traffic.UdpPacketsOut, 0u);
  EXPECT_EQ(server_.Traffic.UdpPacketsOut, 0u);
  EXPECT_TRUE(log_.Has("in: TServerClient.StartPing (DoPing) exception EIdSocketError: Socket Error # 113"));
  // A ping goes to the session's address and counts in the session's and the server's traffic.
  EXPECT_FALSE(StartPing(server_, *s, kLimits, Later(milliseconds(300)), Recorder()));
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].host, "127.0.0.1");
  EXPECT_EQ(sent_[0].port, 40000);
  EXPECT_EQ(sent_[0].bytes, (Bytes{0xBB, 0xAA, 0x34, 0x12, 12, 0, 1, 200, 0xFF, 0xEE, 0, 0}));
  EXPECT_TRUE(s->PingPending);
  EXPECT_EQ(s->Traffic.UdpPacketsOut, 1u);
  EXPECT_EQ(s->Traffic.UdpBytesOut, 12u);
  EXPECT_EQ(server_.Traffic.UdpPacketsOut, 1u);
  EXPECT_EQ(server_.Traffic.UdpBytesOut, 12u);
  // Still waiting for the answer: no second ping.
  EXPECT_FALSE(StartPing(server_, *s, kLimits, Later(milliseconds(350)), Recorder()));
  EXPECT_EQ(sent_.size(), 1u);
}

TEST_F(PingSessions, SweepGivesUpOnOneSessionTellsItAloneAndEndsThere) {
  server_.Config.IdleTimeBeforePing = 0;
  server_.Config.PingWaitTime = 400;
  server_.Config.MaxPingTries = 0;
  test::FakeSession leaving(server_, "l", 5, 0);
  test::FakeSession a(server_, "a", 0x0102, 1);
  test::FakeSession b(server_, "b", 0x0304, 2);
  leaving->Leaving = true;
  leaving->PingPending = true;
  for (auto* s : {&a, &b}) {
    GiveAddress(**s, 40000);
    (*s)->PingPending = true;
    (*s)->PingSentTick = TickCount().value - 1000;
  }
  for (auto* s : {&leaving, &a, &b}) Locked(server_.ClientList)->push_back(s->Ptr());
  PingClients(server_, Recorder());
  EXPECT_TRUE(a->PingDisconnect);
  EXPECT_FALSE(b->PingDisconnect);  // not looked at in this sweep
  // PlayerLeft for a's own player id 2, reason 2, in a's session.
  EXPECT_EQ(a.Received(), std::string("\xBA\xB0\x02\x01\x0A\x00\x0C\x00\x02\x02", 10));
  EXPECT_EQ(b.Received(milliseconds(50)), "");
  EXPECT_EQ(leaving.Received(milliseconds(50)), "");
  PingClients(server_, Recorder());
  EXPECT_TRUE(b->PingDisconnect);
  EXPECT_EQ(b.Received(), std::string("\xBA\xB0\x04\x03\x0A\x00\x0C\x00\x03\x02", 10));
  EXPECT_EQ(a.Received(milliseconds(50)), "");
  EXPECT_TRUE(sent_.empty());
  EXPECT_FALSE(leaving->PingDisconnect);
  EXPECT_FALSE(log_.Has("exception"));
  EXPECT_EQ(Locked(server_.ClientList)->size(), 3u);  // given up on, yet listed until the connection ends
  Locked(server_.ClientList)->clear();
}

}  // namespace
}  // namespace pv
