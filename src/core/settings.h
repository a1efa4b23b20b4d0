// The server's settings: every configuration key with its hard default, plus the values derived
// from them (UDPPort, ServerVersion). Read once at start-up; the two passwords are the only
// values that change while the server runs (administrator commands), and the server guards those.
#pragma once

#include <cstdint>
#include <string>

namespace pv {

constexpr const char* kLayoutVersion = "v1.2.2";
constexpr const char* kProductSite = "http://www.parleyvox.example/";

struct Settings {
  // [Passwords]
  std::string ServerPassword;
  std::string AdminPassword = "vimbo";
  // [General]
  std::string Servername = "Parleyvox Server";
  int32_t MaxClients = 16;
  // [Networking]
  int32_t TCPPort = 8765;
  std::string IP;
  // [Ping]
  int32_t MaxPingTries = 3;
  int32_t PingWaitTime = 15000;
  int32_t IdleTimeBeforePing = 5000;
  // [WebStatus]
  bool WebStatusActive = false;  // key "Active"
  bool ParleyvoxSite_Active = false;
  bool ParleyvoxSite_DisplayInWebList = false;
  std::string WebPostURL;
  std::string WebPostLinkUrl = kProductSite;
  // [Monitoring] Listen: "address:port" of the monitoring endpoint, empty (off) by default.
  // Optional: read when present, never written into the file.
  std::string MonitoringListen;
  // [Security], read only (never written into a new file): datagrams count for a session only
  // from the address of its control connection.
  bool UdpFollowsTcpAddress = true;

  // Derived: always TCPPort + 1, set by the load.
  int32_t UDPPort = 8766;
  // The version text reported to clients and the listing service.
  std::string ServerVersion = kLayoutVersion;
};

}  // namespace pv
