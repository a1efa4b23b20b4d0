// Locks and signals shared between the server's threads, annotated for clang's -Wthread-safety
// (base/thread_annotations.h): Mutex and MutexLock for plain locks, GuardedList and its Locked
// view for the shared lists, AutoResetEvent for the send thread's wake-up.
//
// Lock order, the one place it is written. A thread that holds several of these locks takes them
// in this order and never the other way round:
//   the UDP send thread's drain lock < RoomList < UdpSendList < ClientList
//     < a session's send lock < a session's OutQueue < LogLock
// A session's send lock guards what is being written to its connection (sending_ and the sizes
// of its packets); only the connection's own thread ever waits for it, and it is held only for
// sends that do not wait. A session's OutQueue lock guards the queued packets, the count of
// unsent bytes and the time of the last progress; it is held across no socket call.
// Every other lock is a leaf: nothing else is taken while it is held, so it may be taken with any
// of the locks above held. The leaves are the configuration file's write lock (taken with
// RoomList held when the rooms are saved), the password lock, a connection's AppData lock, the TCP
// listener's state lock (live connection threads, evictions), the UDP endpoint's bindings lock, a worker thread's stop
// lock (TThread), a transport thread's end lock (NetThread), an AutoResetEvent's lock and a host
// look-up's result lock.
// The login throttles' locks and the datagram log cap's lock are leaves too: taken under any of the
// above (a login checks its throttle with ClientList held), nothing is locked or logged under them.
// The monitoring endpoint's locks (its task queue's, and the one its listener and watch threads
// end under) are leaves that no server thread ever waits for; a scrape takes ClientList, then
// RoomList, one at a time and with none of its own locks held.
// A guarded list's lock may be taken again by the thread that already holds it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "base/thread_annotations.h"

namespace pv {

class MutexLock;

// A plain (not re-entrant) lock. Fields it guards say so with GUARDED_BY.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope. It may be released early (Unlock) and taken again (Lock), and it
// is what a condition variable waits with.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : hold_(mutex.mutex_) {}
  // Takes over a lock this thread already holds (after a successful TryLock).
  MutexLock(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : hold_(mutex.mutex_, std::adopt_lock) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() { hold_.unlock(); }
  void Lock() ACQUIRE() { hold_.lock(); }

  // Releases the lock while waiting for `cv`, holds it again on return. Wake-ups may be
  // spurious: callers wait in a loop on their own condition.
  void Wait(std::condition_variable& cv) { cv.wait(hold_); }
  // The same, bounded by `deadline`; false once the deadline has passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable& cv, std::chrono::time_point<Clock, Duration> deadline) {
    return cv.wait_until(hold_, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> hold_;
};

template <typename T>
class Locked;

// A list whose items are reachable only through a Locked view; the view holds the list's
// re-entrant lock for as long as it lives, so a walk or a change holds it for its whole extent.
// The list itself is the capability the annotations name: REQUIRES(server.ClientList).
template <typename T>
class CAPABILITY("mutex") GuardedList {
 public:
  GuardedList() = default;
  GuardedList(const GuardedList&) = delete;
  GuardedList& operator=(const GuardedList&) = delete;

 private:
  friend class Locked<T>;
  std::recursive_mutex mutex_;
  std::vector<T> items_ GUARDED_BY(this);
};

// The view of a locked GuardedList: `Locked clients(server.ClientList);` holds the list's lock
// until the view goes out of scope (or Unlock).
template <typename T>
class SCOPED_CAPABILITY Locked {
 public:
  explicit Locked(GuardedList<T>& list) ACQUIRE(list) : list_(list), hold_(list.mutex_) {}
  ~Locked() RELEASE() {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // The items. The view holding the lock is what makes these safe, which the analysis cannot
  // see through the reference it keeps; they must not be used after Unlock.
  std::vector<T>& Items() NO_THREAD_SAFETY_ANALYSIS { return list_.items_; }
  std::vector<T>* operator->() NO_THREAD_SAFETY_ANALYSIS { return &list_.items_; }
  std::vector<T>& operator*() NO_THREAD_SAFETY_ANALYSIS { return list_.items_; }
  // Releases the lock early; the view must not be used afterwards.
  void Unlock() RELEASE() { hold_.unlock(); }

 private:
  GuardedList<T>& list_;
  std::unique_lock<std::recursive_mutex> hold_;
};

template <typename T>
Locked(GuardedList<T>&) -> Locked<T>;

// An auto-reset event: Set wakes one waiter (or the next one to wait) and the event resets as
// the waiter is released. A Set with nobody waiting is kept, so no wake-up is ever lost.
class AutoResetEvent {
 public:
  void Set() {
    {
      MutexLock hold(mutex_);
      signalled_ = true;
    }
    cv_.notify_one();
  }
  // Waits until set or until `timeout` passes; true when the event was set.
  template <typename Rep, typename Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock hold(mutex_);
    while (!signalled_) {
      if (!hold.WaitUntil(cv_, deadline)) break;
    }
    if (!signalled_) return false;
    signalled_ = false;
    return true;
  }
  void Wait() {
    MutexLock hold(mutex_);
    while (!signalled_) hold.Wait(cv_);
    signalled_ = false;
  }

 private:
  Mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ GUARDED_BY(mutex_) = false;
};

}  // namespace pv
