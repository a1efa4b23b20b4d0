// ConnectionWatch: bounds how long any one HTTP connection of the monitoring endpoint may live.
// The HTTP library bounds each read and write, but not a whole request: a client that drips one
// byte every few seconds would keep a worker forever, and a stop would wait for it. The watch
// finds the process's sockets connected on the endpoint's port and shuts down those older than
// the limit, which wakes their worker at once; at stop it shuts all of them down.
//
// Thread rules: Sweep is called by one thread at a time (the endpoint's watch thread, or the
// stopping thread after the watch thread has ended).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace pv {

class ConnectionWatch {
 public:
  explicit ConnectionWatch(uint16_t port) : port_(port) {}
  // Shuts down every connection first seen more than `limit` ago (all of them for a zero
  // limit); returns how many it shut down.
  int Sweep(std::chrono::steady_clock::duration limit);

 private:
  uint16_t port_;
  // A connection is its descriptor and its peer; a descriptor reused by a new connection has
  // another peer, so it starts a new age.
  std::map<std::string, std::chrono::steady_clock::time_point> first_seen_;
};

}  // namespace pv
