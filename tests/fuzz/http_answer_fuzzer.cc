// The listing service's answer: bytes a fake service on 127.0.0.1 sends back to the listing
// post's HTTP client (status lines, header lines, interim answers, bodies), in pieces the fuzzer
// cuts, followed by a close, a reset, or a half-close after which the service waits for the
// client. The post's client is the server's own (HttpClient::Post, which PostData calls).
//
// The input: one byte choosing the end (low two bits: 0 close, 1 reset, 2 half-close), then
// pieces, each a count byte and the bytes.
//
// Invariants: the post returns only after a whole header block that starts with "HTTP/"; every
// failure is one of the errors the post is documented to raise (a refused answer, a closed
// connection, a socket error, a transfer libcurl gave up), never another exception; the post
// never waits for its time-out, since every answer ends with the connection.
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "net/http_client.h"
#include "net/http_request.h"
#include "net/net_errors.h"
#include "support/loopback_sockets.h"

namespace pv::fuzz {
namespace {

enum class End { kClose, kReset, kHalfClose };

struct Answer {
  std::vector<std::string> pieces;
  End end = End::kClose;
};

// The fake service's listening socket on 127.0.0.1, open for the whole run, and the post's URL.
struct Listener {
  test::Fd socket = test::ListenTcp(0, 4);
  std::string url = "http://127.0.0.1:" + std::to_string(test::LocalPortOf(socket.Get())) +
                    "/webpost.php?serverport=8765&user=a,";
};

// The request up to the end of its header; false when the client closed or went quiet first.
bool ReadRequest(int fd) {
  std::string request, got;
  do {
    got = test::ReceiveSome(fd, 1024, std::chrono::seconds(5));
    request += got;
  } while (!got.empty() && request.find("\r\n\r\n") == std::string::npos);
  return !got.empty();
}

// The service's side of one post: takes the connection, reads the request, answers and ends the
// connection as the input says. Every wait is bounded, so the thread always ends.
void Serve(int listen_fd, const Answer& answer) {
  pollfd incoming{listen_fd, POLLIN, 0};
  if (poll(&incoming, 1, 5000) <= 0) return;
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (ReadRequest(fd)) {
    for (const std::string& piece : answer.pieces)
      if (!test::SendAll(fd, piece)) break;
    if (answer.end == End::kReset) {
      linger abort{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else if (answer.end == End::kHalfClose) {
      shutdown(fd, SHUT_WR);
      // The client closes once it has read what it needs.
      test::SeesClose(fd);
    }
  }
  close(fd);
}

// A header block ends with a line that holds nothing but carriage returns; libcurl may also end
// it where a NUL byte follows the status line, without a line end of its own.
bool WholeHeader(const std::string& bytes) {
  if (bytes.find('\0', bytes.find('\n')) != std::string::npos && bytes.find('\n') != std::string::npos) return true;
  for (size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
    size_t next = bytes.find_first_not_of('\r', at + 1);
    if (next != std::string::npos && bytes[next] == '\n') return true;
  }
  return false;
}

}  // namespace
}  // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pv;
  using namespace pv::fuzz;
  ByteReader in(data, size);
  fuzz::Answer answer;
  answer.end = static_cast<End>((in.U8() & 3) % 3);
  std::string all;
  while (!in.Empty()) {
    answer.pieces.emplace_back(in.Bytes(in.U8()));
    all += answer.pieces.back();
  }
  static const Listener listener;
  if (listener.socket.Get() < 0) Fail("the fake listing service cannot listen");
  std::thread service(Serve, listener.socket.Get(), std::cref(answer));
  HttpClient http;
  // Far longer than any answer takes: reaching one is a finding (the post waited).
  http.SetTimeouts(std::chrono::seconds(5), std::chrono::seconds(5));
  auto started = std::chrono::steady_clock::now();
  try {
    http.Post(listener.url);
    Check(WholeHeader(all) && all.compare(0, 5, "HTTP/") == 0, "the post succeeded without a whole status header");
  } catch (const EIdProtocolReplyError&) {
  } catch (const EIdConnClosedGracefully&) {
  } catch (const EHttpTransferError&) {
  } catch (const EIdSocketError& e) {
    Check(e.Code() != ETIMEDOUT, "the post waited for its time-out on an answer that had ended");
  } catch (const std::exception& e) {
    Fail(std::string("the post raised an unexpected error: ") + e.what());
  }
  Check(std::chrono::steady_clock::now() - started < std::chrono::seconds(4), "the post took seconds");
  service.join();
  return 0;
}
