#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace pv::bench {

namespace {

const char kUsage[] =
    "usage: pvbench --port TCP_PORT [options]\n"
    "       pvbench --reference CPU [options]\n"
    "  --pid PID         the server's process id: its CPU time is read from /proc/PID/stat\n"
    "  --clients N       clients that log in (default 16, at most 255)\n"
    "  --talkers T       how many of them talk (default 16)\n"
    "  --rate R          datagrams per second per talker (default 50)\n"
    "  --payload S       payload bytes after the 16-byte header (default 100, at least 15)\n"
    "  --duration SEC    seconds of talking, per ramp step too (default 10)\n"
    "  --mode M          0: to the room (default); 1: to a list naming every other client\n"
    "  --password TEXT   the server password, when one is set\n"
    "  --ramp            raise the rate step by step and report the highest with under 0.1 % loss\n"
    "  --ramp-from R --ramp-step R --ramp-to R   rates per talker for --ramp (10, 10, 200)\n"
    "  --rx-interval US  sweep the sockets every US microseconds instead of blocking until\n"
    "                    datagrams arrive (default 0: block)\n"
    "  --reference CPU   no server: relay with pvbench's own minimal relay, pinned to CPU, to see\n"
    "                    what the kernel and the machine cost by themselves (mode 0 only)\n"
    "  --reference-sendto  the minimal relay sends one copy per system call\n"
    "  --stalled N       N more clients log in with a 2 KB receive buffer, ask for the server\n"
    "                    information every 20 ms and never read (default 0)\n"
    "  --churn R         R times a second during the run: a fresh client logs in, the one before\n"
    "                    leaves, and a resident client changes rooms (default 0)\n"
    "  --deadline MS     a datagram delivered later than MS after sending counts as lost (200)\n"
    "  --grace SEC       wait for late datagrams after each run (default 1)\n"
    "  --timeout SEC     bound on the whole run (default 900)\n"
    "Everything goes to 127.0.0.1; the server's UDP port is TCP_PORT + 1.\n";

bool Fail(const char* what) {
  std::fprintf(stderr, "pvbench: %s\n%s", what, kUsage);
  return false;
}

bool ToInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool ToSeconds(const char* text, double& out) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0.0) || value > 86400.0) return false;
  out = value;
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view name = argv[i];
    if (name == "--ramp" || name == "--reference-sendto") {
      (name == "--ramp" ? o.ramp : o.reference_sendto) = true;
      continue;
    }
    if (name == "--help" || name == "-h") return Fail("options");
    if (i + 1 >= argc) return Fail("an option lacks its value");
    const char* value = argv[++i];
    int pid = 0;
    bool ok = true;
    if (name == "--port") ok = ToInt(value, 1, 65534, o.port);
    else if (name == "--pid") ok = ToInt(value, 1, 1 << 30, pid), o.server_pid = pid;
    else if (name == "--clients") ok = ToInt(value, 2, 255, o.clients);
    else if (name == "--talkers") ok = ToInt(value, 1, 255, o.talkers);
    else if (name == "--rate") ok = ToInt(value, 1, 100000, o.rate);
    else if (name == "--payload") ok = ToInt(value, kMinPayload, 8192 - 16 - 256, o.payload);
    else if (name == "--duration") ok = ToSeconds(value, o.duration);
    else if (name == "--mode") ok = ToInt(value, 0, 1, o.mode);
    else if (name == "--password") o.password = value;
    else if (name == "--ramp-from") ok = ToInt(value, 1, 100000, o.ramp_from);
    else if (name == "--ramp-step") ok = ToInt(value, 1, 100000, o.ramp_step);
    else if (name == "--ramp-to") ok = ToInt(value, 1, 100000, o.ramp_to);
    else if (name == "--rx-interval") ok = ToInt(value, 0, 100000, o.rx_interval_us);
    else if (name == "--reference") ok = ToInt(value, 0, 1023, o.reference_cpu);
    else if (name == "--stalled") ok = ToInt(value, 0, 64, o.stalled);
    else if (name == "--churn") ok = ToInt(value, 0, 1000, o.churn);
    else if (name == "--deadline") ok = ToInt(value, 1, 100000, o.deadline_ms);
    else if (name == "--grace") ok = ToSeconds(value, o.grace);
    else if (name == "--timeout") ok = ToSeconds(value, o.timeout);
    else return Fail("unknown option");
    if (!ok) return Fail("a value is out of range");
  }
  if (o.port == 0 && o.reference_cpu < 0) return Fail("--port or --reference is required");
  if (o.reference_cpu >= 0 && o.mode != 0) return Fail("the reference relay knows mode 0 only");
  if (o.reference_cpu >= 0 && (o.stalled > 0 || o.churn > 0))
    return Fail("the reference relay has no control connections: no --stalled or --churn");
  if (o.talkers > o.clients) return Fail("more talkers than clients");
  return true;
}

}  // namespace pv::bench
