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

#include "domain/playercommands_u.h"

namespace vx {

class TVXUDPListener;
class TServerObject;

namespace cmd {
constexpr int16_t CMD_cs_ChannelCreate = 0x00C9;
constexpr int16_t CMD_cs_ChannelChangePassword = 0x00CB;
constexpr int16_t CMD_sc_ChannelPasswordChanged = 0x00CC;
constexpr int16_t CMD_cs_ChannelChangeProperties = 0x00CD;
constexpr int16_t CMD_cs_ChannelChangeName = 0x00CE;
constexpr int16_t CMD_cs_ChannelChangeTopic = 0x00CF;
constexpr int16_t CMD_cs_ChannelChangeDescription = 0x00D0;
constexpr int16_t CMD_cs_ChannelDestroy = 0x00D1;
constexpr int16_t CMD_cs_ChannelChangeMaxUsers = 0x00D2;
constexpr int16_t CMD_cs_ChannelChangeAll = 0x00D3;
constexpr int16_t CMD_cs_ChannelChangeOrder = 0x00D4;
}  // namespace cmd

// Lengths of the channel commands.
constexpr size_t ChannelCreateSize = 226;
constexpr size_t ChannelChangePasswordSize = 58;
constexpr size_t ChannelChangePropertiesSize = 32;
constexpr size_t ChannelChangeNameSize = 58;
constexpr size_t ChannelChangeTopicSize = 58;
constexpr size_t ChannelChangeDescriptionSize = 128;
constexpr size_t ChannelDestroySize = 28;
constexpr size_t ChannelChangeMaxUsersSize = 30;
constexpr size_t ChannelChangeAllSize = 230;
constexpr size_t ChannelChangeOrderSize = 30;

// Lengths of the notices.
constexpr size_t NotifyChannelCreatedSize = 204;
constexpr size_t NotifyChannelPropertiesChangedSize = 36;
constexpr size_t NotifyChannelTextChangedSize = 62;  // name and topic
constexpr size_t NotifyChannelDescriptionChangedSize = 132;
constexpr size_t NotifyChannelNumberChangedSize = 34;  // max users and order
constexpr size_t ChannelPasswordChangedSize = 28;

// Refusals of the channel commands besides those of the channel list.
constexpr int32_t CHANNELERR_CODEC_NOT_ALLOWED = -108;
constexpr int32_t CHANNELERR_SUBCHANNEL_PROPERTIES = -123;

// Whether the server permits the codec; ids above 4 are not checked.
bool CodecAllowed(const TServerObject& server, uint16_t codec);

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
int32_t CreateChannel(TServerObject& server, const TClientObject& sender,
                      const TChannelRequest& request, int32_t& newID);
// Removes an empty channel tree that is not the default channel's.
int32_t DestroyChannel(TServerObject& server, const TClientObject& sender, int32_t channelID);
// Sets every field but the parent, each change announced.
int32_t ChangeChannelAll(TServerObject& server, const TClientObject& sender,
                         const TChannelRequest& request);

// Handlers.
void CMD_cs_ChannelCreate(TVXUDPListener& listener);
void CMD_cs_ChannelChangePassword(TVXUDPListener& listener);
void CMD_cs_ChannelChangeProperties(TVXUDPListener& listener);
void CMD_cs_ChannelChangeName(TVXUDPListener& listener);
void CMD_cs_ChannelChangeTopic(TVXUDPListener& listener);
void CMD_cs_ChannelChangeDescription(TVXUDPListener& listener);
void CMD_cs_ChannelDestroy(TVXUDPListener& listener);
void CMD_cs_ChannelChangeMaxUsers(TVXUDPListener& listener);
void CMD_cs_ChannelChangeAll(TVXUDPListener& listener);
void CMD_cs_ChannelChangeOrder(TVXUDPListener& listener);

// Notices about a channel with the player who caused them; a channel that
// does not exist sends nothing. Created and properties go to every player,
// the others to the players in view of the changer (to every player when
// the changer is 0).
void CMD_sc_NotifyChannelCreated(TServerObject& server, int32_t channelID, uint32_t creatorID);
// Besides the notice, the players in the channel lose a voice request,
// operator and voice when the channel is not moderated (each announced).
void CMD_sc_NotifyChannelPropertiesChanged(TServerObject& server, int32_t channelID,
                                           uint32_t changerID);
void CMD_sc_NotifyChannelNameChanged(TServerObject& server, int32_t channelID, uint32_t changerID);
void CMD_sc_NotifyChannelTopicChanged(TServerObject& server, int32_t channelID, uint32_t changerID);
void CMD_sc_NotifyChannelDescriptionChanged(TServerObject& server, int32_t channelID,
                                            uint32_t changerID);
void CMD_sc_NotifyChannelMaxUsersChanged(TServerObject& server, int32_t channelID,
                                         uint32_t changerID);
void CMD_sc_NotifyChannelOrderChanged(TServerObject& server, int32_t channelID, uint32_t changerID);

}  // namespace vx
