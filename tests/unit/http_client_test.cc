// The web listing post. Its HTTP client: URL splitting, the target's encoding, and posts against
// a loopback recorder (the request text, answers, errors, time-outs, the stop check, binding),
// and over TLS against a recorder with a certificate made for the test. The report: the query's
// numbers, the central service's address, and whole reports of a server object.
#include <gtest/gtest.h>

#include <cerrno>

#include "net/http_client.h"
#include "net/net_errors.h"
#include "session_fixture.h"
#include "support/http_recorder.h"
#include "support/loopback_sockets.h"
#include "supervision/web_listing.h"

namespace pv {
namespace {

using std::chrono::milliseconds;

// The whole request a post of "/post.php?user=a%20b," sends: the port stays out of the Host line;
// there is no body.
const char* const kRequest =
    "POST /post.php?user=a+b, HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: text/html, */*\r\n"
    "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n";

// The error a post raises, with its class name and message.
std::string PostError(HttpClient& client, const std::string& url) {
  try {
    client.Post(url);
  } catch (const Error& e) {
    return e.ClassName() + ": " + e.Message();
  }
  return "no error";
}

// TLS by the scheme in any letter case, on 443 unless a port is named.
TEST(HttpUrl, SplitsHostPortAndTargetAndRefusesWhatCannotBePosted) {
  const struct {
    const char* url;
    const char* host;
    int port;
    const char* target;
    bool tls;
  } cases[] = {
      {"http://list.parleyvox.example/webpost.php", "list.parleyvox.example", 80, "/webpost.php", false},
      {"HTTP://127.0.0.1:8080/stats/post.php?key=1?serverport=5", "127.0.0.1", 8080,
       "/stats/post.php?key=1?serverport=5", false},
      {"http://host?a=1", "host", 80, "/?a=1", false},
      {"http://host", "host", 80, "/", false},
      {"http://host/a#b?c", "host", 80, "/a#b?c", false},
      {"https://host/p", "host", 443, "/p", true},
      {"HTTPS://host:8443/p", "host", 8443, "/p", true},
      {"hTtPs://host?q", "host", 443, "/?q", true},
  };
  for (const auto& c : cases) {
    HttpUrl url = ParseHttpUrl(c.url);
    EXPECT_EQ(url.Host, c.host) << c.url;
    EXPECT_EQ(url.Port, c.port) << c.url;
    EXPECT_EQ(url.Target, c.target) << c.url;
    EXPECT_EQ(url.Tls, c.tls) << c.url;
  }
  for (const char* bad : {"http://", "https://", "https:/host/", "host/x", "http://:80/", "http://h:0/",
                          "http://h:65536/", "http://h:/", "http://h:8a/", "http://https://host/", "ftp://h/"})
    EXPECT_THROW(ParseHttpUrl(bad), EHttpUrlError) << bad;
}

TEST(HttpTarget, EscapesAreDecodedThenSpacesAndUnsafeBytesEncoded) {
  // "%20" as "+" is HttpPost.SendsTheRequestAndJudgesTheAnswerByItsStatusLine's.
  const std::pair<const char*, const char*> cases[] = {
      {"/?a=b+c d", "/?a=b+c+d"}, {"/%41%62", "/Ab"}, {"/*<>", "/%2A%3C%3E"}, {"/%25", "/%25"},
      // A "%" that starts no escape is a percent sign.
      {"/100%", "/100%25"}, {"/%zz%4", "/%25zz%254"},
      {"/Jos\xE9", "/Jos%E9"}, {"/%e9", "/%E9"}, {"/a#b&c=d,e;f", "/a#b&c=d,e;f"},
      // A control byte in a name cannot end the request line.
      {"/x\r\nHost: y\x7F", "/x%0D%0AHost:+y%7F"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(EncodeRequestTarget(in), out) << in;
}

class HttpPost : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(recorder_.Ok()); }
  int SocketErrorCode(const std::string& url) {
    try {
      client_.Post(url);
    } catch (const EIdSocketError& e) {
      return e.Code();
    }
    return 0;
  }

  test::HttpRecorder recorder_;
  HttpClient client_;
};

// Any 2xx is accepted; an interim 100 is skipped; other statuses raise with the status line, and
// a redirect is not followed.
TEST_F(HttpPost, SendsTheRequestAndJudgesTheAnswerByItsStatusLine) {
  const std::pair<std::string, std::string> answers[] = {
      {"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", "no error"},
      {"HTTP/1.0 200 OK\nServer: lf-only\n\nbody", "no error"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", "no error"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 500 Internal Server Error\r\n\r\n",
       "EIdProtocolReplyError: HTTP/1.1 500 Internal Server Error"},
      {"HTTP/1.1 302 Found\r\nLocation: " + recorder_.Url("/elsewhere") + "\r\n\r\n",
       "EIdProtocolReplyError: HTTP/1.1 302 Found"},
      {"garbage\r\n\r\n", "EIdProtocolReplyError: garbage"},
      {"HTTP/1.1 200 OK\r\nServer: cut", "EIdConnClosedGracefully: Connection Closed Gracefully."},
  };
  for (const auto& [answer, error] : answers) {
    recorder_.AnswerRaw(answer);
    EXPECT_EQ(PostError(client_, recorder_.Url("/post.php?user=a%20b,")), error) << answer;
  }
  auto requests = recorder_.Requests();
  ASSERT_EQ(requests.size(), std::size(answers));
  EXPECT_EQ(requests[0].raw, kRequest);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(HttpPost, ConnectionTroubleRaisesTransportErrors) {
  recorder_.AnswerRaw("");  // the connection closes once the request is read
  EXPECT_EQ(PostError(client_, recorder_.Url("/")), "EIdConnClosedGracefully: Connection Closed Gracefully.");
  // A port nobody listens on any more.
  uint16_t closed_port = test::LocalPortOf(test::ListenTcp().Get());
  EXPECT_EQ(SocketErrorCode("http://127.0.0.1:" + std::to_string(closed_port) + "/"), ECONNREFUSED);
  // A listener with a full backlog drops new connection requests, so the connect hangs.
  test::Fd listener = test::ListenTcp(0, 0);
  ASSERT_GE(listener.Get(), 0);
  uint16_t port = test::LocalPortOf(listener.Get());
  std::vector<test::Fd> fillers;
  for (int i = 0; i < 3; ++i) fillers.push_back(test::ConnectTcp(port, "127.0.0.1", {.nonblocking = true}));
  // Should the connection be made after all, the long read wait is ended by the stop check
  // instead, which tells the two apart.
  client_.SetTimeouts(milliseconds(300), milliseconds(10000));
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  client_.SetStopCheck([give_up] { return std::chrono::steady_clock::now() > give_up; });
  // ECANCELED would mean the kernel completed a connection beyond the backlog, and the
  // connect time-out went untested: a failure, not a pass.
  EXPECT_EQ(SocketErrorCode("http://127.0.0.1:" + std::to_string(port) + "/"), ETIMEDOUT);
}

// The default ten-second wait would outlast the test's patience: the stop request ends it, or a
// shorter wait does.
TEST_F(HttpPost, AnAnswerThatNeverComesEndsAtTheStopCheckOrTimesOut) {
  recorder_.NeverAnswer();
  client_.SetStopCheck([this] { return !recorder_.Requests().empty(); });
  EXPECT_EQ(SocketErrorCode(recorder_.Url("/")), ECANCELED);
  EXPECT_TRUE(client_.StopRequested());
  client_.SetStopCheck(nullptr);
  client_.SetTimeouts(milliseconds(2000), milliseconds(200));
  EXPECT_EQ(SocketErrorCode(recorder_.Url("/")), ETIMEDOUT);
  EXPECT_EQ(recorder_.Requests().size(), 2u);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(HttpPost, ConnectionsLeaveFromTheBoundAddress) {
  client_.SetBoundIP("127.0.0.2");
  EXPECT_NO_THROW(client_.Post(recorder_.Url("/")));
  ASSERT_EQ(recorder_.Requests().size(), 1u);
  EXPECT_EQ(recorder_.Requests()[0].peer_ip, "127.0.0.2");
  // An address of no local interface cannot be bound: nothing is sent.
  client_.SetBoundIP("192.0.2.1");
  EXPECT_EQ(SocketErrorCode(recorder_.Url("/")), EADDRNOTAVAIL);
  EXPECT_EQ(recorder_.Requests().size(), 1u);
}

// Over TLS the request is the same; a certificate that does not check out against the CA file
// (or the system's store) is refused before anything is sent.
TEST(HttpsPost, PostsOnlyToACertificateThatChecksOut) {
  test::TempDir certs;
  ASSERT_TRUE(test::MakeCertificate(certs, "listing", "IP:127.0.0.1"));
  ASSERT_TRUE(test::MakeCertificate(certs, "stranger", "IP:127.0.0.1"));
  ASSERT_TRUE(test::MakeCertificate(certs, "misnamed", "DNS:elsewhere.example"));
  struct Case {
    const char* served;   // the recorder's certificate
    std::string ca_file;  // empty: the system's store
    const char* error;    // the start of the error, or "no error"
  };
  const Case cases[] = {
      {"listing", certs.File("listing.crt"), "no error"},
      {"stranger", certs.File("listing.crt"), "EHttpTlsError: SSL certificate problem: self-signed certificate"},
      {"listing", "", "EHttpTlsError: SSL certificate problem: self-signed certificate"},
      {"misnamed", certs.File("misnamed.crt"), "EHttpTlsError: SSL: no alternative certificate subject name"},
      {"listing", certs.File("missing.crt"), "EHttpTlsError: error setting certificate"},
  };
  for (const Case& c : cases) {
    test::HttpRecorder recorder(certs.File(std::string(c.served) + ".crt"), certs.File(std::string(c.served) + ".key"));
    ASSERT_TRUE(recorder.Ok());
    HttpClient client;
    client.SetCaFile(c.ca_file);
    std::string error = PostError(client, recorder.Url("/post.php?user=a%20b,"));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.served << " against " << c.ca_file << ": " << error;
    bool posted = std::string(c.error) == "no error";
    ASSERT_EQ(recorder.Requests().size(), posted ? 1u : 0u) << c.served;
    if (posted) {
      EXPECT_EQ(recorder.Requests()[0].raw, kRequest);
    }
  }
}

// Whole queries with and without the flags: ListingReport below and tests/e2e/web_listing_test.cc.
TEST(ListingQuery, NumbersAreSignedPortsAndUnsignedUptimesAndTheCentralAddressIsTheDefault) {
  ListingStatus s;
  s.TCPPort = -1;
  s.Servername = "Parleyvox Server";
  s.MaxClients = 16;
  s.ServerVersion = "v1.2.2 Win32";
  s.Uptime = 4294967295u;
  s.Link = "http://www.parleyvox.example/";
  EXPECT_EQ(BuildListingQuery(s),
            "serverport=-1&servername=Parleyvox Server&clients=0&maxclients=16&serverversion=v1.2.2 Win32"
            "&uptime=4294967295&link=http://www.parleyvox.example/&user=");
  // The central service's address unless overridden (the override is tests/e2e/web_listing_test.cc's).
  EXPECT_EQ(ListingUrl(nullptr), "http://list.parleyvox.example/webpost.php");
  EXPECT_EQ(ListingUrl(""), "http://list.parleyvox.example/webpost.php");
}

// Whole reports of an unstarted server object with two sessions.
class ListingReport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central_.Ok());
    ASSERT_TRUE(own_.Ok());
    server_.Config.ParleyvoxSite_Active = true;
    server_.Config.WebPostURL = own_.Url("/own.php?key=1");
    Locked clients(server_.ClientList);
    clients->push_back(alice_.Ptr());
    clients->push_back(mister_.Ptr());
  }
  void TearDown() override { Locked(server_.ClientList)->clear(); }
  void Report() { UpdateStats(server_, http_, central_.Url("/webpost.php")); }

  test::LogCapture log_;
  TParleyvoxServer server_;
  test::FakeSession alice_{server_, "alice", 1, 0};
  // Commas go, spaces are encoded, "&" and "=" are not escaped; every name ends with a comma.
  test::FakeSession mister_{server_, "Mister  X, a&b=c", 2, 1};
  test::HttpRecorder central_, own_;
  HttpClient http_;
};

TEST_F(ListingReport, BothServicesGetTheSameQueryWithTheCurrentPassword) {
  server_.SetServerPassword("pw");
  Report();
  const std::string query =
      "serverport=8765&servername=Parleyvox+Server&clients=2&maxclients=16&serverversion=v1.2.2"
      "&passwordprotected=1&uptime=N&link=http://www.parleyvox.example/&user=alice,Mister++X+a&b=c,";
  EXPECT_EQ(central_.RequestLine(0), "POST /webpost.php?" + query + " HTTP/1.0");
  EXPECT_EQ(own_.RequestLine(0), "POST /own.php?key=1?" + query + " HTTP/1.0");
  server_.SetServerPassword("");
  Report();
  EXPECT_NE(own_.RequestLine(1).find("&maxclients=16&serverversion=v1.2.2&uptime="), std::string::npos);
  EXPECT_FALSE(log_.Has("exception"));
}

TEST_F(ListingReport, WhichServicesArePosted) {
  // None once the server stops (nor an exception logged: checked below).
  http_.SetStopCheck([] { return true; });
  Report();
  EXPECT_EQ(central_.Requests().size(), 0u);
  EXPECT_EQ(own_.Requests().size(), 0u);
  http_.SetStopCheck(nullptr);
  // The bare scheme an empty setting is normalised to is no address.
  for (const char* bare : {"http://", "HTTP://", ""}) {
    server_.Config.WebPostURL = bare;
    Report();
  }
  EXPECT_EQ(own_.Requests().size(), 0u);
  EXPECT_FALSE(log_.Has("exception"));
  server_.Config.WebPostURL = "http://bad:port/";
  Report();
  EXPECT_TRUE(log_.Has("in: TPingThread.PostData (UserUrl) exception EHttpUrlError: Invalid URL"));
}

}  // namespace
}  // namespace pv
