#include "core/server.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "base/errors.h"
#include "core/config_file.h"
#include "core/event_log.h"
#include "core/platform.h"
#include "net/tcp_server.h"
#include "net/udp_server.h"
#include "protocol/dispatch.h"
#include "protocol/rooms.h"
#include "sessions/udp_read.h"
#include "sessions/udp_sender.h"
#include "supervision/ping_thread.h"

namespace pv {

TParleyvoxServer::TParleyvoxServer(std::vector<std::string> args)
    : StartTime(Now()), StartSteady(SteadyNow()), args_(std::move(args)) {}

TParleyvoxServer::~TParleyvoxServer() {
  // Threads and listeners are stopped before the lists they use go away.
  if (ping_thread_) ping_thread_->Terminate();
  if (udp_sender_) {
    udp_sender_->Terminate();
    SystemEvent.Set();
  }
  if (tcp_) tcp_->SetActive(false);
  if (udp_) udp_->SetActive(false);
  ping_thread_.reset();
  udp_sender_.reset();
  tcp_.reset();
  udp_.reset();
}

std::string TParleyvoxServer::ServerPassword() const {
  std::lock_guard<std::mutex> hold(password_lock_);
  return Config.ServerPassword;
}

std::string TParleyvoxServer::AdminPassword() const {
  std::lock_guard<std::mutex> hold(password_lock_);
  return Config.AdminPassword;
}

void TParleyvoxServer::SetServerPassword(const std::string& value) {
  std::lock_guard<std::mutex> hold(password_lock_);
  Config.ServerPassword = value;
}

void TParleyvoxServer::SetAdminPassword(const std::string& value) {
  std::lock_guard<std::mutex> hold(password_lock_);
  Config.AdminPassword = value;
}

void TParleyvoxServer::ConfigureConnectionLimits() {
  uint64_t descriptors = RaiseDescriptorLimit();
  ConnectionLimits limits;
  limits.max_open = ConnectionCap(Config.MaxClients, descriptors);
  limits.max_pending_per_address = kPendingConnectionsPerAddress;
  size_t wanted = ConnectionCap(Config.MaxClients, UINT64_MAX);
  if (limits.max_open < wanted)
    std::fprintf(stderr, "pvserver: the descriptor limit (%llu) allows only %zu control connections of %zu\n",
                 static_cast<unsigned long long>(descriptors), limits.max_open, wanted);
  tcp_->SetLimits(limits, &Metrics.ConnectionsRefusedAtCap);
}

bool TParleyvoxServer::Fail(const char* message) {
  FatalMessage = message;
  return false;
}

bool TParleyvoxServer::Server_Init() {
  // 1. Session ids are drawn from a generator seeded by the clock.
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  // 2. The command line decides where the log goes before the first line is written.
  ParseCommandLine(args_, Names);
  SetLogFileName(Names.LogFileName);
  WriteLog("----Entering server init----", 3);
  // 4-5. The read lock and the log lock exist from construction on.
  // 6. The configuration file is looked up beside the executable.
  Names.ProgramDir = ExecutableDir();
  // 7. Higher process priority when the system allows it.
  if (!RaiseProcessPriority()) return Fail("FATAL ERROR: Cant set PriorityClass");
  // 8. The lists exist from construction on.
  WriteLog("Created Threadlists", 3);
  // 9-10. Hard defaults, then the file.
  Config = Settings();
  try {
    LoadConfig(ConfigPath(), Config, [this](const std::string& name) { CreateRoom(*this, name); });
  } catch (const std::exception&) {
    return Fail("FATAL ERROR: Unable to create config file");
  }
  WriteLog("Done reading ini file", 3);
  // 12. The version text clients and the listing service see.
  Config.ServerVersion += " Win32";
  if (!desktop_) Config.ServerVersion += " Service";
  // 13-14. Listeners with the server's handlers.
  udp_ = std::make_unique<TIdUDPServer>();
  tcp_ = std::make_unique<TIdTCPServer>();
  WriteLog("UDP+TCP created", 3);
  // A port outside 0..65535 cannot be bound: activation fails below.
  bool ports_valid = Config.TCPPort >= 0 && Config.TCPPort <= 65535 && Config.UDPPort >= 0 && Config.UDPPort <= 65535;
  auto tcp_port = static_cast<uint16_t>(Config.TCPPort);
  auto udp_port = static_cast<uint16_t>(Config.UDPPort);
  tcp_->SetDefaultPort(tcp_port);
  // Address reuse lets a restarted server listen again at once while connections it closed
  // linger in TIME_WAIT; on Linux it never lets a second listener take a busy port.
  tcp_->SetReuseSocket(true);
  tcp_->SetOnExecute([this](TIdPeerThread& thread) { TCPServerExecute(*this, thread); });
  tcp_->SetOnDisconnect([this](TIdPeerThread& thread) { EndConnection(*this, thread); });
  ConfigureConnectionLimits();
  udp_->SetDefaultPort(udp_port);
  udp_->SetOnUDPRead(
      [this](const uint8_t* data, size_t size, TIdSocketHandle& binding) { UDPRead(*this, data, size, binding); });
  // 15. A configured address replaces the listeners' bindings.
  if (!Config.IP.empty()) {
    try {
      tcp_->SetBinding(Config.IP, tcp_port);
      udp_->SetBinding(Config.IP, udp_port);
    } catch (const std::exception&) {
      return Fail("FATAL ERROR: Unable to bind IP and Port");
    }
  }
  // 16. The ping thread, created suspended.
  WriteLog("Creating ping thread", 3);
  ping_thread_ = std::make_unique<TPingThread>(*this);
  WriteLog("Created ping thread", 3);
  // 17. SystemEvent exists from construction on.
  // 18. The UDP sender, at a higher priority than the connection threads.
  WriteLog("Creating UDPsender thread", 3);
  udp_sender_ = std::make_unique<TUDPSender>(*this);
  WriteLog("Created UDPsender thread", 3);
  udp_sender_->SetHighPriority();
  udp_sender_->Start();
  // 19. UDP first, then TCP; then supervision.
  try {
    if (!ports_valid) throw ERangeError();
    udp_->SetActive(true);
    tcp_->SetActive(true);
    WriteLog("Activated tcp/udp", 3);
    ping_thread_->Start();
    WriteLog("Started Ping Thread", 3);
  } catch (const std::exception&) {
    return Fail("FATAL ERROR: Unable to initialize communication");
  }
  WriteLog("----Parleyvox server started----", 2);
  return true;
}

void TParleyvoxServer::Server_DeInit() {
  WriteLog("----Entering Server_DeInit ---- ", 3);
  // Both workers are only asked to stop here; they are joined after the listeners are down.
  if (ping_thread_) ping_thread_->Terminate();
  WriteLog("Server_DeInit -- pingpong term sent", 3);
  if (udp_sender_) {
    udp_sender_->Terminate();
    SystemEvent.Set();
  }
  WriteLog("Server_DeInit -- UDPThread term + event sent", 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  WriteLog("Server_DeInit -- Slept 2 secs", 3);
  // Closes every control connection and waits (bounded) for the connection threads.
  if (tcp_) tcp_->SetActive(false);
  WriteLog("Server_DeInit -- Stopped TCP", 3);
  if (udp_) udp_->SetActive(false);
  WriteLog("Server_DeInit -- Stopped UDP", 3);
  {
    auto clients = ClientList.Lock();
    for (auto& session : *clients) session->Destroy();
    clients->clear();
  }
  // The workers had a second and the listeners' stop to finish; wait a bounded time more.
  if (ping_thread_) ping_thread_->WaitFor(std::chrono::milliseconds(12000));
  if (udp_sender_) udp_sender_->WaitFor(std::chrono::milliseconds(2000));
  WriteLog("----Parleyvox server shutdown----", 2);
}

}  // namespace pv
