// The UDP path: datagrams from fuzzer-chosen sources (the clients' own sockets and strangers
// that forge a session id, all on 127.0.0.1) through UDPRead's checks, the relay decision of a
// drain (ProcessUDPList) and the building of every copy, which the clients' sockets receive.
//
// The input: one byte setting the sessions up (which are leaving, which room each is in), then
// datagrams, each a byte (low bits: which socket sends it; bit 3: the send thread drains after
// it) followed by a u16 count and the datagram's bytes. A last drain follows.
//
// Invariants: every copy a socket receives is a relay datagram whose checksum is the CRC-32 of
// exactly its bytes (computed here with zlib, not the server's code) and whose session id is
// that of a session, not leaving, whose endpoint is that socket; every ping answer is a 12-byte
// ping datagram of kind 2 to a session whose endpoint is that socket.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
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

namespace pv::fuzz {
namespace {

// Four clients and two strangers.
constexpr size_t kSockets = 6;
struct SessionSpec {
  uint16_t session_id;
  uint8_t player_index;
};
// Session ids the fuzzer meets in the dictionary; player indexes leave gaps, and one PlayerId
// (255) is the last one a target list can name.
constexpr std::array<SessionSpec, 4> kSessions = {{{0x1111, 0}, {0x2222, 1}, {0x0303, 5}, {50000, 254}}};

sockaddr_in Loopback(uint16_t port) { return MakeSockAddr(in_addr{htonl(INADDR_LOOPBACK)}, port); }

// The sockets and the server's binding live for the whole run; each input gets a new server.
struct Sockets {
  Sockets() : binding("127.0.0.1", 0) {
    binding.Open();
    for (size_t i = 0; i < kSockets; ++i) {
      fds[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in any = Loopback(0);
      int big = 8 << 20;
      if (setsockopt(fds[i], SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
        setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
      if (fds[i] < 0 || bind(fds[i], reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) Fail("no UDP socket");
      sockaddr_in bound{};
      socklen_t length = sizeof bound;
      getsockname(fds[i], reinterpret_cast<sockaddr*>(&bound), &length);
      ports[i] = ntohs(bound.sin_port);
    }
  }
  TIdSocketHandle binding;
  std::array<int, kSockets> fds{};
  std::array<uint16_t, kSockets> ports{};
};

Sockets& Shared() {
  static Sockets sockets;
  return sockets;
}

class UdpHarness {
 public:
  explicit UdpHarness(uint8_t setup) : sockets_(Shared()) {
    for (size_t i = 0; i < kSessions.size(); ++i) {
      peers_.push_back(std::make_shared<TIdPeerThread>(nullptr, std::make_shared<TIdTCPConnection>(-1)));
      auto session = std::make_shared<TServerClient>(server_, peers_.back());
      session->SessionId = kSessions[i].session_id;
      session->PlayerIndex = kSessions[i].player_index;
      session->RoomIndex = (setup >> (4 + i)) & 1;
      session->Leaving = ((setup >> i) & 1) != 0 && i != 0;
      server_.ClientList.Lock()->push_back(session);
    }
  }
  ~UdpHarness() {
    auto sessions = server_.ClientList.Lock();
    for (const SessionPtr& s : *sessions) s->Destroy();
    sessions->clear();
  }

  void Deliver(size_t from, std::string_view bytes) {
    // A buffer of exactly the datagram's size, so a read past its end shows.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    // No send thread: every relay datagram is queued for the drain.
    UDPRead(server_, nullptr, TIdReceivedDatagram{exact.data(), exact.size(), Loopback(sockets_.ports[from]), false},
            sockets_.binding);
    CheckReceived();  // ping answers leave at once
  }

  void Drain() {
    ProcessUDPList(server_, &sockets_.binding);
    CheckReceived();
  }

 private:
  // The sessions whose endpoint is socket `i` now.
  std::vector<SessionPtr> At(size_t i) {
    std::vector<SessionPtr> found;
    auto sessions = server_.ClientList.Lock();
    for (const SessionPtr& s : *sessions)
      if (s->UdpPort() == sockets_.ports[i] && s->UdpIP() == "127.0.0.1") found.push_back(s);
    return found;
  }

  void CheckReceived() {
    uint8_t buffer[kMaxDatagramSize + 1];
    for (size_t i = 0; i < kSockets; ++i) {
      for (;;) {
        ssize_t got = recv(sockets_.fds[i], buffer, sizeof buffer, 0);
        if (got < 0) break;
        CheckDatagram(i, buffer, static_cast<size_t>(got));
      }
    }
  }

  void CheckDatagram(size_t socket_index, uint8_t* d, size_t size) {
    Check(size >= kHeaderSize, "a datagram from the server shorter than its header");
    const uint16_t id = LoadU16(d + kOffSessionId);
    const SessionPtr* recipient = nullptr;
    std::vector<SessionPtr> here = At(socket_index);
    for (const SessionPtr& s : here)
      if (s->SessionId == id) recipient = &s;
    Check(recipient != nullptr, "a datagram went to a socket that is not the endpoint of the session it names");
    if (LoadU16(d + kOffMagic) == kPingMagic) {
      Check(size == kPingDatagramSize && d[kOffPingKind] == kPingKindAnswer, "a malformed ping answer");
      return;
    }
    Check(LoadU16(d + kOffMagic) == kRelayMagic && size >= kRelayHeaderSize, "a malformed relay copy");
    Check(!(*recipient)->Leaving, "a relay copy went to a leaving session");
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
  UdpHarness harness(in.U8());
  ForEachStep(in, [&](uint8_t step) {
    size_t length = in.U16() % (pv::kMaxDatagramSize + 1);
    harness.Deliver((step & 7) % kSockets, in.Bytes(length));
    if (step & 8) harness.Drain();
  });
  harness.Drain();
  return 0;
}
