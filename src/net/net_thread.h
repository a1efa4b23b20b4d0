// NetThread: the transport's threads (accepting, connection, UDP listener). Unlike TThread, whose
// object must outlive its body, a NetThread body owns everything it touches: it is given as a
// callable holding shared pointers to its state. So the owner can wait for it within a bound
// and, should the body overrun (a handler blocked elsewhere), let it go without harm: the thread
// is detached and finishes on its own later, with its state still alive.
//
// Thread rules: Start, WaitFor, Detach and the destructor are called by the owner, one thread
// at a time; the body never touches its NetThread.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <string>

#include "base/sync.h"

namespace pv {

class NetThread {
 public:
  NetThread() = default;
  // Joins a body that has ended; detaches one still running.
  ~NetThread();
  NetThread(const NetThread&) = delete;
  NetThread& operator=(const NetThread&) = delete;

  // Runs `body` on a new thread named `name` (at most 15 characters show), with a stack of
  // `stack_size` bytes (0: the system's default). Whatever the body raises is dropped: nothing
  // escapes a thread. Raises std::system_error when no thread can be created.
  void Start(const std::string& name, std::function<void()> body, size_t stack_size = 0);
  // Waits up to `timeout` for the body to end, then joins the thread. True when it ended (or
  // was never started).
  bool WaitFor(std::chrono::milliseconds timeout);
  // Lets a running thread go; it ends on its own.
  void Detach();
  bool Ended() const;

 private:
  struct Done {
    Mutex mutex;
    std::condition_variable signal;
    bool ended GUARDED_BY(mutex) = false;
  };
  std::shared_ptr<Done> done_;
  pthread_t thread_{};
  bool joinable_ = false;
};

}  // namespace pv
