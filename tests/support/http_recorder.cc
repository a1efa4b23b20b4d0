#include "support/http_recorder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/loopback_sockets.h"

namespace pv::test {

namespace {

// How long the recorder waits for a request's header once a connection is accepted.
constexpr int kRequestWaitMs = 5000;
// How often the serving thread looks at the stop flag.
constexpr int kPollStepMs = 50;

std::string ReadHeader(int fd) {
  std::string request;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd wait_for{fd, POLLIN, 0};
    if (poll(&wait_for, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[2048];
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    request.append(chunk, static_cast<size_t>(got));
  }
  return request;
}

}  // namespace

HttpRecorder::HttpRecorder() {
  listen_fd_ = ListenTcp(0, 16).Release();
  if (listen_fd_ < 0) return;
  port_ = LocalPortOf(listen_fd_);
  thread_ = std::thread([this] { Serve(); });
}

HttpRecorder::~HttpRecorder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : held_) close(fd);
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string HttpRecorder::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpRecorder::AnswerStatus(int code, const std::string& reason) {
  AnswerRaw("HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Length: 0\r\n\r\n");
}

void HttpRecorder::AnswerRaw(const std::string& response) {
  std::lock_guard<std::mutex> hold(mutex_);
  mode_ = Mode::kAnswer;
  response_ = response;
}

void HttpRecorder::NeverAnswer() {
  std::lock_guard<std::mutex> hold(mutex_);
  mode_ = Mode::kSilent;
}

void HttpRecorder::CloseWithoutAnswer() {
  std::lock_guard<std::mutex> hold(mutex_);
  mode_ = Mode::kClose;
}

std::vector<RecordedRequest> HttpRecorder::Requests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
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
    Handle(fd, ip);
  }
}

void HttpRecorder::Handle(int fd, const std::string& peer_ip) {
  std::string request = ReadHeader(fd);
  Mode mode;
  std::string response;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.push_back({request, peer_ip});
    mode = mode_;
    response = response_;
  }
  if (mode == Mode::kSilent) {
    held_.push_back(fd);
    return;
  }
  if (mode == Mode::kAnswer) SendAll(fd, response);
  close(fd);
}

}  // namespace pv::test
