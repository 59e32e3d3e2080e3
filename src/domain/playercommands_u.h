// The commands players send about themselves and about other players:
// channel switch, kicks, flags, voice requests, privileges and account
// registration, with the notices that tell the other players about them.
// Handlers run on the listener thread, which holds the player list lock and
// then the channel lock; senders expect the same locks held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "common/WireLayout.h"
#include "domain/HandlerContext.h"
#include "domain/scopenotify_u.h"

namespace vx {

// Shared by the command handlers of the domain.
//
// The current command's bytes when it is at least `length` long; a shorter
// one raises EPacket "Stream read error", which the handler's edge logs.
const uint8_t* CommandPayload(const THandlerContext& listener, size_t length);
// Answers the current command with CMD_sc_ErrorPacket and the error number.
void RefuseCommand(THandlerContext& listener, int32_t errorNumber);
// The same with CHANNELERR_WRONG_PASSWORD and the channel that refused.
void RefuseChannelPassword(THandlerContext& listener, int32_t channelID);
// Queues a notice of the code and size to every player (in list order) for
// which `wanted` holds; `fill` writes the payload into the zeroed packet.
void NotifyPlayers(TServerState& server, int16_t code, size_t size,
                   const std::function<bool(const TClientObject&)>& wanted,
                   const std::function<void(uint8_t*)>& fill) VX_REQUIRES(server.Players.Lock);
// The same for every player in view of the subject (null: nobody, except on
// a clan server, where everybody is in view).
void NotifyPlayersInView(TServerState& server, const TClientObject* subject, int16_t code,
                         size_t size, const std::function<void(uint8_t*)>& fill)
    VX_REQUIRES(server.Players.Lock, *server.Channels);

// The operations behind the player commands, for any sender: a player of
// the server (the handlers below) or an administrator who is none of them
// (PlayerID 0, the web console), whose id the notices then carry as 0. Each
// checks the sender's rights and the rules, changes the records and sends
// the notices; 0, or the refusal's error code with nothing changed. Bit
// numbers above 15 raise EPacket.
int32_t KickPlayer(TServerState& server, const TClientObject& sender, uint32_t targetID,
                   std::string_view reason) VX_REQUIRES(server.Players.Lock, *server.Channels);
// Moves the target to the default channel with the kicked-from-channel notice.
int32_t KickPlayerFromChannel(TServerState& server, const TClientObject& sender, uint32_t targetID,
                              std::string_view reason)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
int32_t ChangeChannelPrivilege(TServerState& server, const TClientObject& sender, uint32_t targetID,
                               uint8_t action, uint8_t bitNumber)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Needs a server admin; revoking SERVERPRIV_REGISTERED deletes the account.
int32_t ChangeServerPrivilege(TServerState& server, const TClientObject& sender, uint32_t targetID,
                              uint8_t action, uint8_t bitNumber)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Puts the player into the existing channel as its own switch does (flags,
// the channel privileges of the new place, the notices, the removal of the
// temporary channel left empty), without the join checks, which callers
// make first where they apply.
void SwitchPlayerChannel(TServerState& server, TClientObject& player, int32_t newChannelID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);

// A server admin puts another player into a channel, past its password
// and player limit as into his own; the player sees his own switch.
int32_t MovePlayer(TServerState& server, const TClientObject& sender, uint32_t targetID,
                   int32_t channelID) VX_REQUIRES(server.Players.Lock, *server.Channels);

// Handlers.
void CMD_cs_PlayerKick(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerKickFromChannel(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerChannelSwitch(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerFlagsChanged(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerRequestVoice(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerChangeChannelPrivilege(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerChangePrivilege(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerRegister(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerAdminRegister(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

// Notices about player P (unknown ids send nothing). Recipients are the
// players in view of P unless said otherwise.
void CMD_sc_NotifyPlayerKickedFromChannel(TServerState& server, uint32_t playerID,
                                          int32_t oldChannelID, int32_t newChannelID,
                                          uint16_t newChannelPrivileges, std::string_view reason)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Clan servers: every player gets the switch notice. Public servers: P gets
// it, the players left behind in the old channel see P leave (reason 6), the
// players in view of P's new place see P enter, and P gets the players now
// in view in CMD_sc_NotifyPlayersInSwitchedChannel. Call after P moved.
void CMD_sc_NotifyPlayerSwitchedChannel(TServerState& server, uint32_t playerID,
                                        int32_t oldChannelID, int32_t newChannelID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyPlayerFlagsChanged(TServerState& server, uint32_t playerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyPlayerRequestedVoice(TServerState& server, uint32_t playerID,
                                       std::string_view message)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyPlayerChannelPrivilegeChanged(TServerState& server, uint32_t playerID,
                                                uint8_t action, uint8_t bit,
                                                uint32_t actingPlayerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyPlayerPrivilegesChanged(TServerState& server, uint32_t playerID, uint8_t action,
                                          uint8_t bit, uint32_t actingPlayerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// To P only: the player entries of every other player in view of P, ten per
// packet, the last packet with the remainder.
void CMD_sc_NotifyPlayersInSwitchedChannel(TServerState& server, uint32_t playerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_PlayerAdminRegisteredOK(TServerState& server, const TClientObject& recipient)
    VX_REQUIRES(server.Players.Lock, *server.Channels);

}  // namespace vx
