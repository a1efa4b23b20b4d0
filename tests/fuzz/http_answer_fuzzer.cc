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
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "net/http_client.h"
#include "net/http_request.h"
#include "net/net_errors.h"

namespace pv::fuzz {
namespace {

enum class End { kClose, kReset, kHalfClose };

struct Answer {
  std::vector<std::string> pieces;
  End end = End::kClose;
};

// A listening socket and one thread that serves one connection per answer it is given.
class FakeService {
 public:
  FakeService() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 4) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      Fail("the fake listing service cannot listen");
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/webpost.php?serverport=8765&user=a,";
    std::thread([this] { Serve(); }).detach();  // lives as long as the process
  }

  const std::string& Url() const { return url_; }

  void Give(Answer answer) {
    std::lock_guard<std::mutex> hold(mutex_);
    answer_ = std::move(answer);
    pending_ = true;
    changed_.notify_all();
  }

  // Waits until the service has finished the connection of the last answer.
  bool WaitDone(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, deadline, [this] { return !pending_; });
  }

 private:
  void Serve() {
    for (;;) {
      Answer answer;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return pending_; });
        answer = answer_;
      }
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        SendAnswer(fd, answer);
        close(fd);
      }
      std::lock_guard<std::mutex> hold(mutex_);
      pending_ = false;
      changed_.notify_all();
    }
  }

  static bool ReadRequest(int fd) {
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t got = recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) return false;
      request.append(chunk, static_cast<size_t>(got));
    }
    return true;
  }

  static void SendAnswer(int fd, const Answer& answer) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!ReadRequest(fd)) return;
    for (const std::string& piece : answer.pieces)
      if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
    if (answer.end == End::kReset) {
      linger abort{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else if (answer.end == End::kHalfClose) {
      shutdown(fd, SHUT_WR);
      // The client closes once it has read what it needs.
      char sink[4096];
      pollfd p{fd, POLLIN, 5000};
      while (poll(&p, 1, 5000) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {
      }
    }
  }

  int listen_fd_ = -1;
  std::string url_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Answer answer_;
  bool pending_ = false;
};

FakeService& Service() {
  static FakeService* service = new FakeService();  // never destroyed: its thread runs to the end
  return *service;
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
  FakeService& service = Service();
  service.Give(answer);
  HttpClient http;
  // Far longer than any answer takes: reaching one is a finding (the post waited).
  http.SetTimeouts(std::chrono::seconds(5), std::chrono::seconds(5));
  auto started = std::chrono::steady_clock::now();
  try {
    http.Post(service.Url());
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
  Check(service.WaitDone(std::chrono::seconds(10)), "the fake listing service did not finish");
  return 0;
}
