// Plain HTTP/1.1 for end-to-end tests of the monitoring endpoint: a request's bytes sent on a new
// connection, and the whole answer read until the server closes it, within a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pv::test {

struct HttpResponse {
  int status = 0;       // 0: the connection did not end within the deadline, or no HTTP/1.1 answer
  std::string headers;  // the status line and header lines
  std::string body;     // everything after the header, answers to pipelined requests included
  bool HasHeader(const std::string& line) const { return headers.find(line) != std::string::npos; }
};

HttpResponse HttpExchange(uint16_t port, const std::string& request,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace pv::test
