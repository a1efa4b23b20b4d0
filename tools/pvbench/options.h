// pvbench's command line. Every run is bounded in time and talks to 127.0.0.1 only.
#pragma once

#include <string>
#include <sys/types.h>

namespace pv::bench {

struct Options {
  int port = 0;             // the server's TCP port; UDP is port + 1
  pid_t server_pid = 0;     // 0: the server's CPU is not measured
  int clients = 16;
  int talkers = 16;
  int rate = 50;            // datagrams per second per talker
  int payload = 100;        // bytes after the 16-byte header
  double duration = 10.0;   // seconds of talking per run or per ramp step
  int mode = 0;             // 0: the talker's room; 1: a list naming every other client
  std::string password;
  bool ramp = false;
  int ramp_from = 10;       // ramp rates per talker: from, step, to
  int ramp_step = 10;
  int ramp_to = 200;
  // 0: the receiver blocks in epoll and the kernel wakes it when datagrams arrive. More: it
  // never blocks but sweeps its sockets and sleeps this many microseconds on its own timer, so
  // the server's sends never have to wake it, as with clients on other machines (README).
  int rx_interval_us = 0;
  // -1: measure the server at --port. Otherwise run pvbench's own minimal relay on this CPU
  // instead (ReferenceRelay), for comparison; --reference-sendto makes it send one by one.
  int reference_cpu = -1;
  bool reference_sendto = false;
  // The hostile side: clients that log in and never read, and logins, leaves and room changes
  // per second by other clients while the talkers talk (tools/pvbench/hostile.h).
  int stalled = 0;
  int churn = 0;
  double grace = 1.0;       // seconds to wait for late datagrams after the talking stops
  // A datagram delivered later than this after it was sent is lost for a voice client: it
  // counts as loss, so a relay that falls behind and only catches up afterwards does not pass.
  int deadline_ms = 200;
  double timeout = 900.0;   // the whole run
};

// Parses argv; on a bad or missing option prints the usage and returns false.
bool ParseOptions(int argc, char** argv, Options& options);

// The smallest payload that carries the send time, talker, sequence number and step.
constexpr int kMinPayload = 15;

}  // namespace pv::bench
