// HttpClient: the listing post's HTTP/1.0 client, over plain HTTP or TLS (libcurl underneath).
// One Post connects, sends the request (the request line, then exactly the header lines of
// net/http_request.h, no body), reads the status line and the header lines and disconnects; the
// body of the answer is never read. A status from 200 to 299 is success, interim 100 answers
// are skipped, anything else raises EIdProtocolReplyError with the status line (redirections
// are not followed). Nothing is kept between posts: no connection, no cookie, no session.
//
// An "https://" address is checked against the system's CA store (or the CA file given with
// SetCaFile); a certificate that does not check out raises EHttpTlsError with the TLS
// library's reason, and nothing is sent.
//
// Every wait is bounded, so a listing service that never answers cannot hold the ping thread
// for long: looking up the host and connecting (with the TLS handshake) give up after the
// connect time-out, waiting for the answer after the read time-out, each with EIdSocketError
// (ETIMEDOUT). The waits look at the stop check ten times a second and give up with
// EIdSocketError (ECANCELED) once it says the server stops.
//
// Thread rules: one thread uses a client (the ping thread); the stop check runs on it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/errors.h"
#include "net/http_request.h"

namespace pv {

// The TLS handshake failed: the certificate did not check out, or the peer speaks no TLS. The
// message is the TLS library's reason.
PV_DECLARE_ERROR(EHttpTlsError, "TLS handshake failed");
// A post that failed for a reason that is neither a socket error nor the answer's status.
PV_DECLARE_ERROR(EHttpTransferError, "HTTP transfer failed");

class HttpClient {
 public:
  static constexpr std::chrono::milliseconds kConnectTimeout{10000};
  static constexpr std::chrono::milliseconds kReadTimeout{10000};

  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The local address the connections are made from; empty: any.
  void SetBoundIP(std::string ip) { bound_ip_ = std::move(ip); }
  // A file of CA certificates that TLS posts are checked against instead of the system's
  // store; empty: the system's store.
  void SetCaFile(std::string path) { ca_file_ = std::move(path); }
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds read) {
    connect_timeout_ = connect;
    read_timeout_ = read;
  }
  void SetStopCheck(std::function<bool()> stop) { stop_ = std::move(stop); }
  bool StopRequested() const { return stop_ && stop_(); }

  // One post to `url`; returns on a 2xx answer, raises otherwise.
  void Post(const std::string& url);
  // Drops the transfer of a post, with its connection.
  void Disconnect() noexcept;
  // True only while a post is under way.
  bool Connected() const { return transfer_ != nullptr; }

 private:
  struct Transfer;
  void Configure(const HttpUrl& url);
  // Drives the transfer until it ends, a wait runs out or the stop check says stop.
  int Perform();
  [[noreturn]] void RaiseFailure(int result);

  std::string bound_ip_;
  std::string ca_file_;
  std::chrono::milliseconds connect_timeout_ = kConnectTimeout;
  std::chrono::milliseconds read_timeout_ = kReadTimeout;
  std::function<bool()> stop_;
  std::unique_ptr<Transfer> transfer_;
};

}  // namespace pv
