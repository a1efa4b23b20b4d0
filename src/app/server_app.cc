#include "app/server_app.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/banner.h"
#include "base/errors.h"
#include "base/event_log.h"
#include "core/config_file.h"
#include "core/platform.h"
#include "core/service_notify.h"
#include "core/startup_warnings.h"
#include "monitoring/http_endpoint.h"
#include "net/tcp_server.h"
#include "net/udp_server.h"
#include "protocol/dispatch.h"
#include "protocol/rooms.h"
#include "sessions/server_client.h"
#include "sessions/udp_read.h"
#include "sessions/udp_sender.h"
#include "shell/version_info.h"
#include "supervision/ping_thread.h"

namespace pv {

namespace {
// Connections without a login yet from one IPv4 address (loopback addresses are exempt).
constexpr size_t kPendingConnectionsPerAddress = 16;
}  // namespace

// The server state's lists hold sessions, rooms and queued datagrams, types of the layers above
// core; they are complete here.
TParleyvoxServer::TParleyvoxServer() : StartTime(Now()), StartSteady(SteadyNow()) {}
TParleyvoxServer::~TParleyvoxServer() = default;

ServerApp::ServerApp(std::vector<std::string> args) : args_(std::move(args)) {}

ServerApp::~ServerApp() {
  // Threads and listeners are stopped before the state they use goes away.
  monitoring_.reset();
  TerminateWorkers();
  if (tcp_) tcp_->SetActive(false);
  if (udp_) udp_->SetActive(false);
  ping_thread_.reset();
  udp_sender_.reset();
  tcp_.reset();
  udp_.reset();
}

bool ServerApp::Fail(const char* message) {
  fatal_message_ = message;
  return false;
}

void ServerApp::TerminateWorkers() {
  if (ping_thread_) ping_thread_->Terminate();
  if (udp_sender_) {
    udp_sender_->Terminate();
    server_.SystemEvent.Set();
  }
}

void ServerApp::CreateListeners() {
  udp_ = std::make_unique<TIdUDPServer>();
  tcp_ = std::make_unique<TIdTCPServer>();
  WriteLog("UDP+TCP created", 3);
  const Settings& config = server_.Config;
  auto tcp_port = static_cast<uint16_t>(config.TCPPort);
  auto udp_port = static_cast<uint16_t>(config.UDPPort);
  // Address reuse lets a restarted server listen again at once while connections it closed
  // linger in TIME_WAIT; on Linux it never lets a second listener take a busy port.
  tcp_->SetReuseSocket(true);
  tcp_->SetOnExecute([this](TIdPeerThread& thread) { TCPServerExecute(server_, thread); });
  tcp_->SetOnDisconnect([this](TIdPeerThread& thread) { EndConnection(server_, thread); });
  ConfigureConnectionLimits();
  // The send thread exists before the listener is activated, and lives until it has stopped.
  udp_->SetOnUDPRead([this](const TIdReceivedDatagram& datagram, TIdSocketHandle& binding) {
    UDPRead(server_, udp_sender_.get(), datagram, binding);
  });
  // 15. The configured address, or every local interface when none is set.
  tcp_->SetBinding(config.IP, tcp_port);
  udp_->SetBinding(config.IP, udp_port);
}

void ServerApp::ConfigureConnectionLimits() {
  uint64_t descriptors = RaiseDescriptorLimit();
  ConnectionLimits limits;
  limits.max_open = ConnectionCap(server_.Config.MaxClients, descriptors);
  limits.max_pending_per_address = kPendingConnectionsPerAddress;
  size_t wanted = ConnectionCap(server_.Config.MaxClients, UINT64_MAX);
  if (limits.max_open < wanted)
    std::fprintf(stderr, "pvserver: the descriptor limit (%llu) allows only %zu control connections of %zu\n",
                 static_cast<unsigned long long>(descriptors), limits.max_open, wanted);
  tcp_->SetLimits(limits, &server_.Metrics.ConnectionsRefusedAtCap);
}

bool ServerApp::Server_Init() {
  // 2. The command line decides where the log goes before the first line is written.
  ParseCommandLine(args_, server_.Names);
  SetLogFileName(server_.Names.LogFileName);
  WriteLog("----Entering server init----", 3);
  // 4-5. The log lock exists from construction on.
  // 6. The configuration file is looked up beside the executable, or in PARLEYVOX_HOME.
  server_.Names.ProgramDir = ConfigDirectory(std::getenv(kHomeVariable));
  // 7. Higher process priority when the system allows it.
  if (!RaiseProcessPriority()) return Fail("FATAL ERROR: Cant set PriorityClass");
  // 8. The lists exist from construction on.
  WriteLog("Created Threadlists", 3);
  // 9-10. Hard defaults, then the file.
  server_.Config = Settings();
  try {
    LoadConfig(server_.ConfigPath(), server_.Config, [this](const std::string& name) { CreateRoom(server_, name); });
  } catch (const std::exception&) {
    return Fail("FATAL ERROR: Unable to create config file");
  }
  WriteLog("Done reading ini file", 3);
  // The passwords as read; from now on the administrator commands change them under their lock.
  server_.SetServerPassword(server_.Config.ServerPassword);
  server_.SetAdminPassword(server_.Config.AdminPassword);
  // Exposed secrets are the operator's to mend: said on stderr, the log's lines stay as they are.
  for (const std::string& warning : StartupWarnings(server_.Config, server_.ConfigPath()))
    std::fprintf(stderr, "%s\n", warning.c_str());
  // 12. The version text clients and the listing service see.
  server_.Config.ServerVersion += " Win32";
  if (!desktop_) server_.Config.ServerVersion += " Service";
  // 13-15. Listeners with the server's handlers and bindings.
  CreateListeners();
  // A port outside 0..65535 cannot be bound: activation fails below.
  const Settings& config = server_.Config;
  const bool ports_valid =
      config.TCPPort >= 0 && config.TCPPort <= 65535 && config.UDPPort >= 0 && config.UDPPort <= 65535;
  // 16. The ping thread, created suspended.
  WriteLog("Creating ping thread", 3);
  ping_thread_ = std::make_unique<TPingThread>(server_, *udp_);
  WriteLog("Created ping thread", 3);
  // 17. SystemEvent exists from construction on.
  // 18. The UDP sender, at a higher priority than the connection threads.
  WriteLog("Creating UDPsender thread", 3);
  udp_sender_ = std::make_unique<TUDPSender>(server_, udp_.get());
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
  // After the start: the monitoring pages show a running server, and cannot stop it starting.
  ShowBanner(StartMonitoring());
  // Clients can connect now: a service manager waiting for the start may go on.
  NotifyServiceManager("READY=1");
  return true;
}

std::string ServerApp::StartMonitoring() {
  const std::string& listen = server_.Config.MonitoringListen;
  if (listen.empty()) return {};
  ListenAddress address;
  if (!ParseListenAddress(listen, address)) {
    std::fprintf(stderr, "pvserver: warning: [Monitoring] Listen=%s is not an address:port; monitoring is off\n",
                 listen.c_str());
    return {};
  }
  // The version record without the blank GetVersionText leaves after the numbers.
  std::string file_version = TVersionInfo().GetVersionText();
  while (!file_version.empty() && file_version.back() == ' ') file_version.pop_back();
  auto endpoint = std::make_unique<MonitoringEndpoint>(server_, file_version);
  std::string error = endpoint->Start(address);
  if (!error.empty()) {
    std::fprintf(stderr, "pvserver: warning: [Monitoring] Listen=%s: %s; monitoring is off\n", listen.c_str(),
                 error.c_str());
    return {};
  }
  monitoring_ = std::move(endpoint);
  return address.Text();
}

void ServerApp::ShowBanner(const std::string& monitoring) {
  const Settings& config = server_.Config;
  BannerFacts facts;
  facts.version = config.ServerVersion;
  facts.ip = config.IP;
  facts.tcp_port = config.TCPPort;
  facts.udp_port = config.UDPPort;
  facts.ini_path = server_.ConfigPath();
  facts.log_path = server_.Names.LogFileName;
  facts.monitoring = monitoring;
  facts.desktop = desktop_;
  facts.pid = static_cast<long>(::getpid());
  PrintBannerIfTerminal(facts);
}

void ServerApp::Server_DeInit() {
  WriteLog("----Entering Server_DeInit ---- ", 3);
  NotifyServiceManager("STOPPING=1");
  // The monitoring pages read the lists: they stop first, and never delay the stop (bounded).
  monitoring_.reset();
  // Both workers are only asked to stop here; they are joined after the listeners are down.
  if (ping_thread_) ping_thread_->Terminate();
  WriteLog("Server_DeInit -- pingpong term sent", 3);
  if (udp_sender_) {
    udp_sender_->Terminate();
    server_.SystemEvent.Set();
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
    Locked clients(server_.ClientList);
    for (auto& session : *clients) session->Destroy();
    clients->clear();
  }
  // The workers had a second and the listeners' stop to finish; wait a bounded time more.
  if (ping_thread_) ping_thread_->WaitFor(std::chrono::milliseconds(12000));
  if (udp_sender_) udp_sender_->WaitFor(std::chrono::milliseconds(2000));
  WriteLog("----Parleyvox server shutdown----", 2);
}

}  // namespace pv
