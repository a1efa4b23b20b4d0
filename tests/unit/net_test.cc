// The byte buffer, the transport's errors, and over real loopback sockets TIdTCPConnection,
// TIdTCPServer (connection threads, errors leaving the handler, AppData, admission and bounded
// deactivation), TIdUDPServer and TIdSocketHandle.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/errors.h"
#include "net/byte_buffer.h"
#include "net/net_errors.h"
#include "net/socket_address.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "net/udp_server.h"
#include "support/loopback_sockets.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
using test::ConnectTcp;
using test::Fd;
using test::ReceiveSome;
using test::SeesClose;
using test::SendAll;
using test::WaitUntil;

// Reads as the server's passes do: wait for the socket, take what has arrived, and stop with
// EIdConnClosedGracefully once the peer has closed and nothing is left.
std::string ReadString(TIdTCPConnection& connection, size_t n) {
  std::string out;
  while (out.size() < n) {
    uint8_t byte = 0;
    if (connection.ReadFromBuffer(&byte, 1) == 1) {
      out.push_back(static_cast<char>(byte));
      continue;
    }
    connection.PollInput(true);
    if (connection.InputSize() == 0) connection.WaitReady(false, milliseconds(100));
  }
  return out;
}

TEST(ByteBuffer, InterleavedWritesAndRemovalsKeepEveryByteInOrderAndOverdrawingRaises) {
  // Removal moves the start; growth moves the bytes back to the front: both must keep order.
  ByteBuffer buffer;
  std::deque<uint8_t> model;
  uint8_t next = 0;
  for (int round = 0; round < 400; ++round) {
    size_t add = static_cast<size_t>((round * 37) % 300);
    std::vector<uint8_t> chunk(add);
    for (auto& b : chunk) b = next++;
    buffer.Write(chunk.data(), chunk.size());
    model.insert(model.end(), chunk.begin(), chunk.end());
    size_t remove = std::min(model.size(), static_cast<size_t>((round * 53) % 280));
    buffer.RemoveFront(remove);
    model.erase(model.begin(), model.begin() + static_cast<long>(remove));
    ASSERT_EQ(buffer.Size(), model.size());
    ASSERT_TRUE(std::equal(model.begin(), model.end(), buffer.Data())) << "round " << round;
  }
  // Removing more than it holds raises (the error's logged line is udp_test.cc's) and keeps every byte.
  ByteBuffer small("12345", 5);
  EXPECT_THROW(small.RemoveFront(6), EIdNotEnoughDataInBuffer);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(small.Data()), small.Size()), "12345");
  small.RemoveFront(5);
  EXPECT_TRUE(small.Empty());
  EXPECT_NO_THROW(small.RemoveFront(0));
}

TEST(NetErrors, ClassNamesAndMessagesAreTheLoggedOnes) {
  // Which error a refused datagram raises is the UdpServer tests' (their SendDatagram and SendTo).
  EXPECT_EQ(EIdSocketError(ECONNRESET).Message(), "Socket Error # 104\r\nConnection reset by peer");
  EXPECT_EQ(EIdPackageSizeTooBig().Message(), "Package Size Too Big.");
  EXPECT_EQ(EIdNotAllBytesSent().ClassName(), "EIdNotAllBytesSent");
  EXPECT_EQ(EIdNotAllBytesSent().Message(), "Not all bytes sent.");
  EXPECT_THROW(RaiseDatagramError(kNotAllBytesSent), EIdNotAllBytesSent);
}

// A connection object on the accepted side of a loopback pair, and the client's socket.
struct Conn {
  Conn() {
    auto pair = test::MakeTcpPair();
    client = std::move(pair.client);
    connection = std::make_unique<TIdTCPConnection>(pair.server.Release());
  }
  test::Fd client;
  std::unique_ptr<TIdTCPConnection> connection;
};

TEST(TcpConnection, PollInputNeverWaitsAndAReadWaitsUntilEveryByteHasArrivedLeavingTheRestBuffered) {
  Conn c;
  auto start = std::chrono::steady_clock::now();
  c.connection->PollInput(true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(200));
  EXPECT_EQ(c.connection->InputSize(), 0u);
  auto read = std::async(std::launch::async, [&] { return ReadString(*c.connection, 6); });
  ASSERT_TRUE(SendAll(c.client.Get(), "abc"));
  EXPECT_EQ(read.wait_for(milliseconds(50)), std::future_status::timeout);
  ASSERT_TRUE(SendAll(c.client.Get(), "defgh"));
  ASSERT_EQ(read.wait_for(milliseconds(5000)), std::future_status::ready);
  EXPECT_EQ(read.get(), "abcdef");
  EXPECT_EQ(c.connection->InputSize(), 2u);  // the rest waits in the input buffer
  // The server's framing peeks at a header and reads one packet of several that came together:
  // Protocol.EachConnectionsCommandsAreCarriedOutOrRefusedAndItsGarbageHarmsNoOther's.
}

TEST(TcpConnection, BytesSentBeforeACloseAreReadFirstAndThenTheCloseRaises) {
  Conn c;
  ASSERT_TRUE(SendAll(c.client.Get(), "hello"));
  c.client.Reset();
  EXPECT_EQ(ReadString(*c.connection, 2), "he");
  ASSERT_TRUE(WaitUntil([&] {
    c.connection->PollInput(false);
    return c.connection->Closed();
  }));
  EXPECT_NO_THROW(c.connection->PollInput(true));  // "llo" is still unread
  EXPECT_FALSE(c.connection->IsOpen());
  EXPECT_EQ(ReadString(*c.connection, 3), "llo");
  EXPECT_THROW(c.connection->PollInput(true), EIdConnClosedGracefully);
  EXPECT_THROW(ReadString(*c.connection, 1), EIdConnClosedGracefully);
}

// A connection that is not read (its client is past a pace) and whose peer resets is seen as
// ended; otherwise every later wait would return at once and its thread would spin.
TEST(TcpConnection, AResetWhileNotReadingEndsTheConnection) {
  Conn c;
  ASSERT_TRUE(SendAll(c.client.Get(), "unread"));
  linger hard{1, 0};
  ::setsockopt(c.client.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  c.client.Reset();
  auto start = std::chrono::steady_clock::now();
  c.connection->WaitReady(false, milliseconds(5000), false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2500));
  EXPECT_FALSE(c.connection->IsOpen());
}

TEST(TcpConnection, WritesReachThePeerAndFailWithAnErrorOnceItHasGone) {
  Conn c;
  const std::string hello = "hello";
  c.connection->WriteBytes(reinterpret_cast<const uint8_t*>(hello.data()), hello.size());
  EXPECT_EQ(ReceiveSome(c.client.Get(), 16, milliseconds(5000)), "hello");
  c.client.Reset();
  // The first write after the peer's close may still be accepted by the kernel; the peer's
  // reset makes a later one fail. A SIGPIPE would end this test program here.
  bool raised = false;
  for (int attempt = 0; attempt < 200 && !raised; ++attempt) {
    try {
      c.connection->WriteBytes(reinterpret_cast<const uint8_t*>(hello.data()), hello.size());
      std::this_thread::sleep_for(milliseconds(5));
    } catch (const EIdSocketError& e) {
      raised = e.Code() == EPIPE || e.Code() == ECONNRESET;
    } catch (const EIdConnClosedGracefully&) {
      raised = true;
    }
  }
  EXPECT_TRUE(raised);
}

TEST(TcpConnection, CloseFromAnotherThreadWakesABlockedReadAndTheDescriptorStays) {
  Conn c;
  auto read = std::async(std::launch::async, [&] { return ReadString(*c.connection, 1); });
  EXPECT_EQ(read.wait_for(milliseconds(20)), std::future_status::timeout);
  c.connection->Close();
  ASSERT_EQ(read.wait_for(milliseconds(5000)), std::future_status::ready);
  EXPECT_THROW(read.get(), EIdConnClosedGracefully);
  EXPECT_TRUE(SeesClose(c.client.Get()));  // the peer sees the close at once, though the descriptor is still ours
  EXPECT_FALSE(c.connection->IsOpen());
  uint8_t byte = 1;
  EXPECT_THROW(c.connection->WriteBytes(&byte, 1), EIdConnClosedGracefully);
}

// Reads one byte and writes it back: one pass of a minimal protocol.
void Echo(TIdPeerThread& peer) {
  uint8_t byte = static_cast<uint8_t>(ReadString(peer.Connection(), 1)[0]);
  peer.Connection().WriteBytes(&byte, 1);
}

// Listens on 127.0.0.1 on a free port with `handler` as the connection threads' body.
void Listen(TIdTCPServer& server, TIdTCPServer::ExecuteHandler handler) {
  server.SetBinding("127.0.0.1", 0);
  server.SetOnExecute(std::move(handler));
  server.SetActive(true);
}

// Counts the AppData objects made and still alive, to see when AppData lets go of them.
struct Tracker {
  Tracker(std::atomic<int>& made, std::atomic<int>& alive) : alive_(alive) {
    ++made;
    ++alive;
  }
  ~Tracker() { --alive_; }
  std::atomic<int>& alive_;
};

TEST(TcpServer, EachConnectionGetsAThreadCallingTheHandlerWhileItIsOpenWithAppDataOfItsOwn) {
  TIdTCPServer server;
  std::atomic<int> calls{0}, made{0}, alive{0};
  Listen(server, [&](TIdPeerThread& peer) {
    ++calls;
    if (!peer.AppData()) peer.SetAppData(std::make_shared<Tracker>(made, alive));
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
  // AppData starts empty on each connection and is kept from one call to the next.
  EXPECT_EQ(made.load(), 2);
  EXPECT_EQ(alive.load(), 2);
  // A peer that closes ends its thread (the handler's read raises, the open-check stops it), and
  // the thread's end releases its AppData.
  a.Reset();
  EXPECT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return alive == 1; }));
  EXPECT_GE(calls.load(), 4);
}

TEST(TcpServer, AResetLeavingTheHandlerClosesTheConnectionAndOtherErrorsEndTheThread) {
  TIdTCPServer server;
  std::atomic<int> calls{0};
  Listen(server, [&](TIdPeerThread& peer) {
    ++calls;
    if (ReadString(peer.Connection(), 1) == "r") throw EIdSocketError(ECONNRESET);
    throw std::runtime_error("broken handler");
  });
  for (const char* bytes : {"rr", "x"}) {
    Fd client = ConnectTcp(server.BoundPort());
    ASSERT_TRUE(SendAll(client.Get(), bytes));
    EXPECT_TRUE(SeesClose(client.Get())) << bytes;
    EXPECT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 0; })) << bytes;
  }
  EXPECT_EQ(calls.load(), 2);  // the reset client's second byte was never asked for
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
  for (auto& client : clients) EXPECT_TRUE(SeesClose(client.Get()));
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

// What the cap does is the next test's, on real connections.
TEST(TcpServer, AdmissionRefusesTooManyPendingConnectionsFromOneAddressButLoopback) {
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
  };
  for (const auto& c : cases)
    EXPECT_EQ(Admit(limits, c.open, c.any_pending, c.from_address, c.loopback), c.expected) << c.what;
}

TEST(TcpServer, AtTheCapTheOldestConnectionNotEstablishedIsClosed) {
  TIdTCPServer server;
  std::atomic<uint64_t> refused{0};
  server.SetLimits(ConnectionLimits{2, SIZE_MAX}, &refused);
  std::atomic<int> established{0}, ended{0};
  server.SetOnDisconnect([&](TIdPeerThread&) { ++ended; });
  // A connection that sends "e" is established; the handler otherwise only waits for input.
  Listen(server, [&](TIdPeerThread& peer) {
    if (ReadString(peer.Connection(), 1) == "e") {
      peer.SetEstablished();
      ++established;
    }
  });
  Fd vouched = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(SendAll(vouched.Get(), "e"));
  ASSERT_TRUE(WaitUntil([&] { return established == 1; }));
  Fd first = ConnectTcp(server.BoundPort());
  ASSERT_TRUE(WaitUntil([&] { return server.LiveThreadCount() == 2; }));
  Fd second = ConnectTcp(server.BoundPort());
  // The pending one made room; the established one stays.
  EXPECT_TRUE(SeesClose(first.Get()));
  EXPECT_TRUE(WaitUntil([&] { return ended == 1; }));
  ASSERT_TRUE(SendAll(second.Get(), "e"));
  ASSERT_TRUE(WaitUntil([&] { return established == 2; }));
  // Nothing left to evict: the next connection is closed right after accept.
  Fd third = ConnectTcp(server.BoundPort());
  EXPECT_TRUE(SeesClose(third.Get()));
  EXPECT_EQ(refused.load(), 2u);
  ASSERT_TRUE(SendAll(vouched.Get(), "x"));
  EXPECT_EQ(server.LiveThreadCount(), 2u);
  server.SetActive(false);
  EXPECT_EQ(ended.load(), 3);
}

struct Received {
  std::vector<uint8_t> bytes;
  std::string source_ip;
  uint16_t source_port = 0;
};

// A UDP endpoint on 127.0.0.1 that records every datagram its handler sees. The handler then
// fails: the listener must go on with the next datagram all the same.
class Endpoint {
 public:
  Endpoint() {
    server_.SetBinding("127.0.0.1", 0);
    server_.SetOnUDPRead([this](const TIdReceivedDatagram& d, TIdSocketHandle&) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        received_.push_back(
            {std::vector<uint8_t>(d.data, d.data + d.size), DottedIPv4(d.from.sin_addr), ntohs(d.from.sin_port)});
      }
      throw std::runtime_error("bad datagram");
    });
    server_.SetActive(true);
  }
  TIdUDPServer& Server() { return server_; }
  uint16_t Port() { return server_.BoundPort(); }
  std::vector<Received> Got() {
    std::lock_guard<std::mutex> hold(mutex_);
    return received_;
  }

 private:
  std::mutex mutex_;
  std::vector<Received> received_;
  TIdUDPServer server_;  // last: stopped before the record goes
};

TEST(UdpServer, DeliversEachDatagramWithItsSourceButNoneLongerThanTheBufferAndSurvivesAFailingHandler) {
  Endpoint endpoint;
  ASSERT_NE(endpoint.Port(), 0);
  Fd client = test::OpenUdp();
  using Bytes = std::vector<uint8_t>;
  for (const Bytes& d : {Bytes{1, 2, 3}, Bytes(9000, 7), Bytes(8193, 8), Bytes(8192, 9), Bytes{}})
    ASSERT_TRUE(test::SendUdp(client.Get(), endpoint.Port(), d));
  ASSERT_TRUE(WaitUntil([&] { return endpoint.Got().size() >= 3; }));
  auto got = endpoint.Got();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(got[0].source_ip, "127.0.0.1");
  EXPECT_EQ(got[0].source_port, test::LocalPortOf(client.Get()));
  EXPECT_EQ(got[1].bytes, Bytes(8192, 9));
  EXPECT_TRUE(got[2].bytes.empty());
}

TEST(UdpServer, SendsResolveTheHostFromTheServersPortAndRefuseBadDestinationsEachInABatch) {
  Endpoint endpoint;
  Fd client = test::OpenUdp();
  const uint16_t client_port = test::LocalPortOf(client.Get());
  std::vector<uint8_t> bytes = {5, 6, 7}, got;
  for (const char* host : {"127.0.0.1", "LoCaLhOsT", "localhost"}) {
    endpoint.Server().SendDatagram(host, client_port, bytes.data(), bytes.size());
    uint16_t from_port = 0;
    ASSERT_TRUE(test::ReceiveUdp(client.Get(), got, milliseconds(5000), &from_port)) << host;
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(from_port, endpoint.Port());
  }
  std::vector<uint8_t> one = {1}, two = {2, 2}, big(70000, 3);
  EXPECT_THROW(endpoint.Server().SendDatagram("", client_port, one.data(), 1), EIdSocketError);
  EXPECT_THROW(endpoint.Server().SendDatagram("127.0.0.1", 0, one.data(), 1), EIdSocketError);
  EXPECT_THROW(endpoint.Server().SendDatagram("127.0.0.1", client_port, big.data(), big.size()), EIdPackageSizeTooBig);
  // A binding takes dotted addresses only.
  auto binding = endpoint.Server().Binding();
  ASSERT_NE(binding, nullptr);
  EXPECT_THROW(binding->SendTo("localhost", client_port, one.data(), 1), EIdSocketError);
  EXPECT_THROW(binding->SendTo("0.0.0.0", client_port, one.data(), 1), EIdSocketError);
  binding->SendTo("127.0.0.1", client_port, bytes.data(), bytes.size());
  ASSERT_TRUE(test::ReceiveUdp(client.Get(), got, milliseconds(5000)));
  EXPECT_EQ(got, bytes);
  // A batch reports each datagram and goes on past one the kernel refuses (a destination refused
  // before the send is the relay's, udp_test.cc's silent recipient).
  in_addr loopback{};
  ASSERT_TRUE(ParseDottedIPv4("127.0.0.1", loopback));
  TIdOutDatagram items[3];
  items[0] = {MakeSockAddr(loopback, client_port), one.data(), one.size(), -9};
  items[1] = {MakeSockAddr(loopback, client_port), big.data(), big.size(), -9};
  items[2] = {MakeSockAddr(loopback, client_port), two.data(), two.size(), -9};
  EXPECT_EQ(binding->SendBatch(items, 3), 2u);
  EXPECT_EQ(items[0].result, 0);
  EXPECT_EQ(items[1].result, EMSGSIZE);
  EXPECT_EQ(items[2].result, 0);
  ASSERT_TRUE(test::ReceiveUdp(client.Get(), got, milliseconds(5000)));
  EXPECT_EQ(got, one);
  ASSERT_TRUE(test::ReceiveUdp(client.Get(), got, milliseconds(5000)));
  EXPECT_EQ(got, two);
}

TEST(UdpServer, DeactivatingStopsTheListenerAndTheLastHolderOfTheBindingFreesThePort) {
  auto endpoint = std::make_unique<Endpoint>();
  uint16_t port = endpoint->Port();
  auto binding = endpoint->Server().Binding();  // a sender still holding the binding
  endpoint->Server().SetActive(false);
  EXPECT_EQ(endpoint->Server().Binding(), nullptr);
  std::vector<uint8_t> bytes = {1};
  EXPECT_THROW(endpoint->Server().SendDatagram("127.0.0.1", port, bytes.data(), 1), EIdSocketError);
  // The held binding still sends without touching a closed descriptor, and keeps the port: a
  // server activated on it fails.
  Fd client = test::OpenUdp();
  binding->SendTo("127.0.0.1", test::LocalPortOf(client.Get()), bytes.data(), 1);
  TIdUDPServer again;
  again.SetBinding("127.0.0.1", port);
  try {
    again.SetActive(true);
    FAIL() << "activation succeeded on a busy port";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Code(), EADDRINUSE);
  }
  EXPECT_FALSE(again.Active());
  binding.reset();
  EXPECT_NO_THROW(again.SetActive(true));
}

}  // namespace
}  // namespace pv
