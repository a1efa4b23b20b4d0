// What pvbench reads from /proc: the server's CPU time and the kernel's receive-buffer drops
// of UDP sockets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pv::bench {

// User plus system CPU seconds of a process (from /proc/PID/stat); negative when unreadable.
double ProcessCpuSeconds(pid_t pid);
// The same summed over the process's threads whose name is one of `names` (from
// /proc/PID/task/TID/stat); a thread that ended meanwhile is not counted. Negative when unreadable.
double ThreadsCpuSeconds(pid_t pid, const std::vector<std::string>& names);
// The resident set size of a process in KiB (VmRSS in /proc/PID/status); negative when unreadable.
long ProcessRssKiB(pid_t pid);
// This process's own CPU seconds.
double OwnCpuSeconds();
// CPU seconds every core of the machine spent busy (not idle, not waiting for I/O), from
// /proc/stat: with the server's and pvbench's own time taken off, what other processes used.
double MachineBusySeconds();
// The sum of the "drops" column of /proc/net/udp over the IPv4 sockets bound to these local
// ports: datagrams the kernel threw away because a receive buffer was full.
uint64_t UdpDrops(const std::vector<uint16_t>& ports);
// The local port of a bound socket.
uint16_t LocalPort(int fd);

}  // namespace pv::bench
