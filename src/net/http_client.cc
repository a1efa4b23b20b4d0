#include "net/http_client.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <memory>
#include <thread>

#include "base/sync.h"
#include "net/net_errors.h"
#include "net/socket_address.h"

namespace pv {

namespace {

// How often a wait looks at the stop check.
constexpr std::chrono::milliseconds kStopCheckStep{100};
// An answer whose header is larger than this is not a listing service's.
constexpr size_t kMaxHeaderBytes = 65536;

// The outcome of a host look-up, shared with the thread that makes it.
struct LookUp {
  Mutex mutex;  // a leaf
  std::condition_variable done_cv;
  bool done GUARDED_BY(mutex) = false;
  in_addr address GUARDED_BY(mutex){};
  std::exception_ptr error GUARDED_BY(mutex);
};

bool NeedsResolver(const std::string& host) {
  in_addr unused{};
  return !ParseDottedIPv4(host, unused) && strcasecmp(host.c_str(), "LOCALHOST") != 0;
}

// The system resolver has no time-out of ours, so a name is looked up on a thread of its own;
// when the wait gives up, that thread finishes on its own and its result is dropped.
in_addr ResolveWithin(const std::string& host, SteadyTime deadline, const HttpClient& client) {
  if (!NeedsResolver(host)) return ResolveHost(host);
  auto look_up = std::make_shared<LookUp>();
  std::thread([look_up, host] {
    in_addr address{};
    std::exception_ptr error;
    try {
      address = ResolveHost(host);
    } catch (...) {
      error = std::current_exception();
    }
    LookUp& result = *look_up;
    MutexLock hold(result.mutex);
    result.address = address;
    result.error = error;
    result.done = true;
    result.done_cv.notify_all();
  }).detach();
  LookUp& result = *look_up;
  MutexLock hold(result.mutex);
  while (!result.done) {
    if (client.StopRequested()) throw EIdSocketError(ECANCELED);
    const SteadyTime now = SteadyNow();
    if (now >= deadline) throw EIdSocketError(ETIMEDOUT);
    hold.WaitUntil(result.done_cv, std::min<SteadyTime>(now + kStopCheckStep, deadline));
  }
  if (result.error) std::rethrow_exception(result.error);
  return result.address;
}

// The first end of a header block ("\n\n", or "\n\r\n" which also covers CR LF CR LF), as the
// index just past it; npos when the block is not complete yet.
size_t HeaderEnd(const std::string& buffer) {
  size_t lf_lf = buffer.find("\n\n");
  size_t lf_cr_lf = buffer.find("\n\r\n");
  size_t end = std::string::npos;
  if (lf_lf != std::string::npos) end = lf_lf + 2;
  if (lf_cr_lf != std::string::npos) end = std::min(end, lf_cr_lf + 3);
  return end;
}

std::string FirstLine(const std::string& block) {
  std::string line = block.substr(0, block.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void HttpClient::Post(const std::string& url) {
  if (Connected()) Disconnect();
  HttpUrl parsed = ParseHttpUrl(url);
  try {
    Connect(parsed, SteadyNow() + connect_timeout_);
    SteadyTime read_deadline = SteadyNow() + read_timeout_;
    SendAll(BuildPostRequest(parsed), read_deadline);
    ReadAnswer(read_deadline);
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
}

void HttpClient::Disconnect() noexcept {
  CloseSocket(fd_);
  fd_ = -1;
}

void HttpClient::Connect(const HttpUrl& url, SteadyTime deadline) {
  sockaddr_in to = MakeSockAddr(ResolveWithin(url.Host, deadline, *this), url.Port);
  fd_ = OpenSocket(SOCK_STREAM | SOCK_NONBLOCK);
  if (!bound_ip_.empty()) BindSocket(fd_, ResolveBindAddress(bound_ip_), 0, false);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return;
  if (errno != EINPROGRESS) RaiseSocketError(errno);
  WaitReady(POLLOUT, deadline);
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) RaiseSocketError(errno);
  if (error != 0) RaiseSocketError(error);
}

void HttpClient::SendAll(const std::string& bytes, SteadyTime deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent >= 0) {
      done += static_cast<size_t>(sent);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitReady(POLLOUT, deadline);
    } else if (errno != EINTR) {
      RaiseSocketError(errno);
    }
  }
}

void HttpClient::ReadAnswer(SteadyTime deadline) {
  std::string buffer;
  for (;;) {
    size_t end = HeaderEnd(buffer);
    if (end != std::string::npos) {
      std::string status_line = FirstLine(buffer);
      int code = ParseStatusCode(status_line);
      if (code == 100) {
        // An interim answer: the final one follows.
        buffer.erase(0, end);
        continue;
      }
      if (code >= 200 && code <= 299) return;
      throw EIdProtocolReplyError(status_line);
    }
    if (buffer.size() > kMaxHeaderBytes) throw EIdProtocolReplyError(FirstLine(buffer));
    WaitReady(POLLIN, deadline);
    char chunk[4096];
    ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got > 0) {
      buffer.append(chunk, static_cast<size_t>(got));
    } else if (got == 0) {
      throw EIdConnClosedGracefully();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      RaiseSocketError(errno);
    }
  }
}

void HttpClient::WaitReady(short events, SteadyTime deadline) {
  for (;;) {
    if (StopRequested()) throw EIdSocketError(ECANCELED);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyNow());
    if (left.count() <= 0) throw EIdSocketError(ETIMEDOUT);
    pollfd wait_for{fd_, events, 0};
    int ready = poll(&wait_for, 1, static_cast<int>(std::min(left, kStopCheckStep).count()));
    if (ready > 0) return;  // an error or hang-up is ready too: the next call reports it
    if (ready < 0 && errno != EINTR) RaiseSocketError(errno);
  }
}

}  // namespace pv
