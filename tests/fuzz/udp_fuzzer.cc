// The UDP path: datagrams from fuzzer-chosen sources through UDPRead's checks (the server's own
// endpoint, the session id, the address of the session's control connection, leaving sessions),
// the relay decision of a drain (ProcessUDPList) and the building of every copy, which the
// clients' sockets receive. The four sessions' control connections come from 127.0.0.1 (two of
// them, as from behind one router), 127.0.0.2 and 127.0.0.3; the sources are each session's own
// socket, a stranger on another address, a stranger on the second session's address with another port,
// the server's own endpoint forged, and a forged address where nobody listens.
//
// The input: one byte setting the sessions up (bit 0 turns the address check off, bits 1 to 3
// make sessions 1 to 3 leaving, bits 4 to 7 put each session in room 0 or 1), then datagrams,
// each a byte (low three bits: the source; bit 3: the send thread drains after it) followed by a
// u16 count and the datagram's bytes. A last drain follows.
//
// Invariants: every copy a socket receives is a relay datagram whose checksum is the CRC-32 of
// exactly its bytes (computed here with zlib, not the server's code) and whose session id is
// that of a session, not leaving, whose endpoint is that socket; every ping answer is a 12-byte
// ping datagram of kind 2 to a session whose endpoint is that socket; with the address check on,
// a session's endpoint is always on its control connection's address; nothing ever reaches the
// server's own socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <array>
#include <memory>
#include <vector>

#include "base/wire.h"
#include "core/server.h"
#include "fuzz_support.h"
#include "net/socket_address.h"
#include "net/socket_handle.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "net/udp_server.h"
#include "sessions/datagrams.h"
#include "sessions/server_client.h"
#include "sessions/udp_read.h"
#include "sessions/udp_sender.h"
#include "support/loopback_sockets.h"

namespace pv::fuzz {
namespace {

// The sources a step can pick; the first kSockets are real sockets.
constexpr size_t kSources = 8;
constexpr size_t kSockets = 6;
constexpr size_t kOwnEndpoint = 6;
constexpr std::array<const char*, kSockets> kSocketAddresses = {"127.0.0.1", "127.0.0.2", "127.0.0.3",
                                                                "127.0.0.1", "127.0.0.9", "127.0.0.2"};
constexpr const char* kNobody = "127.0.0.4";
constexpr uint16_t kNobodyPort = 9;  // discard: nothing listens there

struct SessionSpec {
  uint16_t session_id;
  uint8_t player_index;
  const char* tcp_address;
};
// Session ids the fuzzer meets in the dictionary; player indexes leave gaps, and one PlayerId
// (255) is the last one a target list can name.
constexpr std::array<SessionSpec, 4> kSessions = {
    {{0x1111, 0, "127.0.0.1"}, {0x2222, 1, "127.0.0.2"}, {0x0303, 5, "127.0.0.3"}, {50000, 254, "127.0.0.1"}}};

sockaddr_in At(const char* ip, uint16_t port) {
  in_addr address{};
  inet_pton(AF_INET, ip, &address);
  return MakeSockAddr(address, port);
}

// The sockets and the server's binding live for the whole run; each input gets a new server.
struct Sockets {
  Sockets() : binding("127.0.0.1", 0) {
    binding.Open();
    for (size_t i = 0; i < kSockets; ++i) {
      fds[i] = test::OpenUdp(kSocketAddresses[i]);
      ports[i] = test::LocalPortOf(fds[i].Get());
      if (ports[i] == 0) Fail("no UDP socket");
      SetSocketBuffer(fds[i].Get(), SO_RCVBUF, 8 << 20);
    }
  }
  sockaddr_in Source(size_t i) const {
    if (i < kSockets) return At(kSocketAddresses[i], ports[i]);
    if (i == kOwnEndpoint) return At("127.0.0.1", binding.Port());
    return At(kNobody, kNobodyPort);
  }
  TIdSocketHandle binding;
  std::array<test::Fd, kSockets> fds;
  std::array<uint16_t, kSockets> ports{};
};

class UdpHarness {
 public:
  UdpHarness(Sockets& sockets, uint8_t setup) : sockets_(sockets) {
    server_.Config.UDPPort = sockets_.binding.Port();
    server_.Config.UdpFollowsTcpAddress = (setup & 1) == 0;
    for (size_t i = 0; i < kSessions.size(); ++i) {
      auto connection = std::make_shared<TIdTCPConnection>(-1, kSessions[i].tcp_address);
      peers_.push_back(std::make_shared<TIdPeerThread>(nullptr, connection));
      auto session = std::make_shared<TServerClient>(server_, peers_.back());
      session->SessionId = kSessions[i].session_id;
      session->PlayerIndex = kSessions[i].player_index;
      session->RoomIndex = (setup >> (4 + i)) & 1;
      session->Leaving = ((setup >> i) & 1) != 0 && i != 0;
      Locked(server_.ClientList)->push_back(session);
    }
  }
  ~UdpHarness() { ClearSessions(server_); }

  void Deliver(size_t from, std::string_view bytes) {
    // A buffer of exactly the datagram's size, so a read past its end shows.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    // No send thread: every relay datagram is queued for the drain.
    UDPRead(server_, nullptr, TIdReceivedDatagram{exact.data(), exact.size(), sockets_.Source(from), false},
            sockets_.binding);
    CheckEndpoints();
    CheckReceived();  // ping answers leave at once
  }

  void Drain() {
    ProcessUDPList(server_, &sockets_.binding);
    CheckReceived();
  }

 private:
  // The session `id` if its endpoint is socket `i` now, else null.
  SessionPtr AtSocket(size_t i, uint16_t id) {
    Locked sessions(server_.ClientList);
    for (const SessionPtr& s : *sessions)
      if (s->SessionId == id && s->UdpPort() == sockets_.ports[i] && s->UdpIP() == kSocketAddresses[i]) return s;
    return nullptr;
  }

  // An endpoint is learnt only from a datagram the session's address may send.
  void CheckEndpoints() {
    Locked sessions(server_.ClientList);
    for (const SessionPtr& s : *sessions) {
      if (s->UdpPort() == 0) continue;
      sockaddr_in endpoint = s->UdpSockAddr();
      Check(!(endpoint.sin_port == htons(sockets_.binding.Port()) && s->UdpIP() == "127.0.0.1"),
            "a session's endpoint is the server's own");
      if (server_.Config.UdpFollowsTcpAddress)
        Check(endpoint.sin_addr.s_addr == s->TcpAddress(), "a session's endpoint left its control connection's address");
    }
  }

  void CheckReceived() {
    uint8_t buffer[kMaxDatagramSize + 1];
    Check(recv(sockets_.binding.Handle(), buffer, sizeof buffer, MSG_DONTWAIT) < 0,
          "the server sent a datagram to its own socket");
    for (size_t i = 0; i < kSockets; ++i) {
      for (;;) {
        ssize_t got = recv(sockets_.fds[i].Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) break;
        CheckDatagram(i, buffer, static_cast<size_t>(got));
      }
    }
  }

  void CheckDatagram(size_t socket_index, uint8_t* d, size_t size) {
    Check(size >= kHeaderSize, "a datagram from the server shorter than its header");
    const SessionPtr recipient = AtSocket(socket_index, LoadU16(d + kOffSessionId));
    Check(recipient != nullptr, "a datagram went to a socket that is not the endpoint of the session it names");
    if (LoadU16(d + kOffMagic) == kPingMagic) {
      Check(size == kPingDatagramSize && d[kOffPingKind] == kPingKindAnswer, "a malformed ping answer");
      return;
    }
    Check(LoadU16(d + kOffMagic) == kRelayMagic && size >= kRelayHeaderSize, "a malformed relay copy");
    Check(!recipient->Leaving, "a relay copy went to a leaving session");
    const uint32_t stamped = LoadU32(d + kOffRelayChecksum);
    StoreU32(d + kOffRelayChecksum, 0);
    const auto sum = static_cast<uint32_t>(crc32(0L, d, static_cast<uInt>(size)));
    Check(sum == stamped, "a relay copy whose checksum does not match its bytes");
  }

  Sockets& sockets_;
  TParleyvoxServer server_;
  std::vector<std::shared_ptr<TIdPeerThread>> peers_;
};

}  // namespace
}  // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pv::fuzz;
  WorkDir();
  ByteReader in(data, size);
  static Sockets sockets;
  UdpHarness harness(sockets, in.U8());
  while (!in.Empty()) {
    const uint8_t step = in.U8();
    size_t length = in.U16() % (pv::kMaxDatagramSize + 1);
    harness.Deliver(step & (kSources - 1), in.Bytes(length));
    if (step & 8) harness.Drain();
  }
  harness.Drain();
  return 0;
}
