// A plain HTTP/1.1 GET for end-to-end tests of the monitoring endpoint: one request with
// "Connection: close", the whole answer read until the server closes, within a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pv::test {

struct HttpResponse {
  int status = 0;       // 0: no answer within the deadline
  std::string headers;  // the status line and header lines
  std::string body;
  bool HasHeader(const std::string& line) const { return headers.find(line) != std::string::npos; }
};

HttpResponse HttpGet(uint16_t port, const std::string& path,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace pv::test
