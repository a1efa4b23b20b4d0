// A tiny HTTP server for tests: it listens on 127.0.0.1 on a free port, records every request
// it receives (the raw bytes up to the end of the header, and the peer's address) and answers
// each with a configurable raw response, or holds the connection open without answering.
// Given a certificate and its key (MakeCertificate's below) it speaks HTTPS instead; a
// connection whose TLS handshake fails, or that is closed without a request after it, records no
// request.
//
// Thread rules: the setters and readers may be called from the test thread while the internal
// thread serves. Destroying the recorder stops it and closes every held connection.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace pv::test {

struct RecordedRequest {
  std::string raw;      // request line and header lines, up to and with the empty line
  std::string peer_ip;  // where the connection came from
};

class HttpRecorder {
 public:
  // Plain HTTP; given a certificate and its key (PEM files), HTTPS.
  HttpRecorder();
  HttpRecorder(const std::string& certificate_file, const std::string& key_file);
  ~HttpRecorder();
  HttpRecorder(const HttpRecorder&) = delete;
  HttpRecorder& operator=(const HttpRecorder&) = delete;

  bool Ok() const { return listen_fd_ >= 0; }
  // "http://127.0.0.1:<port>" + path ("https://" for a TLS recorder).
  std::string Url(const std::string& path) const;

  // Exactly these bytes as the answer to every following request, then the connection is
  // closed; "" closes it as soon as the request is read, without an answer.
  void AnswerRaw(const std::string& response);
  // Read the request, then neither answer nor close until the recorder is destroyed.
  void NeverAnswer();

  std::vector<RecordedRequest> Requests() const;
  // The request line of request `index` ("(none)" before it came), with the digits of a listing
  // report's "uptime=" replaced by "N", as they change from run to run.
  std::string RequestLine(size_t index = 0) const;
  // Waits until at least `count` requests were recorded.
  bool WaitForRequests(size_t count, std::chrono::milliseconds deadline) const;

 private:
  class Stream;
  void Listen();
  void Serve();

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  bool silent_ = false;                                          // guarded by mutex_
  std::string response_ = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";  // guarded by mutex_
  std::vector<RecordedRequest> requests_;                        // guarded by mutex_
  ssl_ctx_st* tls_ = nullptr;                                    // the certificate, for HTTPS
  std::vector<std::unique_ptr<Stream>> held_;                    // serving thread only
  std::thread thread_;
};

// Writes <name>.crt and <name>.key into `dir`: a self-signed certificate (so its own CA) for the
// subjectAltName `alt_names` (e.g. "IP:127.0.0.1"), valid for two days, made by the openssl
// command. False when openssl failed.
bool MakeCertificate(const TempDir& dir, const std::string& name, const std::string& alt_names);

}  // namespace pv::test
