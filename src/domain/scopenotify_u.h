// Notices that tell players about other players entering and leaving their
// view, and about destroyed channels, with the packet builder they share.
// Callers hold the server's player list lock and then the channel lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "common/Packets.h"
#include "domain/permissions_u.h"
#include "transport/clientobject_u.h"

namespace vx {

class TServerObject;

// Command codes of the protocol; the handlers and senders carry the same
// names as functions.
namespace cmd {
constexpr int16_t CMD_cs_LoginStep3 = 5;
constexpr int16_t CMD_cs_PlayerQuit = 300;
constexpr int16_t CMD_sc_LoginStep4 = 6;
constexpr int16_t CMD_sc_LoginStep5 = 7;
constexpr int16_t CMD_sc_LoginStep6 = 8;
constexpr int16_t CMD_sc_NotifyPlayerEnteredScope = 0x0064;
constexpr int16_t CMD_sc_NotifyPlayerLeftScope = 0x0065;
constexpr int16_t CMD_sc_NotifyPlayerKickedFromChannel = 0x0066;
constexpr int16_t CMD_sc_NotifyPlayerSwitchedChannel = 0x0067;
constexpr int16_t CMD_sc_NotifyPlayerFlagsChanged = 0x0068;
constexpr int16_t CMD_sc_NotifyPlayerRequestedVoice = 0x0069;
constexpr int16_t CMD_sc_NotifyPlayerChannelPrivilegeChanged = 0x006A;
constexpr int16_t CMD_sc_NotifyPlayerPrivilegesChanged = 0x006B;
constexpr int16_t CMD_sc_NotifyPlayersInSwitchedChannel = 0x006C;
constexpr int16_t CMD_sc_NotifyChannelCreated = 0x006E;
constexpr int16_t CMD_sc_NotifyChannelNameChanged = 0x006F;
constexpr int16_t CMD_sc_NotifyChannelTopicChanged = 0x0070;
constexpr int16_t CMD_sc_NotifyChannelPropertiesChanged = 0x0071;
constexpr int16_t CMD_sc_NotifyChannelDescriptionChanged = 0x0072;
constexpr int16_t CMD_sc_NotifyChannelDestroyed = 0x0073;
constexpr int16_t CMD_sc_NotifyChannelMaxUsersChanged = 0x0074;
constexpr int16_t CMD_sc_NotifyChannelOrderChanged = 0x0075;
constexpr int16_t CMD_sc_NotifyTextMessage = 0x0082;
}  // namespace cmd

// A zero-filled command packet of the given size addressed to the recipient.
std::unique_ptr<TPacket> NewCommandPacket(int16_t code, size_t size,
                                          const TClientObject& recipient);

// The server settings the permission rules follow.
TServerRules RulesOf(const TServerObject& server);

// Finds a player of the server by id (null for 0 or an unknown id).
TClientObject* FindPlayer(TServerObject& server, uint32_t playerID);

// Tells every player in view of P, except P, that P is here.
void NotifyPlayerEnteredScope(TServerObject& server, uint32_t playerID);
// Tells every player in view of P, P included, that P left; P's own copy is
// the last packet of its connection. Sent once per player at most.
void NotifyPlayerLeftScope(TServerObject& server, uint32_t playerID, uint16_t reason,
                           std::string_view reasonText, uint32_t actingPlayerID);
// Tells every player that the channel is gone (nothing for a negative id).
void NotifyChannelDestroyed(TServerObject& server, int32_t channelID, uint32_t actingPlayerID);
// Removes the channel (or with -1 every channel) that is temporary, top-level
// and empty, announcing each destroyed id.
void ClearChannelUpAndAnnounce(TServerObject& server, int32_t channelID, uint32_t actingPlayerID);

// Stopping a server: every player, last to first, gets its own left notice
// with reason 4 as the last packet of its connection and is removed.
void RemoveAllClients(TServerObject& server);

}  // namespace vx
