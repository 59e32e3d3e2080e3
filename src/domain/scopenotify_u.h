// Notices that tell players about other players entering and leaving their
// view, and about destroyed channels, with the packet builder they share.
// Callers hold the server's player list lock and then the channel lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "common/Packets.h"
#include "common/WireLayout.h"
#include "domain/ServerState.h"
#include "domain/clientobject_u.h"
#include "domain/permissions_u.h"

namespace vx {

// A zero-filled command packet of the given size addressed to the recipient.
std::unique_ptr<TPacket> NewCommandPacket(int16_t code, size_t size,
                                          const TClientObject& recipient);

// CMD_sc_NotifyPlayerLeftScope about the player to the recipient, with an
// empty reason text.
std::unique_ptr<TPacket> NewLeftScopeNotice(const TClientObject& recipient, uint32_t playerID,
                                            uint16_t reason, uint32_t actingPlayerID);

// The server settings the permission rules follow.
TServerRules RulesOf(const TServerState& server);

// Finds a player of the server by id (null for 0 or an unknown id).
TClientObject* FindPlayer(TServerState& server, uint32_t playerID) VX_REQUIRES(server.Players.Lock);

// Tells every player in view of P, except P, that P is here.
void NotifyPlayerEnteredScope(TServerState& server, uint32_t playerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Tells every player in view of P, P included, that P left; P's own copy is
// the last packet of its connection. Sent once per player at most.
void NotifyPlayerLeftScope(TServerState& server, uint32_t playerID, uint16_t reason,
                           std::string_view reasonText, uint32_t actingPlayerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Tells every player that the channel is gone (nothing for a negative id).
void NotifyChannelDestroyed(TServerState& server, int32_t channelID, uint32_t actingPlayerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Removes the channel (or with -1 every channel) that is temporary, top-level
// and empty, announcing each destroyed id.
void ClearChannelUpAndAnnounce(TServerState& server, int32_t channelID, uint32_t actingPlayerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);

// Stopping a server: every player, last to first, gets its own left notice
// with reason 4 as the last packet of its connection and is removed.
void RemoveAllClients(TServerState& server);

}  // namespace vx
