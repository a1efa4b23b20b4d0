#include "supervision/web_listing.h"

#include "base/date_time.h"
#include "base/errors.h"
#include "base/ascii.h"
#include "base/event_log.h"
#include "core/server.h"
#include "sessions/server_client.h"
#include "net/http_client.h"

namespace pv {

std::string ListingUrl(const char* override_value) {
  if (override_value != nullptr && override_value[0] != '\0') return override_value;
  return kListingUrl;
}

std::string ReplaceChar(char pattern, const std::string& replacement, const std::string& text) {
  // One pass from left to right; a replacement that holds the pattern is not searched again.
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == pattern)
      out += replacement;
    else
      out += c;
  }
  return out;
}

std::string EncodeSpaces(const std::string& text) { return ReplaceChar(' ', "%20", text); }

std::string BuildListingQuery(const ListingStatus& status) {
  std::string users = "&user=";
  for (const std::string& name : status.ClientNames) {
    // The comma separates the names, so a name loses its own.
    users += ReplaceChar(',', "", EncodeSpaces(name));
    users += ',';
  }
  std::string q = "serverport=" + std::to_string(status.TCPPort);
  q += "&servername=" + status.Servername;
  q += "&clients=" + std::to_string(status.ClientNames.size());
  q += "&maxclients=" + std::to_string(status.MaxClients);
  q += "&serverversion=" + status.ServerVersion;
  if (status.PasswordProtected) q += "&passwordprotected=1";
  if (status.Public) q += "&public=1";
  q += "&uptime=" + std::to_string(status.Uptime);
  q += "&link=" + status.Link;
  q += users;
  return q;
}

ListingStatus ReadListingStatus(TParleyvoxServer& server) {
  ListingStatus status;
  const Settings& config = server.Config;
  status.TCPPort = config.TCPPort;
  status.Servername = config.Servername;
  {
    // Count and names under one hold of the lock, so they agree with each other.
    Locked clients(server.ClientList);
    for (const SessionPtr& session : *clients) status.ClientNames.push_back(session->ClientName);
  }
  status.MaxClients = config.MaxClients;
  status.ServerVersion = config.ServerVersion;
  status.PasswordProtected = !server.ServerPassword().empty();
  status.Public = config.ParleyvoxSite_DisplayInWebList;
  // Measured on the steady clock: setting the wall clock back cannot make the uptime negative.
  status.Uptime = MillisecondsOfDay(SteadyNow() - server.StartSteady);
  status.Link = config.WebPostLinkUrl;
  return status;
}

void UpdateStats(TParleyvoxServer& server, HttpClient& http, const std::string& listing_url) {
  try {
    PostData(server, http, listing_url, BuildListingQuery(ReadListingStatus(server)));
  } catch (const std::exception& e) {
    WriteLog(CaughtLine("in: TPingThread.UpdateStats exception ", e), 0);
  }
}

namespace {

// The operator's address is usable when it is more than the bare scheme that an empty
// setting is normalised to.
bool UsableUserUrl(const std::string& url) {
  return !url.empty() && AsciiUpper(url) != "HTTP://";
}

}  // namespace

void PostData(TParleyvoxServer& server, HttpClient& http, const std::string& listing_url, const std::string& query) {
  try {
    const Settings& config = server.Config;
    std::string encoded = EncodeSpaces(query);
    if (config.ParleyvoxSite_Active && !http.StopRequested()) {
      try {
        http.Post(listing_url + "?" + encoded);
        Count(server.Metrics.ListingPostsCentralOk);
      } catch (const std::exception& e) {
        Count(server.Metrics.ListingPostsCentralFailed);
        WriteLog(CaughtLine("in: TPingThread.PostData (Parleyvox) exception ", e), 1);
      }
    }
    // The operator's address is used as written: "?" and the query follow even when it holds
    // a query of its own.
    if (UsableUserUrl(config.WebPostURL) && !http.StopRequested()) {
      try {
        http.Post(config.WebPostURL + "?" + encoded);
        Count(server.Metrics.ListingPostsCustomOk);
      } catch (const std::exception& e) {
        Count(server.Metrics.ListingPostsCustomFailed);
        WriteLog(CaughtLine("in: TPingThread.PostData (UserUrl) exception ", e), 1);
      }
    }
  } catch (const std::exception& e) {
    WriteLog(CaughtLine("in: TPingThread.PostData exception ", e), 0);
  }
}

}  // namespace pv
