// pvbench's clients as the server sees them: a TCP control connection that logs in and then
// reads every notification, and a UDP socket whose endpoint the server learns from a ping.
//
// Thread rules: Login and MakeEndpointKnown run on the main thread before any traffic; after
// that a ControlReader thread owns the TCP sockets and the traffic threads own the UDP ones.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace pv::bench {

using Clock = std::chrono::steady_clock;

struct BenchClient {
  int index = 0;
  int tcp_fd = -1;
  int udp_fd = -1;
  uint16_t session_id = 0;
  int player_id = 0;
};

// Sends one whole control packet (blocking); false when the connection failed.
bool SendPacket(int fd, const std::vector<uint8_t>& packet);
// Reads and drops whatever has arrived, without waiting; false once the server has closed.
bool DrainInput(int fd);

// Closes the sockets of every client.
void CloseClients(std::vector<BenchClient>& clients);

// Connects to 127.0.0.1:port, sends ClientLogin and ClientReady, and learns the session id and
// the PlayerId from the answers. Returns an error text, empty on success.
std::string Login(BenchClient& client, int port, const std::string& password, Clock::time_point deadline);

// Opens the client's UDP socket on 127.0.0.1 and pings the server's UDP port until the answer
// comes: from then on the server knows where to send this client's datagrams. Error text or empty.
std::string MakeEndpointKnown(BenchClient& client, int udp_port, Clock::time_point deadline);

// Reads and counts everything the server sends on the control connections, so the server's
// writes never stall on a full socket.
class ControlReader {
 public:
  explicit ControlReader(const std::vector<BenchClient>& clients);
  ~ControlReader();
  uint64_t Bytes() const { return bytes_.load(); }
  // Connections the server closed (none should be while the benchmark runs).
  int Closed() const { return closed_.load(); }

 private:
  void Run(std::vector<int> fds);

  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<int> closed_{0};
  std::thread thread_;
};

}  // namespace pv::bench
