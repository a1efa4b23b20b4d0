// The tests speak the control protocol through the client library pvctl and pvbench use; these
// declarations let test code name its builders and readers without a prefix. A using-declaration
// (not a using-directive) so that the server's own handlers of the same names stay apart.
#pragma once

#include <initializer_list>

#include "pvclient/client_packets.h"

namespace pv::test {

using pv::client::Bytes;
using pv::client::ServerPacket;
using pv::client::ServerInfoMsg;

using pv::client::AdminChangeAdminPassword;
using pv::client::AdminChangeServerPassword;
using pv::client::AdminCreateRoom;
using pv::client::AdminDeleteRoom;
using pv::client::AdminKickPlayer;
using pv::client::AdminLogin;
using pv::client::AdminSaveAsDefaultChannels;
using pv::client::ChangeRoom;
using pv::client::ClientLogin;
using pv::client::ClientReady;
using pv::client::Describe;
using pv::client::Leave;
using pv::client::MakeServerPacket;
using pv::client::ParseLoginAccepted;
using pv::client::ParsePlayerChangedRoom;
using pv::client::ParsePlayerIsAdmin;
using pv::client::ParsePlayerJoined;
using pv::client::ParsePlayerLeft;
using pv::client::ParsePlayerStats;
using pv::client::ParseRoomCreated;
using pv::client::ParseRoomDeleted;
using pv::client::ParseServerInfo;
using pv::client::ParseServerStats;
using pv::client::PlayerStatsReq;
using pv::client::RawCommand;
using pv::client::ServerStatsReq;

// Commands a client sends together, one after the other; Repeated sends one `times` over.
inline Bytes Together(std::initializer_list<Bytes> commands) {
  Bytes all;
  for (const Bytes& command : commands) all.insert(all.end(), command.begin(), command.end());
  return all;
}
inline Bytes Repeated(const Bytes& command, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), command.begin(), command.end());
  return all;
}

}  // namespace pv::test
