#include "monitoring/http_endpoint.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "base/printf.h"
#include "base/sync.h"
#include "monitoring/connection_watch.h"
#include "monitoring/exposition.h"
#include "monitoring/snapshot.h"

namespace pv {

namespace {

constexpr size_t kWorkers = 2;
constexpr size_t kMaxWaiting = 8;
constexpr time_t kReadWriteSeconds = 5;
constexpr auto kConnectionLimit = std::chrono::seconds(10);
// The watch looks at the connections ten times a second: a sweep costs one fstat per open
// descriptor, and a client that floods header lines gets at most this long before it is cut.
constexpr auto kWatchInterval = std::chrono::milliseconds(100);
// What one connection may send in all: a request of a few header lines.
constexpr uint64_t kMaxBytesPerConnection = 64 * 1024;
constexpr auto kStopWait = std::chrono::seconds(5);
constexpr size_t kMaxBody = 1024;
// One request per connection, answered with "Connection: close": the library loses requests
// that come pipelined behind the first (it drops what it has read ahead when it waits for the
// next), and a client told to close sends the next one anew.
constexpr size_t kKeepAliveRequests = 1;
// The library waits this long for a request before reading it (the first one too): an idle
// connection holds a worker no longer.
constexpr time_t kKeepAliveSeconds = 2;

// The library's task queue, bounded: kWorkers threads and at most kMaxWaiting connections
// waiting for them. When the queue is full the accepting thread serves the connection itself,
// so nothing more is accepted until it is done and the kernel's backlog holds the rest.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> task) override {
    {
      MutexLock hold(lock_);
      if (waiting_.size() < kMaxWaiting && !stopping_) {
        waiting_.push_back(std::move(task));
        wake_.notify_one();
        return;
      }
    }
    task();
  }
  void shutdown() override {
    {
      MutexLock hold(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> task;
      {
        MutexLock hold(lock_);
        while (!stopping_ && waiting_.empty()) hold.Wait(wake_);
        // Connections already accepted are still served (each is closed by its task); at stop
        // they have been shut down, so they end at once.
        if (waiting_.empty()) return;
        task = std::move(waiting_.front());
        waiting_.pop_front();
      }
      task();
    }
  }

  // A leaf lock: held only to queue or take a task, never while one runs.
  Mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> waiting_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  std::vector<std::thread> threads_;
};

bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

void NoStore(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

std::string ListenAddress::Text() const {
  bool v6 = host.find(':') != std::string::npos;
  return Printf(v6 ? "[%s]:%u" : "%s:%u", host.c_str(), static_cast<unsigned>(port));
}

bool ParseListenAddress(const std::string& text, ListenAddress& out) {
  ListenAddress a;
  a.host = "127.0.0.1";
  std::string port_text = text;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    a.host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
    if (a.host.empty()) return false;
  } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return false;  // an IPv6 address needs its brackets
    if (colon > 0) a.host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }
  if (!ParsePort(port_text, a.port)) return false;
  out = a;
  return true;
}

struct MonitoringEndpoint::Impl {
  httplib::Server http;
  std::thread listener;
  std::thread watcher;
  std::unique_ptr<ConnectionWatch> watch;
  // A leaf lock: the listener's end and the watch's stop, nothing else is taken under it.
  Mutex lock;
  std::condition_variable changed;
  bool listener_done GUARDED_BY(lock) = false;
  bool stop_watch GUARDED_BY(lock) = false;
};

MonitoringEndpoint::MonitoringEndpoint(TParleyvoxServer& server, std::string file_version)
    : server_(server), file_version_(std::move(file_version)) {}

MonitoringSnapshot MonitoringEndpoint::Snapshot() {
  MonitoringSnapshot snap = TakeSnapshot(server_);
  snap.file_version = file_version_;
  return snap;
}

MonitoringEndpoint::~MonitoringEndpoint() { Stop(); }

std::string MonitoringEndpoint::Start(const ListenAddress& address) {
  auto impl = std::make_unique<Impl>();
  httplib::Server& http = impl->http;
  http.new_task_queue = [] { return new BoundedPool(); };
  http.set_read_timeout(kReadWriteSeconds, 0);
  http.set_write_timeout(kReadWriteSeconds, 0);
  http.set_keep_alive_max_count(kKeepAliveRequests);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  // The pages are small and made anew for each request: a Range header is not honoured (many
  // ranges of one page would make a reply a thousand times the request), the whole page is sent.
  http.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    // The request is the library's own, not a constant: it only hands it on as one.
    const_cast<httplib::Request&>(req).ranges.clear();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http.set_payload_max_length(kMaxBody);
  if (address.host.find(':') != std::string::npos) http.set_address_family(AF_INET6);
  // Each page copies what it shows (TakeSnapshot) and formats it with no lock held.
  http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    NoStore(res);
    res.set_content(MetricsText(Snapshot()), kMetricsContentType);
  });
  http.Get("/status.json", [this](const httplib::Request&, httplib::Response& res) {
    NoStore(res);
    res.set_content(StatusJson(Snapshot()), "application/json");
  });
  http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    NoStore(res);
    // The page loads nothing and runs nothing: its only style is inline.
    res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
    res.set_content(StatusPage(Snapshot()), "text/html; charset=utf-8");
  });
  if (!http.bind_to_port(address.host, address.port))
    return Printf("cannot listen on %s", address.Text().c_str());
  impl->watch = std::make_unique<ConnectionWatch>(address.port, kMaxBytesPerConnection);
  Impl* raw = impl.get();
  impl->listener = std::thread([raw] {
    raw->http.listen_after_bind();
    MutexLock hold(raw->lock);
    raw->listener_done = true;
    raw->changed.notify_all();
  });
  impl->watcher = std::thread([raw] {
    MutexLock hold(raw->lock);
    while (!raw->stop_watch) {
      // A sweep every interval; a stop request cuts the wait short.
      const auto next = std::chrono::steady_clock::now() + kWatchInterval;
      while (!raw->stop_watch && hold.WaitUntil(raw->changed, next)) {
      }
      if (raw->stop_watch) break;
      hold.Unlock();
      raw->watch->Sweep(kConnectionLimit);
      hold.Lock();
    }
  });
  impl_ = std::move(impl);
  return {};
}

void MonitoringEndpoint::Stop() {
  if (!impl_) return;
  Impl& impl = *impl_;
  // 1. The watch thread ends first, so the sweeps below are this thread's alone.
  {
    MutexLock hold(impl.lock);
    impl.stop_watch = true;
    impl.changed.notify_all();
  }
  impl.watcher.join();
  // 2. No more connections are accepted. The library ignores a stop before its loop runs, so
  //    a stop right after the start waits (bounded) for the loop first.
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + kStopWait;
  MutexLock hold(impl.lock);
  while (!impl.http.is_running() && !impl.listener_done && steady_clock::now() < deadline)
    hold.WaitUntil(impl.changed, steady_clock::now() + std::chrono::milliseconds(10));
  hold.Unlock();
  impl.http.stop();
  // 3. Every connection is ended until the listener (which joins its workers) is done.
  hold.Lock();
  while (!impl.listener_done && steady_clock::now() < deadline) {
    hold.Unlock();
    impl.watch->Sweep(steady_clock::duration::zero());
    hold.Lock();
    if (!impl.listener_done) hold.WaitUntil(impl.changed, steady_clock::now() + std::chrono::milliseconds(50));
  }
  bool done = impl.listener_done;
  hold.Unlock();
  if (done) {
    impl.listener.join();
    impl_.reset();
  } else {
    // A worker that does not end even with its socket shut down: the process is stopping, so
    // it is left running with its state rather than letting the stop wait for it.
    impl.listener.detach();
    static_cast<void>(impl_.release());
  }
}

}  // namespace pv
