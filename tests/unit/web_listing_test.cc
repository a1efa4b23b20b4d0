// The web listing report: the query's numbers, the central service's address, and whole reports
// of a server object posted to loopback recorders.
#include <gtest/gtest.h>

#include <regex>

#include "net/http_client.h"
#include "session_fixture.h"
#include "support/http_recorder.h"
#include "supervision/web_listing.h"

namespace pv {
namespace {

// Whole queries with and without the flags: ListingReport below and tests/e2e/web_listing_test.cc.
TEST(ListingQuery, NumbersAreSignedPortsAndUnsignedUptimesAndTheAddressCanBeOverridden) {
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
  // The central service's address can be overridden.
  EXPECT_EQ(ListingUrl(nullptr), "http://list.parleyvox.example/webpost.php");
  EXPECT_EQ(ListingUrl(""), "http://list.parleyvox.example/webpost.php");
  EXPECT_EQ(ListingUrl("http://127.0.0.1:9/own/webpost.php"), "http://127.0.0.1:9/own/webpost.php");
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
  // The request line of request `index` with the uptime's digits replaced by "N".
  static std::string Line(const test::HttpRecorder& recorder, size_t index) {
    auto requests = recorder.Requests();
    if (index >= requests.size()) return "(none)";
    std::string raw = requests[index].raw;
    return std::regex_replace(raw.substr(0, raw.find("\r\n")), std::regex("uptime=[0-9]+&"), "uptime=N&");
  }

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
  EXPECT_EQ(Line(central_, 0), "POST /webpost.php?" + query + " HTTP/1.0");
  EXPECT_EQ(Line(own_, 0), "POST /own.php?key=1?" + query + " HTTP/1.0");
  server_.SetServerPassword("");
  Report();
  EXPECT_EQ(Line(central_, 1).find("passwordprotected"), std::string::npos);
  EXPECT_NE(Line(own_, 1).find("&maxclients=16&serverversion=v1.2.2&uptime="), std::string::npos);
  EXPECT_FALSE(log_.Has("exception"));
}

TEST_F(ListingReport, WhichServicesArePosted) {
  // None once the server stops (nor an exception logged: checked below).
  http_.SetStopCheck([] { return true; });
  Report();
  EXPECT_EQ(central_.Requests().size(), 0u);
  EXPECT_EQ(own_.Requests().size(), 0u);
  http_.SetStopCheck(nullptr);
  server_.Config.ParleyvoxSite_Active = false;
  Report();
  EXPECT_EQ(central_.Requests().size(), 0u);
  EXPECT_EQ(own_.Requests().size(), 1u);
  // The bare scheme an empty setting is normalised to is no address.
  for (const char* bare : {"http://", "HTTP://", ""}) {
    server_.Config.WebPostURL = bare;
    Report();
  }
  EXPECT_EQ(own_.Requests().size(), 1u);
  EXPECT_FALSE(log_.Has("exception"));
  server_.Config.WebPostURL = "http://bad:port/";
  Report();
  EXPECT_TRUE(log_.Has("in: TPingThread.PostData (UserUrl) exception EHttpUrlError: Invalid URL"));
}

}  // namespace
}  // namespace pv
