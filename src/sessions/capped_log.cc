#include "sessions/datagram_log.h"

#include "base/printf.h"
#include "base/event_log.h"

namespace pv {

namespace {

// What a summary calls each kind: the fixed start of its lines.
const char* KindText(int kind) {
  switch (static_cast<DatagramLine>(kind)) {
    case DatagramLine::kLeavingClient: return "ALERT UDP: Incoming traffic from leaving client :";
    case DatagramLine::kDestroyedSender: return "Tried to send a udp packet from a destroyed client";
    case DatagramLine::kLeavingSender: return "Tried to send a udp packet from a leaving client";
    case DatagramLine::kListSendFailure:
    case DatagramLine::kDrainFailure: return "in: TUDPSender.ProcessUDPList exception ";
  }
  return "";
}

void WriteLeftOut(uint32_t session, int kind, uint64_t count) {
  WriteLog(Printf("Left out %llu log lines \"%s\" for session %u", static_cast<unsigned long long>(count),
                  KindText(kind), session),
           1);
}

}  // namespace

void WriteDatagramLog(TParleyvoxServer& server, uint32_t session, DatagramLine kind, const std::string& line,
                      int level) {
  const LogRateCap::Verdict verdict = server.DatagramLogCap.Admit(session, static_cast<int>(kind));
  if (verdict.left_out > 0) WriteLeftOut(session, static_cast<int>(kind), verdict.left_out);
  if (verdict.write) WriteLog(line, level);
}

void FlushDatagramLog(TParleyvoxServer& server) {
  for (const LogRateCap::Report& report : server.DatagramLogCap.Sweep())
    WriteLeftOut(report.key.first, report.key.second, report.left_out);
}

}  // namespace pv
