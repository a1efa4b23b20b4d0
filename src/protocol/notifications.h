// Notifications and command replies: one sending operation per packet kind, each building the
// packet for one recipient, queuing it and flushing at once; and the broadcasts with their
// recipient rules. A number that does not fit its field raises ERangeError and nothing is sent
// (a broadcast then ends there, its lock released).
//
// Broadcasts queue under the ClientList lock (taking each recipient's out-queue lock inside it)
// and write only after releasing it; no socket write ever waits for a client. The single sends
// write at once and must not be called with ClientList or RoomList held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/server.h"
#include "protocol/codes.h"
#include "protocol/rooms.h"
#include "sessions/server_client.h"

namespace pv {

// Sessions with packets queued whose bytes are to go out once the caller's locks are released.
using PendingFlush = std::vector<SessionPtr>;
void FlushAll(PendingFlush& sessions);

// To one recipient.
void SendPlayerChangedRoom(TServerClient& to, int64_t player_id, int64_t room_id);
void SendPlayerJoined(TServerClient& to, int64_t player_id, int64_t room_id, const std::string& name);
void SendPlayerLeft(TServerClient& to, int64_t player_id, LeaveReason reason);
void SendRoomCreated(TServerClient& to, int64_t room_id, const std::string& name);
void SendRoomDeleted(TServerClient& to, int64_t room_id);
void SendPlayerIsAdmin(TServerClient& to, int64_t player_id);
void SendCommandReply(TServerClient& to, int64_t result);

// To every session in ClientList that the packet's rule admits, in list order.
void BroadcastPlayerJoined(TParleyvoxServer& server, const TServerClient& joined);      // all but the new one
void BroadcastPlayerLeft(TParleyvoxServer& server, const TServerClient& left, LeaveReason reason);  // all
void BroadcastPlayerChangedRoom(TParleyvoxServer& server, const TServerClient& mover, int64_t room_id);  // all
void BroadcastPlayerIsAdmin(TParleyvoxServer& server, const TServerClient& admin);  // all but "1.2.0" clients
void BroadcastRoomCreated(TParleyvoxServer& server, const RoomRecord& room);        // all
// Only queued: RoomList is held by the caller, so the recipients are added to `later`, which the
// caller flushes once it has released the lock.
void BroadcastRoomDeleted(TParleyvoxServer& server, const RoomRecord& room, PendingFlush& later);  // all

}  // namespace pv
