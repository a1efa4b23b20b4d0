#include "supervision/ping_thread.h"

#include "core/server.h"

namespace pv {

TPingThread::~TPingThread() {
  Terminate();
  WaitFor(std::chrono::milliseconds(5000));
}

void TPingThread::Execute() {
  while (SleepFor(std::chrono::milliseconds(500))) {
  }
}

}  // namespace pv
