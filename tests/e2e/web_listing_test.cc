// The web listing report of the real server, received by loopback HTTP recorders standing in
// for the central listing service (through PARLEYVOX_LISTING_URL) and the operator's own
// address (WebPostURL), over HTTP and over TLS.
#include <gtest/gtest.h>

#include <memory>
#include <regex>

#include "support/http_recorder.h"
#include "support/server_process.h"
#include "support/test_certificates.h"

namespace pv::test {
namespace {

using Ms = std::chrono::milliseconds;

class WebListing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central_.Ok());
    ASSERT_TRUE(own_.Ok());
  }
  void StartServer(IniSettings ini) {
    server_ = std::make_unique<ServerProcess>(std::move(ini));
    server_->SetEnv("PARLEYVOX_LISTING_URL", central_.Url("/webpost.php"));
    ASSERT_TRUE(server_->Start());
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
  }
  // The raw request with the uptime's digits replaced by "N".
  static std::string Raw(const HttpRecorder& recorder, size_t index = 0) {
    auto requests = recorder.Requests();
    if (index >= requests.size()) return "(none)";
    return std::regex_replace(requests[index].raw, std::regex("uptime=[0-9]+&"), "uptime=N&");
  }

  HttpRecorder central_, own_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(WebListing, FirstReportArrivesAtStartWithTheExactRequest) {
  StartServer({{"General", {{"Servername", "Test Server"}}},
               {"Passwords", {{"ServerPassword", "pw"}}},
               {"WebStatus", {{"Active", "1"}, {"ParleyvoxSite_DisplayInWebList", "1"}, {"WebPostURL", own_.Url("/report.php")}}}});
  ASSERT_TRUE(own_.WaitForRequests(1, Ms(5000)));
  EXPECT_EQ(Raw(own_),
            "POST /report.php?serverport=" + std::to_string(server_->TcpPort()) +
                "&servername=Test+Server&clients=0&maxclients=16&serverversion=v1.2.2+Win32+Service"
                "&passwordprotected=1&public=1&uptime=N&link=http://www.parleyvox.example/&user= HTTP/1.0\r\n"
                "Host: 127.0.0.1\r\n"
                "Accept: text/html, */*\r\n"
                "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                "\r\n");
  // Made from the configured address; the central service is not asked to list this server.
  EXPECT_EQ(own_.Requests()[0].peer_ip, "127.0.0.1");
  EXPECT_EQ(central_.Requests().size(), 0u);
}

TEST_F(WebListing, CentralServiceFailureIsLoggedAndTheOperatorsAddressStillPosted) {
  central_.AnswerStatus(404, "Not Found");
  StartServer({{"WebStatus",
                {{"Active", "1"}, {"ParleyvoxSite_Active", "1"}, {"WebPostURL", own_.Url("/report.php?key=7")}}}});
  ASSERT_TRUE(own_.WaitForRequests(1, Ms(5000)));
  ASSERT_EQ(central_.Requests().size(), 1u);
  EXPECT_EQ(Raw(central_).rfind("POST /webpost.php?serverport=", 0), 0u) << Raw(central_);
  EXPECT_EQ(Raw(own_).rfind("POST /report.php?key=7?serverport=", 0), 0u) << Raw(own_);
  EXPECT_TRUE(server_->WaitForLog(
      "in: TPingThread.PostData (Parleyvox) exception EIdProtocolReplyError: HTTP/1.1 404 Not Found", Ms(2000)));
  EXPECT_EQ(server_->Log().find("(UserUrl)"), std::string::npos);
}

TEST_F(WebListing, NothingIsPostedWhileTheReportIsOff) {
  StartServer({{"WebStatus", {{"Active", "0"}, {"ParleyvoxSite_Active", "1"}, {"WebPostURL", own_.Url("/r.php")}}}});
  ASSERT_TRUE(server_->WaitForLog("PingThread.Execute"));
  EXPECT_FALSE(own_.WaitForRequests(1, Ms(1000)));
  EXPECT_EQ(central_.Requests().size(), 0u);
}

TEST_F(WebListing, ServiceThatNeverAnswersDoesNotHoldTheShutDown) {
  own_.NeverAnswer();
  StartServer({{"WebStatus", {{"Active", "1"}, {"WebPostURL", own_.Url("/r.php")}}}});
  ASSERT_TRUE(own_.WaitForRequests(1, Ms(5000)));
  // Well inside the harness's own limit; the post's ten-second wait is not waited out.
  EXPECT_EQ(server_->Stop(Ms(8000)), 0);
  EXPECT_TRUE(server_->WaitForLog("PingThread.Terminated", Ms(0)));
  server_.reset();
}

// An "https://" WebPostURL goes over TLS, checked against the CA file the environment names
// (the certificates the post refuses are tests/unit/http_client_test.cc's).
TEST(WebListingTls, PostsOverTlsCheckedAgainstTheCaFileTheEnvironmentNames) {
  TempDir certs;
  ASSERT_TRUE(MakeCertificate(certs, "listing", "IP:127.0.0.1"));
  HttpRecorder own(certs.File("listing.crt"), certs.File("listing.key"));
  ASSERT_TRUE(own.Ok());
  std::string own_url = own.Url("/report.php");
  own_url.replace(0, 5, "HTTPS");  // the scheme in any letter case
  ServerProcess server({{"WebStatus", {{"Active", "1"}, {"WebPostURL", own_url}}}});
  server.SetEnv("PARLEYVOX_CA_FILE", certs.File("listing.crt"));
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(own.WaitForRequests(1, Ms(5000)));
  EXPECT_EQ(own.Requests()[0].raw.rfind("POST /report.php?serverport=" + std::to_string(server.TcpPort()) +
                                            "&servername=Parleyvox+Server&clients=0&",
                                        0),
            0u)
      << own.Requests()[0].raw;
  EXPECT_EQ(server.Log().find("exception"), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace pv::test
