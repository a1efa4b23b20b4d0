// pvbench: a load generator for the server's UDP relay. N clients log in over TCP and read
// every notification, make their UDP endpoints known with a ping, and T of them send relay
// datagrams at a steady rate; every client checks what it receives and the delays are measured.
// With --pid the server's CPU time per relayed datagram is read from /proc. With --ramp the
// rate rises step by step until the loss reaches 0.1 %. With --reference the same load goes
// through pvbench's own minimal relay instead, for comparison. --stalled and --churn add the
// hostile side: clients that never read, and clients that come, go and change rooms.
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "base/printf.h"
#include "control.h"
#include "hostile.h"
#include "options.h"
#include "probes.h"
#include "reference_relay.h"
#include "report.h"
#include "traffic.h"

namespace pv::bench {
namespace {

constexpr auto kLoginWait = std::chrono::seconds(10);
constexpr double kLossLimitPercent = 0.1;
// Session ids the reference relay hands out: any unique values do.
constexpr uint16_t kFirstReferenceSession = 1000;

struct Session {
  const Options& options;
  std::vector<BenchClient>& clients;
  Receiver& receiver;
  ControlReader& control;
  int udp_port;
  std::function<double()> relay_cpu;  // CPU seconds of the relay so far; negative: unknown
  std::function<double()> relay_threads_cpu;  // of the server's relaying threads alone; negative: unknown
  StalledClients* stalled;            // null without --stalled
  std::vector<uint32_t> packet_ids;
  std::vector<uint16_t> client_ports;
  uint8_t next_step = 1;
};

// Waits until nothing has arrived for a while (at most 10 s), so what a relay that fell
// behind still delivers from one step does not slow down the next.
void Settle(const Receiver& receiver) {
  const int64_t quiet_ns = 300 * 1000000LL, limit = NowNs() + 10 * 1000000000LL;
  while (NowNs() - receiver.LastArrivalNs() < quiet_ns && NowNs() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

StepFigures RunStep(Session& s, int rate) {
  const Options& o = s.options;
  const std::vector<uint16_t> relay_port = {static_cast<uint16_t>(s.udp_port)};
  StepFigures f;
  f.rate = rate;
  const uint8_t step = s.next_step++;
  f.tally.delays_ns.reserve(static_cast<size_t>(o.duration * rate + 1) * static_cast<size_t>(o.talkers) *
                            s.clients.size());
  s.receiver.BeginStep(step, &f.tally);
  if (o.server_pid) f.rss_start_kib = ProcessRssKiB(o.server_pid);
  std::unique_ptr<Churn> churn;
  if (o.churn > 0) {
    churn = std::make_unique<Churn>(o.churn, o.port, o.password);
    if (!churn->Error().empty()) std::fprintf(stderr, "pvbench: %s\n", churn->Error().c_str());
  }
  const double cpu_before = s.relay_cpu();
  const double threads_before = s.relay_threads_cpu();
  const double own_before = OwnCpuSeconds();
  const double busy_before = MachineBusySeconds();
  const uint64_t drops_before = UdpDrops(relay_port), client_drops_before = UdpDrops(s.client_ports);
  f.sent = Talk(s.clients, o, s.udp_port, rate, step, s.packet_ids);
  if (churn) {
    churn->Stop();
    f.churn_rate = o.churn;
    f.churn = churn->Figures();
  }
  // Every talker's datagram goes to every other client, in both modes.
  f.expected = f.sent.sent * (s.clients.size() - 1);
  const auto grace_end = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(o.grace * 1000));
  while (s.receiver.Delivered() < f.expected && Clock::now() < grace_end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (cpu_before >= 0) f.server_cpu = s.relay_cpu() - cpu_before;
  if (threads_before >= 0) f.relay_threads_cpu = s.relay_threads_cpu() - threads_before;
  f.generator_cpu = OwnCpuSeconds() - own_before;
  // With --reference the relay is a thread of this process: its time is in the generator's.
  if (o.reference_cpu >= 0) f.generator_cpu -= f.server_cpu;
  f.other_cpu = MachineBusySeconds() - busy_before - f.generator_cpu - (f.server_cpu > 0 ? f.server_cpu : 0.0);
  if (f.other_cpu < 0) f.other_cpu = 0;
  f.server_drops = UdpDrops(relay_port) - drops_before;
  f.client_drops = UdpDrops(s.client_ports) - client_drops_before;
  s.receiver.EndStep();
  f.control_closed = s.control.Closed();
  if (o.server_pid) f.rss_end_kib = ProcessRssKiB(o.server_pid);
  if (s.stalled) {
    f.stalled = s.stalled->Count();
    f.stalled_closed = s.stalled->ClosedByServer();
  }
  return f;
}

int RunRamp(Session& s, Clock::time_point deadline) {
  const Options& o = s.options;
  std::printf("ramp: %d clients, %d talkers, %d-byte payloads, mode %d, %.0f s per step\n", o.clients, o.talkers,
              o.payload, o.mode, o.duration);
  PrintRampHeading();
  double best = 0.0;
  int best_rate = 0, failures_in_a_row = 0;
  for (int rate = o.ramp_from; rate <= o.ramp_to && failures_in_a_row < 2; rate += o.ramp_step) {
    if (Clock::now() + std::chrono::duration<double>(o.duration + o.grace) > deadline) {
      std::printf("(stopped: --timeout reached)\n");
      break;
    }
    Settle(s.receiver);
    StepFigures f = RunStep(s, rate);
    PrintRampStep(f);
    const bool passed = f.LossPercent() < kLossLimitPercent && f.tally.Errors() == 0;
    failures_in_a_row = passed ? 0 : failures_in_a_row + 1;
    if (passed && f.DeliveredPerSecond() > best) best = f.DeliveredPerSecond(), best_rate = rate;
  }
  std::printf("highest rate with under 0.1 %% loss (deadline %d ms) and no wrong datagram: %.0f relayed per second "
              "(%d per talker)\n",
              o.deadline_ms, best, best_rate);
  return 0;
}

// Logs every client in (or, for the reference relay, gives it a session id) and makes its UDP
// endpoint known. An error text, empty on success.
std::string Connect(const Options& o, std::vector<BenchClient>& clients, int udp_port, Clock::time_point deadline) {
  for (size_t i = 0; i < clients.size(); ++i) {
    BenchClient& c = clients[i];
    c.index = static_cast<int>(i);
    const auto wait = std::min(deadline, Clock::now() + kLoginWait);
    std::string error;
    if (o.reference_cpu >= 0) {
      c.session_id = static_cast<uint16_t>(kFirstReferenceSession + i);
      c.player_id = static_cast<int>(i) + 1;
    } else {
      error = Login(c, o.port, o.password, wait);
    }
    if (error.empty()) error = MakeEndpointKnown(c, udp_port, wait);
    if (!error.empty()) return Printf("client %zu: %s", i, error.c_str());
  }
  return {};
}

int Run(const Options& o) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
  std::vector<BenchClient> clients(static_cast<size_t>(o.clients));
  std::unique_ptr<ReferenceRelay> reference;
  int udp_port = o.port + 1;
  std::function<double()> relay_cpu = [&o] { return o.server_pid ? ProcessCpuSeconds(o.server_pid) : -1.0; };
  // The server's UDP listener and send thread: what relaying costs, without the control
  // connections' threads (which the hostile load keeps busy with logins and notifications).
  std::function<double()> relay_threads_cpu = [&o] {
    return o.server_pid ? ThreadsCpuSeconds(o.server_pid, {"TIdUDPListenerT", "UDPSender"}) : -1.0;
  };
  if (o.reference_cpu >= 0) {
    std::vector<uint16_t> ids;
    for (size_t i = 0; i < clients.size(); ++i) ids.push_back(static_cast<uint16_t>(kFirstReferenceSession + i));
    reference = std::make_unique<ReferenceRelay>(ids, o.reference_cpu, o.reference_sendto);
    udp_port = reference->Port();
    relay_cpu = [&reference] { return reference->CpuSeconds(); };
    relay_threads_cpu = [] { return -1.0; };
  }
  std::string error = Connect(o, clients, udp_port, deadline);
  if (!error.empty()) {
    std::fprintf(stderr, "pvbench: %s\n", error.c_str());
    CloseClients(clients);
    return 1;
  }
  int result = 0;
  {
    std::unique_ptr<StalledClients> stalled;
    if (o.stalled > 0) {
      stalled = std::make_unique<StalledClients>(o.stalled, o.port, o.password);
      if (!stalled->Error().empty()) std::fprintf(stderr, "pvbench: %s\n", stalled->Error().c_str());
    }
    ControlReader control(clients);
    Receiver receiver(clients, o.talkers, udp_port, o.rx_interval_us, o.deadline_ms);
    Session s{o, clients, receiver, control, udp_port, relay_cpu, relay_threads_cpu, stalled.get(),
              std::vector<uint32_t>(static_cast<size_t>(o.talkers), 1), {}};
    for (const BenchClient& c : clients) s.client_ports.push_back(LocalPort(c.udp_fd));
    if (o.ramp) {
      result = RunRamp(s, deadline);
    } else {
      StepFigures f = RunStep(s, o.rate);
      if (stalled) {
        stalled->Stop();
        f.stalled_closed = stalled->ClosedByServer();
      }
      PrintRun(f, Printf("pvbench: %s, %d clients, %d talkers, %d per second each, %d-byte payloads, mode %d, %.0f s",
                         o.reference_cpu >= 0 ? "reference relay" : "pvserver", o.clients, o.talkers, o.rate,
                         o.payload, o.mode, o.duration));
      result = f.tally.Errors() == 0 ? 0 : 2;
    }
  }
  reference.reset();
  CloseClients(clients);
  return result;
}

}  // namespace
}  // namespace pv::bench

int main(int argc, char** argv) {
  pv::bench::Options options;
  if (!pv::bench::ParseOptions(argc, argv, options)) return 64;
  return pv::bench::Run(options);
}
