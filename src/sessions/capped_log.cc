#include "sessions/capped_log.h"

#include "base/printf.h"
#include "base/event_log.h"

namespace pv {

namespace {

// What a summary calls each kind: the fixed start of its lines.
const char* KindText(int kind) {
  switch (static_cast<CappedLogLine>(kind)) {
    case CappedLogLine::kLeavingClient: return "ALERT UDP: Incoming traffic from leaving client :";
    case CappedLogLine::kDestroyedSender: return "Tried to send a udp packet from a destroyed client";
    case CappedLogLine::kLeavingSender: return "Tried to send a udp packet from a leaving client";
    case CappedLogLine::kListSendFailure:
    case CappedLogLine::kDrainFailure: return "in: TUDPSender.ProcessUDPList exception ";
    case CappedLogLine::kPassFailure: return "in: TCPServerExecute excption ";
  }
  return "";
}

void WriteLeftOut(uint32_t session, int kind, uint64_t count) {
  WriteLog(Printf("Left out %llu log lines \"%s\" for session %u", static_cast<unsigned long long>(count),
                  KindText(kind), session),
           1);
}

}  // namespace

void WriteCappedLog(TParleyvoxServer& server, uint32_t session, CappedLogLine kind, const std::string& line,
                      int level) {
  const LogRateCap::Verdict verdict = server.ClientLogCap.Admit(session, static_cast<int>(kind));
  if (verdict.left_out > 0) WriteLeftOut(session, static_cast<int>(kind), verdict.left_out);
  if (verdict.write) WriteLog(line, level);
}

void FlushCappedLog(TParleyvoxServer& server) {
  for (const LogRateCap::Report& report : server.ClientLogCap.Sweep())
    WriteLeftOut(report.key.first, report.key.second, report.left_out);
}

}  // namespace pv
