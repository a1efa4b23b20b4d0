// Notifications and command replies: one sending operation per packet kind, each building the
// packet for one recipient, queuing it and flushing at once; and the broadcasts with their
// recipient rules. A number that does not fit its field raises ERangeError and nothing is sent
// (a broadcast then ends there, its lock released).
//
// Broadcasts queue under the ClientList lock (taking each recipient's out-queue lock inside it)
// and write only after releasing it; no socket write ever waits for a client. The single sends
// write at once and must not be called with ClientList or RoomList held.
//
// A change that clients are told of is made under the lock its broadcast is queued under
// (ClientList for players, RoomList for rooms), in one hold with the queueing, and ServerInfo is
// queued with both held. So every client hears of the changes in the order they were made, and
// what follows a ServerInfo never contradicts it (a kick cannot overtake the join it undoes).
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

// Flushes its sessions when it goes out of scope, also on an exception: declared before the
// view that holds a list's lock, it writes once that lock has been released.
struct FlushWhenDone {
  FlushWhenDone() = default;
  FlushWhenDone(const FlushWhenDone&) = delete;
  FlushWhenDone& operator=(const FlushWhenDone&) = delete;
  ~FlushWhenDone() { FlushAll(sessions); }
  PendingFlush sessions;
};

// To one recipient.
void SendPlayerChangedRoom(TServerClient& to, int64_t player_id, int64_t room_id);
void SendPlayerJoined(TServerClient& to, int64_t player_id, int64_t room_id, const std::string& name);
void SendPlayerLeft(TServerClient& to, int64_t player_id, LeaveReason reason);
void SendRoomCreated(TServerClient& to, int64_t room_id, const std::string& name);
void SendRoomDeleted(TServerClient& to, int64_t room_id);
void SendPlayerIsAdmin(TServerClient& to, int64_t player_id);
void SendCommandReply(TServerClient& to, int64_t result);

// To every session in ClientList that the packet's rule admits, in list order. With `later`, the
// packets are only queued and the recipients added to it, for the caller to flush once it has
// released its locks; without, they are written before the call returns.
void BroadcastPlayerJoined(TParleyvoxServer& server, const TServerClient& joined,
                           PendingFlush* later = nullptr);  // all but the new one
void BroadcastPlayerLeft(TParleyvoxServer& server, const TServerClient& left, LeaveReason reason,
                         PendingFlush* later = nullptr);  // all
void BroadcastPlayerChangedRoom(TParleyvoxServer& server, const TServerClient& mover, int64_t room_id,
                                PendingFlush* later = nullptr);  // all
void BroadcastPlayerIsAdmin(TParleyvoxServer& server, const TServerClient& admin,
                            PendingFlush* later = nullptr);  // all but "1.2.0" clients
void BroadcastRoomCreated(TParleyvoxServer& server, const RoomRecord& room, PendingFlush* later = nullptr);  // all
void BroadcastRoomDeleted(TParleyvoxServer& server, const RoomRecord& room, PendingFlush* later = nullptr);  // all

// Marks `session` as leaving and tells every session (itself included) with PlayerLeft, in one
// hold of ClientList; false, and nothing sent, when it was leaving already or is no longer listed,
// so however a departure is raced (a leave, kicks, a lost connection) the others hear of it once.
bool TellLeaving(TParleyvoxServer& server, TServerClient& session, LeaveReason reason);

}  // namespace pv
