// TThread: the base of the server's worker threads. A thread is created suspended, runs its
// Execute body once Start is called, polls Terminated() to notice a stop request, and is joined
// by its owner with a bounded wait. Nothing escapes Execute: an error is written to the log
// with the thread's name.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>

#include "base/sync.h"

namespace pv {

class TThread {
 public:
  explicit TThread(std::string name) : name_(std::move(name)) {}
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the body on its own thread; a second call does nothing.
  void Start();
  // Asks the body to stop; it sees Terminated() and SleepFor returns early.
  void Terminate();
  bool Started() const { return started_.load(); }
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }
  // Waits up to `timeout` for the body to end; joins it then. True when it ended.
  bool WaitFor(std::chrono::milliseconds timeout);
  // Best-effort priority: a negative nice value for this thread. Refusals are ignored.
  void SetHighPriority() { high_priority_ = true; }
  const std::string& Name() const { return name_; }

 protected:
  virtual void Execute() = 0;
  // Sleeps for `duration` or until Terminate is called; returns false when terminated.
  bool SleepFor(std::chrono::milliseconds duration);

 private:
  void Run();

  std::string name_;
  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  bool high_priority_ = false;
  // A leaf, held only to set or wait for terminated_ and finished_ without missing a wake-up.
  Mutex mutex_;
  std::condition_variable cv_;
};

}  // namespace pv
