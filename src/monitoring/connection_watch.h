// ConnectionWatch: bounds how long any one HTTP connection of the monitoring endpoint may live
// and how much it may send. The HTTP library bounds each read and write, and each header line,
// but not a whole request: a client that drips one byte every few seconds would keep a worker
// forever (and a stop would wait for it), and one that sends header lines without end would
// have them all kept in memory. The watch finds the process's sockets connected on the
// endpoint's port and shuts down those older than the age limit or that have sent more bytes
// than the size limit (the kernel's count, read or not), which wakes their worker at once; at
// stop it shuts all of them down.
//
// The watch never acts on a descriptor number it only saw: between a look at /proc/self/fd and
// a shutdown() the library may close that descriptor and another thread (a player's connection)
// may be given the same number. So it keeps a copy of each connection's descriptor (dup) and
// shuts down through the copy, which always names that connection's socket; a copy is closed
// once the library has closed its own descriptor.
//
// Thread rules: Sweep is called by one thread at a time (the endpoint's watch thread, or the
// stopping thread after the watch thread has ended).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <set>

namespace pv {

class ConnectionWatch {
 public:
  ConnectionWatch(uint16_t port, uint64_t max_bytes_received) : port_(port), max_bytes_(max_bytes_received) {}
  ~ConnectionWatch();
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;

  // Shuts down every connection first seen more than `limit` ago (all of them for a zero
  // limit) or that has sent more than the size limit; returns how many it shut down. Forgets (and closes the copy of) every connection
  // whose descriptor the library has closed.
  int Sweep(std::chrono::steady_clock::duration limit);
  // Connections watched now (a copy of the descriptor held for each).
  size_t Watched() const { return watched_.size(); }

 private:
  struct Connection {
    int copy;  // the watch's own descriptor of the socket
    std::chrono::steady_clock::time_point first_seen;
  };
  uint16_t port_;
  uint64_t max_bytes_;
  // Sockets of the process known not to be connections on the port (a player's, the listener):
  // a socket's local port never changes, so each is looked at once, and a sweep costs one
  // fstat per descriptor.
  std::set<ino_t> others_;
  // By the socket's inode: one per socket, whatever descriptors name it.
  std::map<ino_t, Connection> watched_;
};

}  // namespace pv
