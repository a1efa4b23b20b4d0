// HttpClient: the listing post's HTTP/1.0 client. One Post connects, sends the request of
// net/http_request.h, reads the status line and the header lines and disconnects; the body of
// the answer is never read. A status from 200 to 299 is success, interim 100 answers are
// skipped, anything else raises EIdProtocolReplyError with the status line (redirections are
// not followed).
//
// Every wait is bounded, so a listing service that never answers cannot hold the ping thread
// for long: looking up the host and connecting give up after the connect time-out, reading the
// answer after the read time-out, each with EIdSocketError (ETIMEDOUT). The waits also look at
// the stop check a few times a second and give up with EIdSocketError (ECANCELED) once it says
// the server stops.
//
// Thread rules: one thread uses a client (the ping thread); the stop check runs on it.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "base/date_time.h"
#include "net/http_request.h"

namespace pv {

class HttpClient {
 public:
  static constexpr std::chrono::milliseconds kConnectTimeout{10000};
  static constexpr std::chrono::milliseconds kReadTimeout{10000};

  HttpClient() = default;
  ~HttpClient() { Disconnect(); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The local address the connections are made from; empty: any.
  void SetBoundIP(std::string ip) { bound_ip_ = std::move(ip); }
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds read) {
    connect_timeout_ = connect;
    read_timeout_ = read;
  }
  void SetStopCheck(std::function<bool()> stop) { stop_ = std::move(stop); }
  bool StopRequested() const { return stop_ && stop_(); }

  // One post to `url`; returns on a 2xx answer, raises otherwise.
  void Post(const std::string& url);
  void Disconnect() noexcept;
  bool Connected() const { return fd_ >= 0; }

 private:
  void Connect(const HttpUrl& url, SteadyTime deadline);
  void SendAll(const std::string& bytes, SteadyTime deadline);
  void ReadAnswer(SteadyTime deadline);
  // Waits until the socket is ready for `events`, the deadline passes (ETIMEDOUT) or the stop
  // check says stop (ECANCELED).
  void WaitReady(short events, SteadyTime deadline);

  std::string bound_ip_;
  std::chrono::milliseconds connect_timeout_ = kConnectTimeout;
  std::chrono::milliseconds read_timeout_ = kReadTimeout;
  std::function<bool()> stop_;
  int fd_ = -1;
};

}  // namespace pv
