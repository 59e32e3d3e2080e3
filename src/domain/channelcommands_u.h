// The commands that create, change and remove channels, and the notices that
// tell the players about channel changes. Channel operator and channel admin
// always mean the privileges the sender holds in his current channel,
// whatever channel a command names. Changes stay in memory; the channel
// store writes them when the server stops. Callers hold the player list lock
// and then the channel lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/WireLayout.h"
#include "domain/HandlerContext.h"
#include "domain/playercommands_u.h"

namespace vx {

// Whether the server permits the codec; ids above 4 are not checked.
bool CodecAllowed(const TServerState& server, uint16_t codec);

// A channel as a create or change-all request describes it. Texts longer
// than their fields are cut.
struct TChannelRequest {
  int32_t ChannelID = 0;  // the channel to change (change-all)
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  int32_t Parent = -1;  // where to create it (create); -1: top level
  std::string Name;
  std::string Topic;
  std::string Description;
  std::string Password;
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
};

// The operations behind the channel commands, for any sender: a player of
// the server (the handlers below) or an administrator who is none of them
// (PlayerID 0, the web console). Each checks the sender's rights and the
// rules, changes the tree and sends the notices, with the sender's id as
// the acting player; 0, or the refusal's error code with nothing changed.
//
// Creates the channel (codec, creation rights, the channel list's own
// checks) and announces it, after the channel that lost the default flag;
// what the creating player gains is left to the caller.
int32_t CreateChannel(TServerState& server, const TClientObject& sender,
                      const TChannelRequest& request, int32_t& newID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Removes an empty channel tree that is not the default channel's.
int32_t DestroyChannel(TServerState& server, const TClientObject& sender, int32_t channelID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Sets every field but the parent, each change announced.
int32_t ChangeChannelAll(TServerState& server, const TClientObject& sender,
                         const TChannelRequest& request)
    VX_REQUIRES(server.Players.Lock, *server.Channels);

// Handlers.
void CMD_cs_ChannelCreate(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangePassword(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeProperties(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeName(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeTopic(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeDescription(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelDestroy(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeMaxUsers(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeAll(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_ChannelChangeOrder(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

// Notices about a channel with the player who caused them; a channel that
// does not exist sends nothing. Created and properties go to every player,
// the others to the players in view of the changer (to every player when
// the changer is 0).
void CMD_sc_NotifyChannelCreated(TServerState& server, int32_t channelID, uint32_t creatorID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
// Besides the notice, the players in the channel lose a voice request,
// operator and voice when the channel is not moderated (each announced).
void CMD_sc_NotifyChannelPropertiesChanged(TServerState& server, int32_t channelID,
                                           uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyChannelNameChanged(TServerState& server, int32_t channelID, uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyChannelTopicChanged(TServerState& server, int32_t channelID, uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyChannelDescriptionChanged(TServerState& server, int32_t channelID,
                                            uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyChannelMaxUsersChanged(TServerState& server, int32_t channelID,
                                         uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);
void CMD_sc_NotifyChannelOrderChanged(TServerState& server, int32_t channelID, uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels);

}  // namespace vx
