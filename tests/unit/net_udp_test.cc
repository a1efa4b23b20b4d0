// TIdUDPServer and TIdSocketHandle over real loopback sockets.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cerrno>
#include <mutex>
#include <stdexcept>

#include "net/net_errors.h"
#include "net/socket_address.h"
#include "net/udp_server.h"
#include "support/loopback_sockets.h"

namespace pv {
namespace {

using std::chrono::milliseconds;
using test::Fd;
using test::WaitUntil;

struct Received {
  std::vector<uint8_t> bytes;
  std::string source_ip;
  uint16_t source_port = 0;
};

// A UDP endpoint on 127.0.0.1 that records every datagram its handler sees.
class Endpoint {
 public:
  explicit Endpoint(std::function<void(const Received&)> extra = {}) {
    server_.SetBinding("127.0.0.1", 0);
    server_.SetOnUDPRead([this, extra](const TIdReceivedDatagram& d, TIdSocketHandle&) {
      Received r{std::vector<uint8_t>(d.data, d.data + d.size), DottedIPv4(d.from.sin_addr), ntohs(d.from.sin_port)};
      {
        std::lock_guard<std::mutex> hold(mutex_);
        received_.push_back(r);
      }
      if (extra) extra(r);
    });
    server_.SetActive(true);
  }
  TIdUDPServer& Server() { return server_; }
  uint16_t Port() { return server_.BoundPort(); }
  std::vector<Received> Got() {
    std::lock_guard<std::mutex> hold(mutex_);
    return received_;
  }
  bool WaitCount(size_t n) {
    return WaitUntil([&] { return Got().size() >= n; });
  }

 private:
  std::mutex mutex_;
  std::vector<Received> received_;
  TIdUDPServer server_;  // last: stopped before the record goes
};

// The handler fails on the first datagram: the listener goes on with the next ones.
TEST(UdpServer, DeliversEachDatagramWithItsSourceButNoneLongerThanTheBufferAndSurvivesAFailingHandler) {
  Endpoint endpoint([](const Received& r) {
    if (r.bytes.size() == 3) throw std::runtime_error("bad datagram");
  });
  ASSERT_NE(endpoint.Port(), 0);
  Fd client = test::OpenUdp();
  using Bytes = std::vector<uint8_t>;
  for (const Bytes& d : {Bytes{1, 2, 3}, Bytes(9000, 7), Bytes(8193, 8), Bytes(8192, 9), Bytes{}})
    ASSERT_TRUE(test::SendUdp(client.Get(), endpoint.Port(), d));
  ASSERT_TRUE(endpoint.WaitCount(3));
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
  EXPECT_THROW(endpoint.Server().SendDatagram("127.0.0.1", client_port, big.data(), big.size()),
               EIdPackageSizeTooBig);
  // A binding takes dotted addresses only.
  auto binding = endpoint.Server().Binding();
  ASSERT_NE(binding, nullptr);
  EXPECT_THROW(binding->SendTo("localhost", client_port, one.data(), 1), EIdSocketError);
  EXPECT_THROW(binding->SendTo("0.0.0.0", client_port, one.data(), 1), EIdSocketError);
  binding->SendTo("127.0.0.1", client_port, bytes.data(), bytes.size());
  ASSERT_TRUE(test::ReceiveUdp(client.Get(), got, milliseconds(5000)));
  EXPECT_EQ(got, bytes);
  // A batch reports each datagram and skips the refused ones.
  in_addr loopback{};
  ASSERT_TRUE(ParseDottedIPv4("127.0.0.1", loopback));
  TIdOutDatagram items[4];
  items[0] = {MakeSockAddr(loopback, client_port), one.data(), one.size(), -9};
  items[1] = {MakeSockAddr(loopback, 0), one.data(), one.size(), -9};
  items[2] = {MakeSockAddr(loopback, client_port), big.data(), big.size(), -9};
  items[3] = {MakeSockAddr(loopback, client_port), two.data(), two.size(), -9};
  EXPECT_EQ(binding->SendBatch(items, 4), 2u);
  EXPECT_EQ(items[0].result, 0);
  EXPECT_EQ(items[1].result, EINVAL);
  EXPECT_EQ(items[2].result, EMSGSIZE);
  EXPECT_EQ(items[3].result, 0);
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
