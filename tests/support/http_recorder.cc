#include "support/http_recorder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "support/loopback_sockets.h"

namespace pv::test {

namespace {

// How long the recorder waits for a request's header once a connection is accepted.
constexpr int kRequestWaitMs = 5000;
// How often the serving thread looks at the stop flag.
constexpr int kPollStepMs = 50;

}  // namespace

// One accepted connection, plain or TLS; closed with the object.
class HttpRecorder::Stream {
 public:
  explicit Stream(int fd) : fd_(fd) {}
  ~Stream() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    close(fd_);
  }
  // The TLS handshake, bounded by the socket's time-outs; false when it failed.
  bool Handshake(SSL_CTX* context) {
    timeval limit{kRequestWaitMs / 1000, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return false;
    bool done = SSL_accept(ssl_) == 1;
    ERR_clear_error();
    return done;
  }
  // The request up to the end of its header, waiting at most kRequestWaitMs.
  std::string ReadHeader() {
    std::string request;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd wait_for{fd_, POLLIN, 0};
      if ((ssl_ == nullptr || SSL_pending(ssl_) == 0) && poll(&wait_for, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[2048];
      ssize_t got = ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    return request;
  }
  void Write(const std::string& bytes) {
    if (bytes.empty()) return;
    if (ssl_ == nullptr) {
      SendAll(fd_, bytes);
    } else {
      SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
      SSL_shutdown(ssl_);
    }
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
};

HttpRecorder::HttpRecorder() { Listen(); }

HttpRecorder::HttpRecorder(const std::string& certificate_file, const std::string& key_file)
    : tls_(SSL_CTX_new(TLS_server_method())) {
  // TLS writes go through write(): a client that hangs up on the certificate must not end the
  // test process with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  if (tls_ != nullptr && SSL_CTX_use_certificate_chain_file(tls_, certificate_file.c_str()) == 1 &&
      SSL_CTX_use_PrivateKey_file(tls_, key_file.c_str(), SSL_FILETYPE_PEM) == 1)
    Listen();
}

void HttpRecorder::Listen() {
  listen_fd_ = ListenTcp(0, 16).Release();
  if (listen_fd_ < 0) return;
  port_ = LocalPortOf(listen_fd_);
  thread_ = std::thread([this] { Serve(); });
}

HttpRecorder::~HttpRecorder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  held_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  SSL_CTX_free(tls_);
}

std::string HttpRecorder::Url(const std::string& path) const {
  return (tls_ != nullptr ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

void HttpRecorder::AnswerRaw(const std::string& response) {
  std::lock_guard<std::mutex> hold(mutex_);
  silent_ = false;
  response_ = response;
}

void HttpRecorder::NeverAnswer() {
  std::lock_guard<std::mutex> hold(mutex_);
  silent_ = true;
}

std::vector<RecordedRequest> HttpRecorder::Requests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

std::string HttpRecorder::RequestLine(size_t index) const {
  auto requests = Requests();
  if (index >= requests.size()) return "(none)";
  const std::string& raw = requests[index].raw;
  return std::regex_replace(raw.substr(0, raw.find("\r\n")), std::regex("uptime=[0-9]+&"), "uptime=N&");
}

bool HttpRecorder::WaitForRequests(size_t count, std::chrono::milliseconds deadline) const {
  return WaitUntil([&] { return Requests().size() >= count; }, deadline);
}

void HttpRecorder::Serve() {
  while (!stop_) {
    pollfd wait_for{listen_fd_, POLLIN, 0};
    if (poll(&wait_for, 1, kPollStepMs) <= 0) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    auto stream = std::make_unique<Stream>(fd);
    if (tls_ != nullptr && !stream->Handshake(tls_)) continue;
    std::string request = stream->ReadHeader();
    // A client that checks the name only after the handshake hangs up without a word.
    if (tls_ != nullptr && request.empty()) continue;
    bool silent;
    std::string response;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      requests_.push_back({request, ip});
      silent = silent_;
      response = response_;
    }
    if (silent) {
      held_.push_back(std::move(stream));
    } else {
      stream->Write(response);
    }
  }
}

bool MakeCertificate(const TempDir& dir, const std::string& name, const std::string& alt_names) {
  ProgramResult r = RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                                "-addext", "subjectAltName=" + alt_names, "-keyout", dir.File(name + ".key"), "-out",
                                dir.File(name + ".crt")});
  return r.exit_code == 0 && dir.Exists(name + ".crt");
}

}  // namespace pv::test
