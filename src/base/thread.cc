#include "base/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/event_log.h"

namespace pv {

TThread::~TThread() {
  // The owner stops and joins the thread first; a thread still running here is detached so that
  // destruction never blocks the process (its body only touches objects the server keeps alive).
  if (thread_.joinable()) {
    Terminate();
    if (!WaitFor(std::chrono::milliseconds(5000)) && thread_.joinable()) thread_.detach();
  }
}

void TThread::Start() {
  if (started_.exchange(true)) return;
  thread_ = std::thread([this] { Run(); });
}

void TThread::Terminate() {
  {
    MutexLock hold(mutex_);
    terminated_ = true;
  }
  cv_.notify_all();
}

bool TThread::WaitFor(std::chrono::milliseconds timeout) {
  if (!started_.load()) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock hold(mutex_);
  while (!finished_.load()) {
    if (!hold.WaitUntil(cv_, deadline)) break;
  }
  const bool ended = finished_.load();
  hold.Unlock();
  if (ended && thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  return ended;
}

bool TThread::SleepFor(std::chrono::milliseconds duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  MutexLock hold(mutex_);
  while (!terminated_.load()) {
    if (!hold.WaitUntil(cv_, deadline)) break;
  }
  return !terminated_.load();
}

void TThread::Run() {
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  if (high_priority_) {
    // Raising a thread's priority needs a privilege on Linux; without it the thread keeps the
    // normal priority.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10);
  }
  try {
    Execute();
  } catch (const std::exception& e) {
    WriteLog(CaughtLine("in: " + name_ + " thread exception ", e), 0);
  } catch (...) {
    WriteLog("in: " + name_ + " thread exception unknown", 0);
  }
  {
    MutexLock hold(mutex_);
    finished_ = true;
  }
  cv_.notify_all();
}

}  // namespace pv
