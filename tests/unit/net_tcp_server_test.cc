// TIdTCPServer over real loopback sockets: connection threads, errors leaving the handler,
// AppData, bindings and bounded deactivation.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "net/net_errors.h"
#include "net/tcp_server.h"
#include "connection_reads.h"
#include "support/loopback_sockets.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
using test::ConnectTcp;
using test::Fd;
using test::ReceiveSome;
using test::SendAll;
using test::WaitUntil;

// Reads one byte and writes it back: one pass of a minimal protocol.
void Echo(TIdPeerThread& peer) {
  uint8_t byte = testing::ReadByte(peer.Connection());
  peer.Connection().WriteBytes(&byte, 1);
}

// Listens on 127.0.0.1 on a free port with `handler` as the connection threads' body.
void Listen(TIdTCPServer& server, TIdTCPServer::ExecuteHandler handler) {
  server.SetBinding("127.0.0.1", 0);
  server.SetOnExecute(std::move(handler));
  server.SetActive(true);
}

bool SeesEof(const Fd& client) {
  bool eof = false;
  ReceiveSome(client.Get(), 1, milliseconds(5000), &eof);
  return eof;
}

TEST(TcpServer, EachConnectionGetsAThreadCallingTheHandlerWhileItIsOpen) {
  TIdTCPServer server;
  std::atomic<int> calls{0};
  Listen(server, [&](TIdPeerThread& peer) {
    ++calls;
    Echo(peer);
  });
  ASSERT_NE(server.BoundPort(), 0);
  Fd a = ConnectTcp(server.BoundPort());
  Fd b = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(SendAll(a.Get(), "1") && SendAll(b.Get(), "2"));
  EXPECT_EQ(ReceiveSome(a.Get(), 4, milliseconds(5000)), "1");
  EXPECT_EQ(ReceiveSome(b.Get(), 4, milliseconds(5000)), "2");
  ASSERT_TRUE(SendAll(a.Get(), "3"));
  EXPECT_EQ(ReceiveSome(a.Get(), 4, milliseconds(5000)), "3");
  // A peer that closes ends its thread: the handler's read raises, the open-check stops it.
  a.Reset();
  EXPECT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 1; }));
  EXPECT_GE(calls.load(), 4);
  server.SetActive(false);
  EXPECT_TRUE(SeesEof(b));
}

TEST(TcpServer, AResetLeavingTheHandlerClosesTheConnectionAndOtherErrorsEndTheThread) {
  TIdTCPServer server;
  std::atomic<int> calls{0};
  Listen(server, [&](TIdPeerThread& peer) {
    ++calls;
    uint8_t byte = testing::ReadByte(peer.Connection());
    if (byte == 'r') throw EIdSocketError(ECONNRESET);
    throw std::runtime_error("broken handler");
  });
  Fd reset_client = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(SendAll(reset_client.Get(), "rr"));
  EXPECT_TRUE(SeesEof(reset_client));
  EXPECT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 0; }));
  EXPECT_EQ(calls.load(), 1);  // the second byte was never asked for

  Fd broken_client = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(SendAll(broken_client.Get(), "x"));
  EXPECT_TRUE(SeesEof(broken_client));
  EXPECT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 0; }));
  EXPECT_EQ(calls.load(), 2);
}

// Records its destruction, to see when AppData lets go of it.
struct Tracker {
  explicit Tracker(std::atomic<bool>& gone) : gone_(gone) {}
  ~Tracker() { gone_ = true; }
  std::atomic<bool>& gone_;
};

TEST(TcpServer, AppDataStartsEmptyAndIsReleasedWhenTheThreadEnds) {
  TIdTCPServer server;
  std::atomic<bool> gone{false};
  std::atomic<bool> empty_at_start{false};
  Listen(server, [&](TIdPeerThread& peer) {
    if (!peer.AppData()) {
      empty_at_start = true;
      peer.SetAppData(std::make_shared<Tracker>(gone));
    }
    EXPECT_NE(peer.AppDataAs<Tracker>(), nullptr);
    Echo(peer);
  });
  Fd client = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(SendAll(client.Get(), "a"));
  EXPECT_EQ(ReceiveSome(client.Get(), 1, milliseconds(5000)), "a");
  EXPECT_TRUE(empty_at_start.load());
  EXPECT_FALSE(gone.load());
  client.Reset();
  EXPECT_TRUE(WaitUntil([&] { return gone.load(); }));
}

TEST(TcpServer, DeactivatingClosesEveryConnectionAndWaitsForTheirThreads) {
  TIdTCPServer server;
  Listen(server, Echo);
  std::vector<Fd> clients;  // they never send
  for (int i = 0; i < 10; ++i) clients.push_back(ConnectTcp(server.BoundPort()));
  ASSERT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 10; }));
  uint16_t port = server.BoundPort();
  auto start = std::chrono::steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(4000));
  EXPECT_EQ(server.LiveThreadCount(), 0u);
  for (auto& client : clients) EXPECT_TRUE(SeesEof(client));
  // The listening socket is closed too.
  EXPECT_LT(ConnectTcp(port).Get(), 0);
}

TEST(TcpServer, AHandlerThatIgnoresTheCloseIsLetGoAfterTheWaitAndEndsLaterUnharmed) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto entered = std::make_shared<std::atomic<bool>>(false);
  {
    TIdTCPServer server;
    server.SetTerminateWaitTime(300);
    Listen(server, [release, finished, entered](TIdPeerThread& peer) {
      *entered = true;
      WaitUntil([&] { return release->load(); }, milliseconds(10000));
      peer.ClearAppData();  // touches its own thread object after the server is gone
      *finished = true;
    });
    Fd client = ConnectTcp(server.BoundPort());
    ASSERT_TRUE(WaitUntil([&] { return entered->load(); }));
    auto start = std::chrono::steady_clock::now();
    server.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
    EXPECT_EQ(server.LiveThreadCount(), 1u);
  }
  // The server is destroyed; its straggler still runs and must finish without harm.
  *release = true;
  EXPECT_TRUE(WaitUntil([&] { return finished->load(); }));
}

TEST(TcpServer, APortInUseMakesActivationFail) {
  TIdTCPServer first;
  Listen(first, Echo);
  TIdTCPServer second;
  second.SetBinding("127.0.0.1", first.BoundPort());
  second.SetOnExecute(Echo);
  try {
    second.SetActive(true);
    FAIL() << "activation succeeded on a busy port";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Code(), EADDRINUSE);
  }
  EXPECT_FALSE(second.Active());
  // The failure leaves the first listener working.
  Fd client = ConnectTcp(first.BoundPort());
  ASSERT_TRUE(SendAll(client.Get(), "k"));
  EXPECT_EQ(ReceiveSome(client.Get(), 1, milliseconds(5000)), "k");
}

TEST(TcpServer, AdmissionRefusesAtTheCapOrMakesRoomByTheOldestPendingConnection) {
  ConnectionLimits limits{4, 2};
  const struct {
    const char* what;
    size_t open;
    bool any_pending;
    size_t from_address;
    bool loopback;
    Admission expected;
  } cases[] = {
      {"below every limit", 3, true, 1, false, Admission::kAdmit},
      {"a third pending one from one address", 1, true, 2, false, Admission::kRefuse},
      {"loopback is exempt from the address limit", 1, true, 9, true, Admission::kAdmit},
      {"at the cap with a pending one to evict", 4, true, 0, false, Admission::kAdmitEvictingOldestPending},
      {"at the cap with only logged-in ones", 4, false, 0, true, Admission::kRefuse},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Admit(limits, c.open, c.any_pending, c.from_address, c.loopback), c.expected) << c.what;
}

TEST(TcpServer, AtTheCapTheOldestConnectionNotEstablishedIsClosed) {
  TIdTCPServer server;
  server.SetBinding("127.0.0.1", 0);
  std::atomic<uint64_t> refused{0};
  server.SetLimits(ConnectionLimits{2, SIZE_MAX}, &refused);
  std::atomic<int> established{0};
  // A connection that sends "e" is established; the handler otherwise only waits for input.
  server.SetOnExecute([&](TIdPeerThread& peer) {
    uint8_t byte = testing::ReadByte(peer.Connection());
    if (byte == 'e') {
      peer.SetEstablished();
      ++established;
    }
  });
  std::atomic<int> ended{0};
  server.SetOnDisconnect([&](TIdPeerThread&) { ++ended; });
  server.SetActive(true);
  Fd vouched = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(SendAll(vouched.Get(), "e"));
  ASSERT_TRUE(WaitUntil([&] { return established == 1; }));
  Fd first = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 2; }));
  Fd second = ConnectTcp(server.BoundPort());
  // The pending one made room; the established one stays.
  EXPECT_TRUE(SeesEof(first));
  EXPECT_TRUE(WaitUntil([&] { return ended == 1; }));
  ASSERT_TRUE(SendAll(second.Get(), "e"));
  ASSERT_TRUE(WaitUntil([&] { return established == 2; }));
  // Nothing left to evict: the next connection is closed right after accept.
  Fd third = ConnectTcp(server.BoundPort());
  EXPECT_TRUE(SeesEof(third));
  EXPECT_EQ(refused.load(), 2u);
  ASSERT_TRUE(SendAll(vouched.Get(), "x"));
  EXPECT_EQ(server.LiveThreadCount(), 2u);
  server.SetActive(false);
  EXPECT_EQ(ended.load(), 3);
}

}  // namespace
}  // namespace pv
