#include "net/net_thread.h"

#include <pthread.h>

namespace pv {

NetThread::~NetThread() {
  if (!thread_.joinable()) return;
  // A body still running (or this very thread dropping the last reference to its own owner)
  // cannot be joined without waiting; it is let go and ends by itself.
  if (thread_.get_id() != std::this_thread::get_id() && Ended()) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

void NetThread::Start(const std::string& name, std::function<void()> body) {
  auto done = std::make_shared<Done>();
  thread_ = std::thread([done, name, body = std::move(body)]() mutable {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    try {
      body();
    } catch (...) {
      // The bodies catch and report their own errors; this only keeps anything else from
      // ending the process.
    }
    // The body's captures (its state) are released before the owner hears of the end.
    body = nullptr;
    {
      MutexLock hold(done->mutex);
      done->ended = true;
    }
    done->signal.notify_all();
  });
  done_ = std::move(done);
}

bool NetThread::WaitFor(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  if (thread_.get_id() == std::this_thread::get_id()) return false;
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Done& done = *done_;
    MutexLock hold(done.mutex);
    while (!done.ended) {
      if (!hold.WaitUntil(done.signal, deadline)) break;
    }
    if (!done.ended) return false;
  }
  thread_.join();
  return true;
}

void NetThread::Detach() {
  if (thread_.joinable()) thread_.detach();
}

bool NetThread::Ended() const {
  if (!done_) return true;
  Done& done = *done_;
  MutexLock hold(done.mutex);
  return done.ended;
}

}  // namespace pv
