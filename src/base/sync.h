// Locks and signals shared between the server's threads.
//
// Lock order, the one place it is written: a thread that holds several of these locks takes them
// in this order and never the other way round:
//   the UDP send thread's drain lock < RoomList < UdpSendList < ClientList
//     < a session's OutQueue < LogLock
// The configuration file's write lock is a leaf: it may be taken while RoomList is held and
// nothing is locked while it is held.
// A guarded list's lock may be taken again by the thread that already holds it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace pv {

// A list whose items are reachable only through a Locked view; the view holds the list's
// re-entrant lock for as long as it lives, so a walk or a change holds it for its whole extent.
template <typename T>
class GuardedList {
 public:
  class Locked {
   public:
    explicit Locked(GuardedList& list) : list_(list), hold_(list.mutex_) {}
    std::vector<T>& Items() { return list_.items_; }
    std::vector<T>* operator->() { return &list_.items_; }
    std::vector<T>& operator*() { return list_.items_; }
    // Releases the lock early; the view must not be used afterwards.
    void Unlock() { hold_.unlock(); }

   private:
    GuardedList& list_;
    std::unique_lock<std::recursive_mutex> hold_;
  };

  Locked Lock() { return Locked(*this); }

 private:
  std::recursive_mutex mutex_;
  std::vector<T> items_;
};

// An auto-reset event: Set wakes one waiter (or the next one to wait) and the event resets as
// the waiter is released. A Set with nobody waiting is kept, so no wake-up is ever lost.
class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      signalled_ = true;
    }
    cv_.notify_one();
  }
  // Waits until set or until `timeout` passes; true when the event was set.
  template <typename Rep, typename Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!cv_.wait_for(hold, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }
  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    cv_.wait(hold, [this] { return signalled_; });
    signalled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace pv
