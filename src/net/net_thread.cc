#include "net/net_thread.h"

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace pv {

namespace {

struct StartArgs {
  std::function<void()> run;
};

void* ThreadEntry(void* raw) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(raw));
  args->run();
  return nullptr;
}

}  // namespace

NetThread::~NetThread() {
  if (!joinable_) return;
  // A body still running (or this very thread dropping the last reference to its own owner)
  // cannot be joined without waiting; it is let go and ends by itself.
  if (!pthread_equal(thread_, pthread_self()) && Ended()) {
    pthread_join(thread_, nullptr);
  } else {
    pthread_detach(thread_);
  }
}

void NetThread::Start(const std::string& name, std::function<void()> body, size_t stack_size) {
  auto done = std::make_shared<Done>();
  auto args = std::make_unique<StartArgs>();
  args->run = [done, name, body = std::move(body)]() mutable {
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
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size > 0) pthread_attr_setstacksize(&attr, stack_size);
  int code = pthread_create(&thread_, &attr, ThreadEntry, args.get());
  pthread_attr_destroy(&attr);
  if (code != 0) throw std::system_error(code, std::generic_category(), "pthread_create");
  args.release();  // the thread owns it now
  joinable_ = true;
  done_ = std::move(done);
}

bool NetThread::WaitFor(std::chrono::milliseconds timeout) {
  if (!joinable_) return true;
  if (pthread_equal(thread_, pthread_self())) return false;
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Done& done = *done_;
    MutexLock hold(done.mutex);
    while (!done.ended) {
      if (!hold.WaitUntil(done.signal, deadline)) break;
    }
    if (!done.ended) return false;
  }
  pthread_join(thread_, nullptr);
  joinable_ = false;
  return true;
}

void NetThread::Detach() {
  if (!joinable_) return;
  pthread_detach(thread_);
  joinable_ = false;
}

bool NetThread::Ended() const {
  if (!done_) return true;
  Done& done = *done_;
  MutexLock hold(done.mutex);
  return done.ended;
}

}  // namespace pv
