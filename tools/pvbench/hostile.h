// pvbench's hostile side, beside the talkers:
//  - stalled clients: they log in with a 2 KB receive buffer, ask for the server information
//    every 20 ms and never read a byte, like a client behind a dead link. The server must drop
//    them without any other client noticing.
//  - churn: other clients come and go (a fresh login, ready, leave) and change rooms at a set
//    rate while the talkers talk, so every broadcast reaches the stalled clients too.
//
// Thread rules: each runs on a thread of its own between its constructor and Stop (or the
// destructor); both are called by the main thread. Every wait is bounded; Stop ends the thread
// within a login's deadline.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "control.h"

namespace pv::bench {

class StalledClients {
 public:
  // Connects and logs in `count` clients (nothing is read, so the login is only sent). An error
  // text is kept in Error() when a connection failed.
  StalledClients(int count, int port, const std::string& password);
  ~StalledClients();
  const std::string& Error() const { return error_; }
  // Stops the requests; then counts the connections the server has closed.
  void Stop();
  int Count() const { return static_cast<int>(fds_.size()); }
  // Connections the server closed (as a slow client, or for any other reason); valid after Stop.
  int ClosedByServer() const { return closed_; }

 private:
  void Run();

  std::vector<int> fds_;
  std::string error_;
  std::atomic<bool> stop_{false};
  int closed_ = 0;
  std::thread thread_;
};

struct ChurnFigures {
  uint64_t logins = 0;          // logins answered with LoginAccepted and ServerInfo
  uint64_t login_failures = 0;  // refused, unanswered within the deadline, or cut off
  uint64_t room_changes = 0;
  std::vector<uint32_t> login_us;  // from connect to ServerInfo, per answered login
};

class Churn {
 public:
  // `rate` cycles per second: each cycle logs a fresh client in (login, ready, the server
  // information), moves one of two resident clients between rooms 1 and 2, and lets the previous
  // fresh client leave. A server with one room refuses the moves, which still costs it a reply.
  Churn(int rate, int port, const std::string& password);
  ~Churn();
  // Ends the cycles and closes every connection; the figures may be read after it.
  void Stop();
  ChurnFigures& Figures() { return figures_; }
  const std::string& Error() const { return error_; }

 private:
  void Run();
  void Cycle(uint64_t n);

  const int rate_;
  const int port_;
  const std::string password_;
  std::vector<BenchClient> residents_;
  BenchClient fresh_;
  ChurnFigures figures_;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace pv::bench
