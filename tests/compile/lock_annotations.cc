// Misuses of the server's locks that clang's -Wthread-safety must refuse. The build compiles
// this file once per case (PV_CASE); case 0 is the correct use and must compile, every other case
// must fail. The file is never linked.
#include "base/sync.h"

namespace {

struct Session {
  pv::Mutex out_queue_lock;
  int queued GUARDED_BY(out_queue_lock) = 0;
  void Add() REQUIRES(out_queue_lock) { ++queued; }
};

struct Server {
  pv::GuardedList<int> ClientList;
};

void NeedsClientList([[maybe_unused]] Server& server) REQUIRES(server.ClientList) {}

// Each case leaves one of the two unused.
[[maybe_unused]] void Use([[maybe_unused]] Session& session, [[maybe_unused]] Server& server) {
#if PV_CASE == 0
  {
    pv::MutexLock hold(session.out_queue_lock);
    session.Add();
    ++session.queued;
  }
  pv::Locked clients(server.ClientList);
  NeedsClientList(server);
  clients->push_back(1);
#elif PV_CASE == 1
  // A guarded field written without its lock.
  ++session.queued;
#elif PV_CASE == 2
  // A function that needs the out-queue lock, called without it.
  session.Add();
#elif PV_CASE == 3
  // A function that needs ClientList, called without the list locked.
  NeedsClientList(server);
#elif PV_CASE == 4
  // The field used after the lock was given back.
  pv::MutexLock hold(session.out_queue_lock);
  hold.Unlock();
  ++session.queued;
#elif PV_CASE == 5
  // A lock taken and never released.
  session.out_queue_lock.Lock();
#endif
}

}  // namespace
