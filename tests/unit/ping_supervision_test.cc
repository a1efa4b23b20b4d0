// Ping supervision: the decision for one session with injected clocks, StartPing's effects on
// a session (counting, send failures, give-up), and sweeps over several sessions.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "net/net_errors.h"
#include "net/udp_server.h"
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

bool SendsOnly(const PingDecision& d) { return d.SendPing && d.ClearPending && !d.GiveUp && !d.TimedOut; }
bool Nothing(const PingDecision& d) { return !d.SendPing && !d.ClearPending && !d.GiveUp && !d.TimedOut; }

TEST(PingDecision, IdleOnlyAfterIdleTimeOfSteadySilence) {
  EXPECT_TRUE(Nothing(DecidePing(Silent(), kLimits, At(milliseconds(299), 0))));
  EXPECT_TRUE(SendsOnly(DecidePing(Silent(), kLimits, At(milliseconds(300), 0))));
  // Silence is a span, not a time of day: a session quiet since yesterday evening is idle,
  // and so is one that fell silent just before midnight.
  EXPECT_TRUE(SendsOnly(DecidePing(Silent(), kLimits, At(std::chrono::hours(20), 0))));
  // Activity recorded after the sweep read its clock is not silence.
  EXPECT_TRUE(Nothing(DecidePing(Silent(), kLimits, At(milliseconds(-5), 0))));
  PingLimits always{0, 400, 1};
  EXPECT_TRUE(SendsOnly(DecidePing(Silent(), always, At(milliseconds(0), 0))));
}

TEST(PingDecision, PendingPingWaitsItsTimeThenCountsATryAndPingsAgain) {
  EXPECT_TRUE(Nothing(DecidePing(Outstanding(1000, 0), kLimits, At(milliseconds(5000), 1399))));
  PingDecision d = DecidePing(Outstanding(1000, 0), kLimits, At(milliseconds(5000), 1400));
  EXPECT_TRUE(d.TimedOut);
  EXPECT_FALSE(d.GiveUp);
  EXPECT_TRUE(d.ClearPending);
  EXPECT_TRUE(d.SendPing);
  // Not idle: a pending ping is left alone, whatever its age.
  EXPECT_TRUE(Nothing(DecidePing(Outstanding(1000, 0), kLimits, At(milliseconds(10), 90000))));
  PingLimits no_wait{300, 0, 1};
  EXPECT_TRUE(DecidePing(Outstanding(1000, 0), no_wait, At(milliseconds(300), 1000)).TimedOut);
}

TEST(PingDecision, TickCounterWrapChangesNothing) {
  // Sent 256 ms before the counter wraps, looked at 256 ms after it: 512 ms elapsed.
  EXPECT_TRUE(DecidePing(Outstanding(0xFFFFFF00u, 0), kLimits, At(milliseconds(400), 0x100u)).TimedOut);
  // 16 ms after a ping sent just before the wrap: sent + wait would wrap past now.
  EXPECT_TRUE(Nothing(DecidePing(Outstanding(0xFFFFFF00u, 0), kLimits, At(milliseconds(400), 0xFFFFFF10u))));
  PingLimits long_wait{300, 1000, 1};
  EXPECT_TRUE(Nothing(DecidePing(Outstanding(0xFFFFFF00u, 0), long_wait, At(milliseconds(400), 0x100u))));
  EXPECT_TRUE(DecidePing(Outstanding(0xFFFFFF00u, 0), long_wait, At(milliseconds(400), 0x2E8u)).TimedOut);
}

TEST(PingDecision, GivesUpWhenTimedOutTriesExceedTheLimit) {
  // MaxPingTries 1: the second timed-out ping is one too many.
  PingDecision second = DecidePing(Outstanding(0, 1), kLimits, At(milliseconds(300), 400));
  EXPECT_TRUE(second.TimedOut);
  EXPECT_TRUE(second.GiveUp);
  EXPECT_FALSE(second.SendPing);
  // Tries equal to the limit alone are not a give-up.
  PingState at_limit = Silent();
  at_limit.Tries = 1;
  EXPECT_TRUE(SendsOnly(DecidePing(at_limit, kLimits, At(milliseconds(300), 0))));
  PingLimits zero{300, 400, 0};
  EXPECT_TRUE(SendsOnly(DecidePing(Silent(), zero, At(milliseconds(300), 0))));
  EXPECT_TRUE(DecidePing(Outstanding(0, 0), zero, At(milliseconds(300), 400)).GiveUp);
}

TEST(PingDecision, NegativeLimitGivesUpAtFirstIdleSweepEvenWithoutAddress) {
  PingLimits negative{300, 400, -1};
  EXPECT_TRUE(DecidePing(Silent(false), negative, At(milliseconds(300), 0)).GiveUp);
  EXPECT_FALSE(DecidePing(Silent(false), negative, At(milliseconds(299), 0)).GiveUp);
}

TEST(PingDecision, WithoutAddressNothingIsSentOrCounted) {
  PingDecision d = DecidePing(Silent(false), kLimits, At(milliseconds(10000), 0));
  EXPECT_FALSE(d.SendPing);
  EXPECT_FALSE(d.GiveUp);
  EXPECT_FALSE(d.TimedOut);
  EXPECT_TRUE(d.ClearPending);
}

// StartPing and sweeps on real session records of an unstarted server.
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
  static PingClocks Later(milliseconds by) { return PingClocks{Ticks{TickCount().value + static_cast<uint32_t>(by.count())}, SteadyNow() + by}; }

  test::LogCapture log_;
  TParleyvoxServer server_;
  std::vector<Sent> sent_;
};

TEST_F(PingSessions, PingIsSentToTheSessionAddressAndCountedTwice) {
  test::FakeSession s(server_, "a", 0x1234, 0);
  GiveAddress(*s, 40000);
  EXPECT_FALSE(StartPing(server_, *s, kLimits, Later(milliseconds(300)), Recorder()));
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].host, "127.0.0.1");
  EXPECT_EQ(sent_[0].port, 40000);
  EXPECT_EQ(sent_[0].bytes, (Bytes{0xBB, 0xAA, 0x34, 0x12, 12, 0, 1, 200, 0xFF, 0xEE, 0, 0}));
  EXPECT_TRUE(s->PingPending);
  EXPECT_EQ(s->UdpPacketsOut, 1u);
  EXPECT_EQ(s->UdpBytesOut, 12u);
  EXPECT_EQ(server_.UdpPacketsOut, 1u);
  EXPECT_EQ(server_.UdpBytesOut, 12u);
  // Still waiting for the answer: no second ping.
  EXPECT_FALSE(StartPing(server_, *s, kLimits, Later(milliseconds(350)), Recorder()));
  EXPECT_EQ(sent_.size(), 1u);
}

TEST_F(PingSessions, SendFailureIsLoggedCountsNothingAndNeverLeadsToGiveUp) {
  test::FakeSession s(server_, "a", 7, 0);
  GiveAddress(*s, 40000);
  PingLimits zero{0, 0, 0};
  for (int sweep = 0; sweep < 5; ++sweep) EXPECT_FALSE(StartPing(server_, *s, zero, Later(milliseconds(0)), Failing()));
  EXPECT_FALSE(s->PingPending);
  EXPECT_EQ(s->PingSentTick, 0u);
  EXPECT_EQ(s->PingTries, 0);
  EXPECT_EQ(s->UdpPacketsOut, 0u);
  EXPECT_EQ(server_.UdpPacketsOut, 0u);
  EXPECT_TRUE(log_.Has("in: TServerClient.StartPing (DoPing) exception EIdSocketError: Socket Error # 113"));
}

TEST_F(PingSessions, TimedOutPingsCountTriesUntilGiveUp) {
  test::FakeSession s(server_, "a", 7, 0);
  GiveAddress(*s, 40000);
  PingLimits limits{0, 400, 1};
  EXPECT_FALSE(StartPing(server_, *s, limits, Later(milliseconds(0)), Recorder()));
  EXPECT_FALSE(StartPing(server_, *s, limits, Later(milliseconds(450)), Recorder()));
  EXPECT_EQ(s->PingTries, 1);
  EXPECT_EQ(sent_.size(), 2u);
  // The answer resets the tries (as the UDP receive path does).
  s->PingPending = false;
  s->PingTries = 0;
  EXPECT_FALSE(StartPing(server_, *s, limits, Later(milliseconds(0)), Recorder()));
  EXPECT_FALSE(StartPing(server_, *s, limits, Later(milliseconds(450)), Recorder()));
  EXPECT_TRUE(StartPing(server_, *s, limits, Later(milliseconds(900)), Recorder()));
  EXPECT_EQ(s->PingTries, 2);
  EXPECT_EQ(sent_.size(), 4u);
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
  {
    auto clients = server_.ClientList.Lock();
    for (auto* s : {&leaving, &a, &b}) clients->push_back(s->Ptr());
  }
  PingClients(server_, Recorder());
  EXPECT_TRUE(a->PingDisconnect);
  EXPECT_FALSE(b->PingDisconnect);
  EXPECT_EQ(b->PingTries, 0);  // not looked at in this sweep
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
  server_.ClientList.Lock()->clear();
}

TEST_F(PingSessions, SweepSendsRealDatagramsFromTheServerPort) {
  server_.Config.IdleTimeBeforePing = 0;
  TIdUDPServer udp;
  udp.SetBinding("127.0.0.1", 0);
  udp.SetActive(true);
  test::Fd client = test::OpenUdp();
  test::FakeSession s(server_, "a", 42, 0);
  test::FakeSession quiet(server_, "never-sent", 43, 1);  // no datagram, no address
  GiveAddress(*s, test::LocalPortOf(client.Get()));
  server_.ClientList.Lock()->push_back(quiet.Ptr());
  server_.ClientList.Lock()->push_back(s.Ptr());
  PingClients(server_, [&](const std::string& host, uint16_t port, const uint8_t* data, size_t n) {
    udp.SendDatagram(host, port, data, n);
  });
  Bytes got;
  uint16_t from = 0;
  ASSERT_TRUE(test::ReceiveUdp(client.Get(), got, milliseconds(2000), &from));
  EXPECT_EQ(got, (Bytes{0xBB, 0xAA, 42, 0, 12, 0, 1, 200, 0xFF, 0xEE, 0, 0}));
  EXPECT_EQ(from, udp.BoundPort());
  EXPECT_EQ(quiet->UdpPacketsOut, 0u);
  EXPECT_FALSE(quiet->PingPending);
  EXPECT_EQ(server_.UdpPacketsOut, 1u);
  server_.ClientList.Lock()->clear();
  udp.SetActive(false);
}

}  // namespace
}  // namespace pv
