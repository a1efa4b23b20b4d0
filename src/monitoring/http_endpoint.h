// MonitoringEndpoint: the HTTP listener of the operator's monitoring pages (/metrics,
// /status.json, /). It runs on threads of its own: one accepting, two serving, one watching
// connection ages; so a slow or hostile HTTP client can hold up at most these pages, never a
// control connection or the relay. Requests are bounded in size (1 KB of body, the library's
// 8 KB per header line, 64 KB sent per connection in all), in time (5 s per read or write, 10 s
// per connection) and in number (one per connection); ranges are not honoured. At most 8
// accepted connections wait for a worker, after which the accepting thread serves one itself
// and accepts nothing meanwhile.
//
// Thread rules: Start and Stop on the main thread (start-up and shut-down); Stop returns within
// a few seconds whatever the clients do. The HTTP library is seen only by http_endpoint.cc.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "monitoring/snapshot.h"

namespace pv {

class TParleyvoxServer;

struct ListenAddress {
  std::string host;  // an IPv4 or IPv6 address, or a name; 127.0.0.1 when the text gives none
  uint16_t port = 0;
  // "host:port", with brackets around an IPv6 address.
  std::string Text() const;
};

// "127.0.0.1:9870", "[::1]:9870", "0.0.0.0:9870", "monitor.lan:9870", or a port alone ("9870",
// ":9870") for loopback. False when the text is none of these or the port is not 1..65535.
bool ParseListenAddress(const std::string& text, ListenAddress& out);

class MonitoringEndpoint {
 public:
  // `file_version` is the program's version record as /metrics shows it ("1.2.2.0").
  MonitoringEndpoint(TParleyvoxServer& server, std::string file_version);
  ~MonitoringEndpoint();
  MonitoringEndpoint(const MonitoringEndpoint&) = delete;
  MonitoringEndpoint& operator=(const MonitoringEndpoint&) = delete;

  // Binds the address and starts serving. Returns an error text for the operator, empty on
  // success.
  std::string Start(const ListenAddress& address);
  // Stops accepting, ends every connection, joins the threads. Safe to call twice.
  void Stop();

 private:
  struct Impl;
  // What a page shows: the server's state now, and the version record.
  MonitoringSnapshot Snapshot();

  TParleyvoxServer& server_;
  const std::string file_version_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pv
