// TParleyvoxServer: the one server object. It owns the settings, the guarded lists, the
// listeners and the worker threads, and brings them up (Server_Init) and down (Server_DeInit).
// Several servers can live in one process (tests do that); nothing here is global but the log.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/sync.h"
#include "core/command_line.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "sessions/server_client.h"

namespace pv {

class TIdTCPServer;
class TIdUDPServer;
class TPingThread;
class TUDPSender;

struct RoomRecord {
  uint8_t Index = 0;
  std::string Name;
  int RoomId() const { return Index + 1; }
};

// One relay datagram waiting for the UDP send thread.
struct QueuedDatagram {
  std::vector<uint8_t> bytes;
};

// Connections without a login yet from one IPv4 address (loopback addresses are exempt).
constexpr size_t kPendingConnectionsPerAddress = 16;

class TParleyvoxServer {
 public:
  explicit TParleyvoxServer(std::vector<std::string> args = {});
  ~TParleyvoxServer();

  // Runs the start-up; false with FatalMessage set when a step failed.
  bool Server_Init();
  // Stops the server: threads asked to stop, listeners deactivated, sessions destroyed.
  void Server_DeInit();
  // The desktop shell tells the server before start-up that a tray icon will be shown; a
  // server without it reports " Service" in its version text.
  void SetDesktop(bool shown) { desktop_ = shown; }

  const TDateTime StartTime;
  const SteadyTime StartSteady;
  std::atomic<uint32_t> UdpPacketsOut{0}, UdpBytesOut{0}, UdpPacketsIn{0}, UdpBytesIn{0};
  std::atomic<uint32_t> TcpPacketsOut{0}, TcpBytesOut{0}, TcpPacketsIn{0}, TcpBytesIn{0};

  // The operator's counters (monitoring); the eight traffic counters above are what clients see.
  ServerMetrics Metrics;

  ProgramNames Names;
  std::string FatalMessage;
  Settings Config;  // read once at start-up; the passwords are read through the accessors below
  std::string ConfigPath() const { return Names.ProgramDir + Names.ConfigFileName; }

  // The two passwords change at run time (administrator commands); they are read and replaced
  // whole under their own lock.
  std::string ServerPassword() const;
  std::string AdminPassword() const;
  void SetServerPassword(const std::string& value);
  void SetAdminPassword(const std::string& value);

  std::mutex UdpReadLock;
  GuardedList<SessionPtr> ClientList;
  GuardedList<RoomRecord> RoomList;
  GuardedList<QueuedDatagram> UdpSendList;
  AutoResetEvent SystemEvent;

  TIdUDPServer* UdpServer() { return udp_.get(); }
  // The UDP send thread; null before Server_Init creates it. It lives until the server is
  // destroyed, after the listeners have stopped.
  TUDPSender* UdpSender() { return udp_sender_.get(); }
  TIdTCPServer* TcpServer() { return tcp_.get(); }

 private:
  bool Fail(const char* message);
  // Raises the descriptor limit and caps the control connections within it.
  void ConfigureConnectionLimits();

  std::vector<std::string> args_;
  bool desktop_ = false;
  mutable std::mutex password_lock_;
  std::unique_ptr<TIdUDPServer> udp_;
  std::unique_ptr<TIdTCPServer> tcp_;
  std::unique_ptr<TPingThread> ping_thread_;
  std::unique_ptr<TUDPSender> udp_sender_;
};

}  // namespace pv
