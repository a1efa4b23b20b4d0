// The web listing report of the real server, received by loopback HTTP recorders standing in
// for the central listing service (through PARLEYVOX_LISTING_URL) and the operator's own
// address (WebPostURL), over HTTP and over TLS.
#include "support/http_recorder.h"
#include "support/server_test.h"

namespace pv::test {
namespace {

class WebListing : public ServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central_.Ok());
    ASSERT_TRUE(own_.Ok());
  }
  // With a CA file named, "https://" posts are checked against it.
  void StartServer(IniSettings ini, const std::string& ca_file = "") {
    server_ = std::make_unique<ServerProcess>(std::move(ini));
    server_->SetEnv("PARLEYVOX_LISTING_URL", central_.Url("/webpost.php"));
    if (!ca_file.empty()) server_->SetEnv("PARLEYVOX_CA_FILE", ca_file);
    ASSERT_TRUE(server_->Start());
  }
  HttpRecorder central_, own_;
};

// The operator's address never answers: the post's ten-second wait does not hold the shut-down.
// The request's header lines are HttpPost.SendsTheRequestAndJudgesTheAnswerByItsStatusLine's.
TEST_F(WebListing, FirstReportArrivesAtStartWithTheExactRequestLineAndASilentServiceHoldsNoShutDown) {
  own_.NeverAnswer();
  StartServer({{"General", {{"Servername", "Test Server"}}},
               {"Passwords", {{"ServerPassword", "pw"}}},
               {"WebStatus",
                {{"Active", "1"}, {"ParleyvoxSite_DisplayInWebList", "1"}, {"WebPostURL", own_.Url("/report.php")}}}});
  ASSERT_TRUE(own_.WaitForRequests(1, Ms(5000)));
  EXPECT_EQ(own_.RequestLine(),
            "POST /report.php?serverport=" + std::to_string(server_->TcpPort()) +
                "&servername=Test+Server&clients=0&maxclients=16&serverversion=v1.2.2+Win32+Service"
                "&passwordprotected=1&public=1&uptime=N&link=http://www.parleyvox.example/&user= HTTP/1.0");
  // The central service is not asked to list this server. (That posts leave from the configured
  // address is HttpPost.ConnectionsLeaveFromTheBoundAddress's: from 127.0.0.1 they would anyway.)
  EXPECT_EQ(central_.Requests().size(), 0u);
  EXPECT_EQ(server_->Stop(Ms(8000)), 0);  // well inside the harness's own limit
  EXPECT_TRUE(server_->WaitForLog("PingThread.Terminated", Ms(0)));
  server_.reset();
}

// An "https://" WebPostURL goes over TLS, checked against the CA file the environment names (the
// certificates the post refuses, and the scheme in any letter case, are tests/unit/'s); a failure
// of the central service is logged and leaves the operator's own address posted.
TEST_F(WebListing, CentralServiceFailureIsLoggedAndTheOperatorsAddressStillPostedOverTls) {
  TempDir certs;
  ASSERT_TRUE(MakeCertificate(certs, "listing", "IP:127.0.0.1"));
  HttpRecorder own_tls(certs.File("listing.crt"), certs.File("listing.key"));
  ASSERT_TRUE(own_tls.Ok());
  central_.AnswerRaw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  StartServer({{"WebStatus",
                {{"Active", "1"}, {"ParleyvoxSite_Active", "1"}, {"WebPostURL", own_tls.Url("/report.php?key=7")}}}},
              certs.File("listing.crt"));
  // What the query holds is ListingReport's and the first report's above.
  ASSERT_TRUE(own_tls.WaitForRequests(1, Ms(5000)));
  // Only the central service's recorder answers 404: the post went to the address the environment names.
  EXPECT_TRUE(server_->WaitForLog(
      "in: TPingThread.PostData (Parleyvox) exception EIdProtocolReplyError: HTTP/1.1 404 Not Found", Ms(2000)));
}

TEST_F(WebListing, NothingIsPostedWhileTheReportIsOff) {
  StartServer({{"WebStatus", {{"Active", "0"}, {"ParleyvoxSite_Active", "1"}, {"WebPostURL", own_.Url("/r.php")}}}});
  ASSERT_TRUE(server_->WaitForLog("PingThread.Execute"));
  EXPECT_FALSE(own_.WaitForRequests(1, Ms(1000)));
  EXPECT_EQ(central_.Requests().size(), 0u);
}

}  // namespace
}  // namespace pv::test
