// The figures of one pvbench run or ramp step, and how they are printed.
#pragma once

#include <cstdint>
#include <string>

#include "hostile.h"
#include "traffic.h"

namespace pv::bench {

struct StepFigures {
  int rate = 0;                 // per talker
  SendResult sent;
  uint64_t expected = 0;        // datagrams the server should have delivered
  Tally tally;
  double server_cpu = -1.0;     // seconds; negative when not measured
  double relay_threads_cpu = -1.0;  // the server's UDP listener and send thread alone
  double generator_cpu = 0.0;
  double other_cpu = 0.0;       // seconds other processes ran meanwhile: noise in the figures
  uint64_t server_drops = 0;    // the server socket's receive-buffer drops
  uint64_t client_drops = 0;
  int control_closed = 0;
  long rss_start_kib = -1;      // the server's resident set before and after; negative: unknown
  long rss_end_kib = -1;
  int stalled = 0;              // stalled clients, and how many of them the server closed
  int stalled_closed = 0;
  int churn_rate = 0;
  ChurnFigures churn;

  double LossPercent() const;
  // Datagrams delivered within the deadline per second of talking.
  double DeliveredPerSecond() const;
  // Server CPU microseconds per delivered datagram; negative when not measured.
  double CpuMicrosPerDatagram() const;
  // The same for the relaying threads' CPU alone; negative when not measured.
  double RelayThreadsMicrosPerDatagram() const;
  // The delay in microseconds at quantile q (0..1) of the delivered datagrams.
  double DelayMicros(double q);
  // The talkers' longest gaps in milliseconds: the largest, and the median over talkers.
  double MaxGapMillis() const;
  double MedianGapMillis() const;
};

// The full report of a single run.
void PrintRun(StepFigures& f, const std::string& title);
// One line per ramp step, after a heading printed by PrintRampHeading.
void PrintRampHeading();
void PrintRampStep(StepFigures& f);

}  // namespace pv::bench
