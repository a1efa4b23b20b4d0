// The web listing post: the server's status (port, name, clients, limit, version, password,
// public flag, uptime, link and player names) as one URL query, sent to the central listing
// service and to the operator's own WebPostURL.
//
// The central service's address is kListingUrl unless the environment variable
// PARLEYVOX_LISTING_URL holds another full URL, so operators can run a listing service of
// their own. Either address, and WebPostURL, may be "https://".
//
// Thread rules: UpdateStats and PostData run on the ping thread only. UpdateStats holds the
// ClientList lock only while it reads the count and the names; the posts run without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pv {

class HttpClient;
class TParleyvoxServer;

constexpr const char* kListingUrl = "http://list.parleyvox.example/webpost.php";
constexpr const char* kListingUrlVariable = "PARLEYVOX_LISTING_URL";
// Names a file of CA certificates that "https://" posts are checked against instead of the
// system's store (a listing service with a certificate of its own CA, or a test's).
constexpr const char* kCaFileVariable = "PARLEYVOX_CA_FILE";

// The central service's URL: `override_value` (the environment variable's value, null when it
// is not set) when it is not empty, else kListingUrl.
std::string ListingUrl(const char* override_value);

// Returns `text` with `replacement` in place of every `pattern` character (an empty
// replacement removes them).
std::string ReplaceChar(char pattern, const std::string& replacement, const std::string& text);
// Every space as "%20".
std::string EncodeSpaces(const std::string& text);

// What one report says, read from the server at the moment of the report.
struct ListingStatus {
  int32_t TCPPort = 0;
  std::string Servername;
  std::vector<std::string> ClientNames;  // in ClientList order; their count is "clients"
  int32_t MaxClients = 0;
  std::string ServerVersion;
  bool PasswordProtected = false;
  bool Public = false;
  uint32_t Uptime = 0;  // milliseconds, whole days dropped
  std::string Link;
};

// The query, parameters in their fixed order; names pass through EncodeSpaces and lose their
// commas, each followed by ",". Nothing else is escaped.
std::string BuildListingQuery(const ListingStatus& status);

// Reads the status (takes the ClientList lock for the count and the names).
ListingStatus ReadListingStatus(TParleyvoxServer& server);

// Builds the query and posts it. Every error is logged; nothing escapes.
void UpdateStats(TParleyvoxServer& server, HttpClient& http, const std::string& listing_url);
// The two posts of one report; each logs its own error and the other is still made. Once the
// server stops, no post is started.
void PostData(TParleyvoxServer& server, HttpClient& http, const std::string& listing_url, const std::string& query);

}  // namespace pv
