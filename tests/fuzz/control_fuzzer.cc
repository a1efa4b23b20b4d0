// The control stream as clients send it: up to four connections to a real in-process server
// object, each connection's bytes arriving in pieces the fuzzer cuts, read by the server's own
// pass (TCPServerExecute) exactly as a connection thread runs it: the wait for a whole packet,
// dispatch and every handler (login, ready, rooms, leave, the administrator commands with and
// without rights, statistics), the out-queue and its sending, kicks, and the end of a connection
// (EndConnection). Clients may also close their end, or stop reading so that what the server
// sends them stays in their out-queue.
//
// The harness is the connection threads: it runs a connection's pass only when the pass cannot
// wait (see PassIsDue), so an input never sleeps through the server's waits for the rest of a
// packet, for a login or for a client's socket; a pass that waits all the same is a finding
// (RunPass says which one wait is allowed). The connections come from 127.0.0.1 and 127.0.0.2
// (two each), so the login throttles per address see both a shared and another address.
//
// The input is a list of steps. Each step's first byte picks the connection (low two bits) and
// what happens (the next two bits): 0 sends the next byte's count of bytes, 1 sends the next
// u16's count, 2 closes the client's end, 3 makes the client stop (or start again) reading. At
// the end every client closes, and the passes run until every connection thread has ended.
//
// After every step the server must hold: ClientList within MaxClients, player indexes and
// session ids used once, every session on a connection whose thread still runs; RoomList within
// 255 rooms, each RoomId used once; every byte a client received is a whole control packet with
// the right magic and length. After the end no session is left.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "base/wire.h"
#include "core/server.h"
#include "fuzz_support.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "protocol/dispatch.h"
#include "protocol/packet_wait.h"
#include "protocol/rooms.h"
#include "sessions/server_client.h"

namespace pv::fuzz {
namespace {

constexpr int kConnections = 4;
// Below the connection count, so a full server is reachable.
constexpr int kMaxClients = 3;
// Every pass that runs takes a packet or ends something; a step can never need more than this.
constexpr int kMaxPasses = 1 << 17;
// A reading client's end holds everything the server can queue for it (the out-queue's bound).
constexpr int kReadingBuffer = 1 << 20;
// A client that stopped reading fills this within a few packets; the rest stays queued.
constexpr int kStalledBuffer = 4096;
// No pass the harness runs has anything to wait for; one that takes this long waited.
constexpr std::chrono::milliseconds kPassTooLong{1000};
// How long a client that stopped reading lets a pass run before it gives up and closes.
constexpr std::chrono::milliseconds kPatience{100};

struct Client {
  int far = -1;                           // the client's end; -1 once it closed
  std::shared_ptr<TIdPeerThread> thread;  // null before the first byte and after the thread ended
  bool started = false;
  bool reading = true;
  std::string received;  // bytes of a packet not yet complete
};

class ControlHarness {
 public:
  ControlHarness() {
    server_.Names.ProgramDir = WorkDir();
    server_.Config.MaxClients = kMaxClients;
    // No pass here may wait: nothing is held to a pace.
    for (auto* pace : {&server_.PacketPace, &server_.RoomChangePace, &server_.ServerInfoPace}) pace->burst = 1 << 20;
    server_.SetServerPassword(server_.Config.ServerPassword);
    server_.SetAdminPassword(server_.Config.AdminPassword);
    CreateRoom(server_, "Default");
    CreateRoom(server_, "Lobby");
  }

  ~ControlHarness() {
    for (Client& c : clients_) {
      if (c.far >= 0) close(c.far);
      if (c.thread) c.thread->ClearAppData();
    }
    ClearSessions(server_);
  }

  void Send(int index, std::string_view bytes) {
    Client& c = Start(index);
    if (c.far < 0) return;
    // Large pieces go in parts small enough for the socket; the server reads between them.
    while (!bytes.empty() && c.thread) {
      ssize_t sent = send(c.far, bytes.data(), std::min<size_t>(bytes.size(), 65536), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent <= 0) break;
      bytes.remove_prefix(static_cast<size_t>(sent));
      RunAll();
    }
  }

  void CloseClient(int index) {
    Client& c = Start(index);
    if (c.far < 0) return;
    Drain(c);
    close(c.far);
    c.far = -1;
    RunAll();
  }

  void ToggleReading(int index) {
    Client& c = Start(index);
    if (!c.thread) return;
    c.reading = !c.reading;
    SetSocketBuffer(c.thread->Connection().Handle(), SO_SNDBUF, c.reading ? kReadingBuffer : kStalledBuffer);
    RunAll();
  }

  // Every client closes; each connection thread runs until it ends.
  void Finish() {
    for (int i = 0; i < kConnections; ++i)
      if (clients_[i].started) CloseClient(i);
    for (const Client& c : clients_) Check(!c.thread, "a connection thread still runs after its client closed");
    Check(Locked(server_.ClientList)->empty(), "a session outlived its connection");
  }

  void CheckInvariants() {
    {
      Locked sessions(server_.ClientList);
      Check(sessions->size() <= static_cast<size_t>(kMaxClients), "ClientList holds more than MaxClients");
      std::set<int> indexes, ids;
      for (const SessionPtr& s : *sessions) {
        Check(indexes.insert(s->PlayerIndex).second, "two sessions share a PlayerIndex");
        Check(ids.insert(s->SessionId).second, "two sessions share a SessionId");
        Check(s->SessionId >= 1 && s->SessionId <= 50000, "a SessionId outside 1..50000");
        bool live = std::any_of(std::begin(clients_), std::end(clients_),
                                [&](const Client& c) { return c.thread && s->BelongsTo(c.thread.get()); });
        Check(live, "a session in ClientList whose connection thread has ended");
      }
    }
    Locked rooms(server_.RoomList);
    Check(rooms->size() <= static_cast<size_t>(kMaxRooms), "RoomList holds more than 255 rooms");
    std::set<int> room_ids;
    for (const RoomRecord& r : *rooms) Check(room_ids.insert(r.RoomId()).second, "two rooms share a RoomId");
  }

 private:
  // The connection is accepted the first time a step names it.
  Client& Start(int index) {
    Client& c = clients_[index];
    if (c.started) return c;
    c.started = true;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) Fail("socketpair failed");
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    c.far = pair[1];
    SetSocketBuffer(pair[0], SO_SNDBUF, kReadingBuffer);
    const std::string address = index < 2 ? "127.0.0.1" : "127.0.0.2";
    auto connection = std::make_shared<TIdTCPConnection>(pair[0], address);
    // The harness has moved every byte in before the pass runs: the pass of a packet of
    // untrusted length need not wait for more.
    connection->SetPollWait(0);
    c.thread = std::make_shared<TIdPeerThread>(nullptr, connection);
    return c;
  }

  // Whether the connection thread's next pass returns without waiting: what WaitForPacket
  // returns at once for. Takes in what the client has sent, as the pass's wait would.
  bool PassIsDue(Client& c) {
    TIdTCPConnection& connection = c.thread->Connection();
    try {
      if (connection.IsOpen()) connection.WaitReady(false, std::chrono::milliseconds(0));
    } catch (const std::exception&) {
      return true;  // a reset: the pass's own wait meets it too and ends the connection
    }
    if (!connection.IsOpen()) return true;
    SessionPtr session = c.thread->AppDataAs<TServerClient>();
    if (session && session->QueueOverflowed) return true;
    // A leaving session goes once what was queued for it is out, which needs a reading client.
    if (session && session->Leaving) return c.reading && session->CloseWhenSentAsked();
    // While the socket takes none of what is queued, the pass waits for it and reads nothing.
    if (session && !connection.InputEnded() && !SocketTakesQueue(*session, connection)) return false;
    uint8_t head[kHeaderSize];
    connection.PeekBytes(head, sizeof head);
    size_t waiting = connection.InputSize();
    return waiting > 0 && waiting >= PacketBytesNeeded(head, waiting);
  }

  // What the pass's wait does first: send what is queued, and once the socket takes none of
  // it, look whether the socket has room again. True when nothing is left queued.
  static bool SocketTakesQueue(TServerClient& session, TIdTCPConnection& connection) {
    if (session.SendQueued() == TServerClient::SendResult::kAllSent) return true;
    if (!connection.WaitReady(true, std::chrono::milliseconds(0), false).writable) return false;
    session.SocketWritable();
    return session.SendQueued() == TServerClient::SendResult::kAllSent;
  }

  // The connection thread's loop (TIdPeerThread::Run) for as long as its passes are due. After
  // a pass that leaves the connection closed, the thread ends as a real one does: the session
  // is ended (EndConnection), the connection closed and the thread lets go of its session.
  bool RunPasses(int index) {
    Client& c = clients_[index];
    bool ran = false;
    for (int pass = 0; c.thread && pass < kMaxPasses; ++pass) {
      if (!PassIsDue(c)) return ran;
      ran = true;
      RunPass(c);
      for (Client& other : clients_) Drain(other);
      TIdTCPConnection& connection = c.thread->Connection();
      if (!connection.IsOpen()) {
        EndConnection(server_, *c.thread);
        connection.Close();
        c.thread->ClearAppData();
        c.thread.reset();
      }
    }
    if (c.thread) Fail("a connection's passes do not consume its input");
    return ran;
  }

  // One pass of the connection's thread. A pass that ends the connection gives its client up
  // to kLeaveDrainWait to take what was queued last; a client that stopped reading gives up
  // first here: when the pass has not returned after kPatience, the client closes its end,
  // which ends that wait at once. A pass that returns neither way waited for something else.
  void RunPass(Client& c) {
    auto pass = [this, thread = c.thread] {
      try {
        TCPServerExecute(server_, *thread);
      } catch (const std::exception& e) {
        Fail(std::string("a pass raised: ") + e.what());
      }
    };
    SteadyTime started = SteadyNow();
    if (c.reading || c.far < 0) {
      pass();
      Check(SteadyNow() - started < kPassTooLong, "a pass waited");
      return;
    }
    auto done = std::async(std::launch::async, pass);
    if (done.wait_for(kPatience) == std::future_status::timeout) {
      close(c.far);
      c.far = -1;
    }
    if (done.wait_for(kPassTooLong) == std::future_status::timeout) Fail("a pass waited for more than its own client");
  }

  // Every connection thread that has something to do runs, until none has (a pass on one
  // connection may kick or close another).
  void RunAll() {
    for (int round = 0; round < 4 * kConnections; ++round) {
      bool ran = false;
      for (int i = 0; i < kConnections; ++i) ran = RunPasses(i) || ran;
      if (!ran) return;
    }
    Fail("connection threads keep waking each other");
  }

  // What a reading client has received: whole packets, each with the control magic and a
  // Length that covers at least its header.
  void Drain(Client& c) {
    if (c.far < 0 || !c.reading) return;
    char chunk[65536];
    for (;;) {
      ssize_t got = recv(c.far, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got <= 0) break;
      c.received.append(chunk, static_cast<size_t>(got));
    }
    while (c.received.size() >= kHeaderSize) {
      const auto* head = reinterpret_cast<const uint8_t*>(c.received.data());
      Check(LoadU16(head + kOffMagic) == kControlMagic, "a packet from the server without the control magic");
      size_t length = LoadU16(head + kOffLength);
      Check(length >= kHeaderSize, "a packet from the server shorter than its header");
      if (c.received.size() < length) break;
      c.received.erase(0, length);
    }
  }

  TParleyvoxServer server_;
  Client clients_[kConnections];
};

}  // namespace
}  // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pv::fuzz;
  WorkDir();
  ByteReader in(data, size);
  ControlHarness harness;
  while (!in.Empty()) {
    const uint8_t step = in.U8();
    const int index = step & 3;
    switch ((step >> 2) & 3) {
      case 0: harness.Send(index, in.Bytes(in.U8())); break;
      case 1: harness.Send(index, in.Bytes(in.U16())); break;
      case 2: harness.CloseClient(index); break;
      default: harness.ToggleReading(index); break;
    }
    harness.CheckInvariants();
  }
  harness.Finish();
  return 0;
}
