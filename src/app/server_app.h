// ServerApp: the composition root. It owns the server's state (TParleyvoxServer), creates the
// listeners and the worker threads, wires them to that state, brings them up (Server_Init) and
// down (Server_DeInit), and stops whatever still runs before the state goes away.
//
// Thread rules: everything here is for the main thread; Server_DeInit is what a shell calls when
// the server is to stop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/server.h"

namespace pv {

class MonitoringEndpoint;
class TIdTCPServer;
class TIdUDPServer;
class TPingThread;
class TUDPSender;

class ServerApp {
 public:
  explicit ServerApp(std::vector<std::string> args);
  ~ServerApp();
  ServerApp(const ServerApp&) = delete;
  ServerApp& operator=(const ServerApp&) = delete;

  // The desktop shell says before start-up that a tray icon will be shown; a server without it
  // reports " Service" in its version text.
  void SetDesktop(bool shown) { desktop_ = shown; }
  // Runs the start-up; false with FatalMessage set when a step failed.
  bool Server_Init();
  // Stops the server: threads asked to stop, listeners deactivated, sessions destroyed.
  void Server_DeInit();
  const std::string& FatalMessage() const { return fatal_message_; }

 private:
  bool Fail(const char* message);
  void CreateListeners();
  // Raises the descriptor limit and caps the control connections within it.
  void ConfigureConnectionLimits();
  // Asks both workers to stop; they are joined later, after the listeners are down.
  void TerminateWorkers();
  // The monitoring endpoint when [Monitoring] Listen names one; a value that cannot be used is
  // a warning on stderr and the server runs without it. Returns the address it listens on.
  std::string StartMonitoring();
  void ShowBanner(const std::string& monitoring);

  std::vector<std::string> args_;
  bool desktop_ = false;
  std::string fatal_message_;
  // The state outlives every thread and listener below (members go in reverse order, and the
  // destructor stops them first anyway).
  TParleyvoxServer server_;
  std::unique_ptr<TIdUDPServer> udp_;
  std::unique_ptr<TIdTCPServer> tcp_;
  std::unique_ptr<TPingThread> ping_thread_;
  std::unique_ptr<TUDPSender> udp_sender_;
  std::unique_ptr<MonitoringEndpoint> monitoring_;
};

}  // namespace pv
