#include "report.h"

#include <algorithm>
#include <cstdio>

namespace pv::bench {

double StepFigures::LossPercent() const {
  if (expected == 0) return 0.0;
  const uint64_t on_time = tally.OnTime();
  const double missing = expected > on_time ? static_cast<double>(expected - on_time) : 0.0;
  return missing / static_cast<double>(expected) * 100.0;
}

double StepFigures::DeliveredPerSecond() const {
  return sent.seconds > 0 ? static_cast<double>(tally.OnTime()) / sent.seconds : 0.0;
}

namespace {

double MicrosPerDatagram(double cpu_seconds, const Tally& tally) {
  if (cpu_seconds < 0 || tally.delivered == 0) return -1.0;
  return cpu_seconds * 1e6 / static_cast<double>(tally.delivered);
}

}  // namespace

double StepFigures::CpuMicrosPerDatagram() const { return MicrosPerDatagram(server_cpu, tally); }

double StepFigures::RelayThreadsMicrosPerDatagram() const { return MicrosPerDatagram(relay_threads_cpu, tally); }


namespace {

// The value at quantile q (0..1), reordering `values`; 0 when there are none.
template <typename T>
double Quantile(std::vector<T>& values, double q) {
  if (values.empty()) return 0.0;
  auto at = static_cast<size_t>(q * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return static_cast<double>(values[at]);
}

}  // namespace

double StepFigures::DelayMicros(double q) { return Quantile(tally.delays_ns, q) / 1000.0; }

double StepFigures::MaxGapMillis() const {
  std::vector<int64_t> gaps = tally.talker_max_gap_ns;
  return Quantile(gaps, 1.0) / 1e6;
}

double StepFigures::MedianGapMillis() const {
  std::vector<int64_t> gaps = tally.talker_max_gap_ns;
  return Quantile(gaps, 0.5) / 1e6;
}

void PrintRun(StepFigures& f, const std::string& title) {
  const Tally& t = f.tally;
  std::printf("%s\n", title.c_str());
  std::printf("  sent        %llu datagrams in %.2f s (%llu send errors)\n",
              static_cast<unsigned long long>(f.sent.sent),
              f.sent.seconds, static_cast<unsigned long long>(f.sent.send_errors));
  std::printf("  expected    %llu relayed\n", static_cast<unsigned long long>(f.expected));
  std::printf("  delivered   %llu relayed (%.0f per second on time), %llu of them past the deadline\n",
              static_cast<unsigned long long>(t.delivered), f.DeliveredPerSecond(),
              static_cast<unsigned long long>(t.overdue));
  std::printf("  loss        %.4f %% (missing or past the deadline)\n", f.LossPercent());
  std::printf("  delay       p50 %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us\n", f.DelayMicros(0.5),
              f.DelayMicros(0.99), f.DelayMicros(0.999), f.DelayMicros(1.0));
  std::printf("  talker gaps longest per talker: max %.1f ms, median %.1f ms\n", f.MaxGapMillis(),
              f.MedianGapMillis());
  std::printf("  errors      %llu (wrong session id %llu, bad checksum %llu, bad header %llu, out of order %llu, "
              "own datagram back %llu); late %llu\n",
              static_cast<unsigned long long>(t.Errors()), static_cast<unsigned long long>(t.wrong_session),
              static_cast<unsigned long long>(t.bad_checksum), static_cast<unsigned long long>(t.bad_header),
              static_cast<unsigned long long>(t.out_of_order), static_cast<unsigned long long>(t.from_self),
              static_cast<unsigned long long>(t.late));
  if (f.server_cpu >= 0) {
    std::printf("  server cpu  %.2f s, %.2f us per relayed datagram (%.0f %% of one core)\n", f.server_cpu,
                f.CpuMicrosPerDatagram(), f.server_cpu / f.sent.seconds * 100.0);
    if (f.relay_threads_cpu >= 0) {
      std::printf("              of it relaying threads %.2f s, %.2f us per relayed datagram; other threads %.2f s\n",
                  f.relay_threads_cpu, f.RelayThreadsMicrosPerDatagram(), f.server_cpu - f.relay_threads_cpu);
    }
  } else {
    std::printf("  server cpu  not measured (give --pid)\n");
  }
  if (f.rss_start_kib >= 0 && f.rss_end_kib >= 0) {
    std::printf("  server rss  %.1f MiB at start, %.1f MiB at end\n", static_cast<double>(f.rss_start_kib) / 1024.0,
                static_cast<double>(f.rss_end_kib) / 1024.0);
  }
  if (f.stalled > 0) std::printf("  stalled     %d clients, %d of them closed by the server\n", f.stalled, f.stalled_closed);
  if (f.churn_rate > 0) {
    std::printf("  churn       %d per second: %llu logins (login to server information p50 %.1f ms, max %.1f ms), "
                "%llu failed; %llu room changes\n",
                f.churn_rate, static_cast<unsigned long long>(f.churn.logins), Quantile(f.churn.login_us, 0.5) / 1000.0,
                Quantile(f.churn.login_us, 1.0) / 1000.0, static_cast<unsigned long long>(f.churn.login_failures),
                static_cast<unsigned long long>(f.churn.room_changes));
  }
  std::printf("  drops       server socket %llu, client sockets %llu\n",
              static_cast<unsigned long long>(f.server_drops), static_cast<unsigned long long>(f.client_drops));
  std::printf("  generator   %.2f s cpu (%.0f %% of one core); control connections closed: %d\n", f.generator_cpu,
              f.generator_cpu / f.sent.seconds * 100.0, f.control_closed);
  std::printf("  others      %.2f s cpu used by other processes meanwhile (%.0f %% of one core)\n", f.other_cpu,
              f.other_cpu / f.sent.seconds * 100.0);
}

void PrintRampHeading() {
  std::printf("%6s %10s %10s %9s %9s %9s %8s %8s %7s %7s %7s\n", "rate", "expected", "per sec", "loss %", "p50 us",
              "p99 us", "us/dgram", "srv cpu", "errors", "drops", "others");
}

void PrintRampStep(StepFigures& f) {
  std::printf("%6d %10llu %10.0f %9.4f %9.0f %9.0f %8.2f %7.0f%% %7llu %7llu %6.0f%%\n", f.rate,
              static_cast<unsigned long long>(f.expected), f.DeliveredPerSecond(), f.LossPercent(), f.DelayMicros(0.5),
              f.DelayMicros(0.99), f.CpuMicrosPerDatagram(),
              f.server_cpu >= 0 ? f.server_cpu / f.sent.seconds * 100.0 : -1.0,
              static_cast<unsigned long long>(f.tally.Errors()),
              static_cast<unsigned long long>(f.server_drops + f.client_drops), f.other_cpu / f.sent.seconds * 100.0);
  std::fflush(stdout);
}

}  // namespace pv::bench
