#include "support/http_get.h"

#include <cstdlib>

#include "support/loopback_sockets.h"

namespace pv::test {

HttpResponse HttpExchange(uint16_t port, const std::string& request, std::chrono::milliseconds timeout) {
  HttpResponse r;
  Fd fd = ConnectTcp(port);
  if (fd.Get() < 0 || !SendAll(fd.Get(), request)) return r;
  auto end = std::chrono::steady_clock::now() + timeout;
  std::string raw;
  bool eof = false;
  while (!eof && std::chrono::steady_clock::now() < end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    raw += ReceiveSome(fd.Get(), 65536, left, &eof);
  }
  size_t split = raw.find("\r\n\r\n");
  if (!eof || split == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return r;
  r.status = std::atoi(raw.c_str() + 9);
  r.headers = raw.substr(0, split + 2);
  r.body = raw.substr(split + 4);
  return r;
}

}  // namespace pv::test
