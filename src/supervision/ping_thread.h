// TPingThread: supervision of silent clients, a sweep every 500 ms, and the web listing post.
#pragma once

#include "base/thread.h"

namespace pv {

class TParleyvoxServer;

class TPingThread : public TThread {
 public:
  explicit TPingThread(TParleyvoxServer& server) : TThread("PingThread"), server_(server) {}
  ~TPingThread() override;

 protected:
  void Execute() override;

 private:
  TParleyvoxServer& server_;
};

}  // namespace pv
