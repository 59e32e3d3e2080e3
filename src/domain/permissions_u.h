// The permission rules: who may administer, who may enter a channel, who is
// heard in a channel and who learns about whom. Pure tests over the player
// records, the channel list and the two server settings that matter.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/WireLayout.h"
#include "domain/ServerSettings.h"

#include "domain/channelobject_u.h"
#include "domain/clientobject_u.h"

namespace vx {

// Channel privileges (TClientObject::ChannelPrivileges): those held in the
// player's current channel, replaced on every channel switch.
constexpr uint16_t CHANPRIV_ADMIN = 0x01;
constexpr uint16_t CHANPRIV_OPERATOR = 0x02;
constexpr uint16_t CHANPRIV_VOICE = 0x04;
constexpr uint16_t CHANPRIV_AUTOOPERATOR = 0x08;
constexpr uint16_t CHANPRIV_AUTOVOICE = 0x10;

// Server privileges (TClientObject::Priviliges).
constexpr uint16_t SERVERPRIV_ADMIN = 0x01;
constexpr uint16_t SERVERPRIV_ALLOWREGISTER = 0x02;
constexpr uint16_t SERVERPRIV_REGISTERED = 0x04;

// Player flags (TClientObject::PlayerFlags).
constexpr uint32_t PLAYERFLAG_KEEPINTREE = 0x01;
constexpr uint32_t PLAYERFLAG_REQUESTVOICE = 0x02;
constexpr uint32_t PLAYERFLAG_BLOCKWHISPERS = 0x04;

// Results of CheckChannelJoin besides the refusals CHANNELERR_NOT_FOUND,
// CHANNELERR_PASSWORD_REQUIRED and CHANNELERR_FULL.
constexpr int32_t CHANNELJOIN_OK = 0;
constexpr int32_t CHANNELJOIN_WRONG_PASSWORD = 1;

// The two settings of the virtual server that the rules follow.
struct TServerRules {
  uint16_t ServerType = SERVERTYPE_CLAN;
  uint16_t ServerFlags = SERVERFLAG_ANYONE_CREATES_CHANNELS;

  // All players see all players.
  bool IsClanServer() const { return (ServerType & SERVERTYPE_CLAN) != 0; }
  // Speaking into other channels is restricted.
  bool IsPublicServer() const { return (ServerType & SERVERTYPE_PUBLIC) != 0; }
  bool AnyoneMayRegister() const { return (ServerFlags & SERVERFLAG_ANYONE_REGISTERS) != 0; }
  bool AnyoneMayCreateChannels() const {
    return (ServerFlags & SERVERFLAG_ANYONE_CREATES_CHANNELS) != 0;
  }
};

bool IsServerAdmin(const TClientObject& player);
// CHANPRIV_ADMIN or server admin; commands refused answer PERMERR_CHANNEL_ADMIN.
bool HasChannelAdminRights(const TClientObject& player);
// CHANPRIV_OPERATOR, CHANPRIV_ADMIN or server admin; refusals answer PERMERR_OPERATOR.
bool HasOperatorRights(const TClientObject& player);

// Whether a player may enter the channel: CHANNELJOIN_OK,
// CHANNELJOIN_WRONG_PASSWORD, CHANNELERR_NOT_FOUND, CHANNELERR_PASSWORD_REQUIRED
// or CHANNELERR_FULL. A sub-channel is guarded by its parent's password.
int32_t CheckChannelJoin(const TChannels& channels, const TPlayerList& players, int32_t channelId,
                         std::string_view password);

// Whether the speaker is heard in the channel (moderation, and on a public
// server the reach into other channels).
bool CheckPlayerCanSpeakToChannel(const TServerRules& rules, const TChannels& channels,
                                  const TClientObject* speaker, const TChannelRec* channel);

// Whether b learns about a: always on a clan server, otherwise when both sit
// in the same channel family.
bool CheckClientInView(const TServerRules& rules, const TChannels& channels, const TClientObject* a,
                       const TClientObject* b);

// Whether the player may register an account (the register type of the
// server, or SERVERPRIV_ALLOWREGISTER); refusals answer PERMERR_REGISTER.
bool MayRegisterAccount(const TServerRules& rules, const TClientObject& player);

// Whether the sender may create a channel with these flags below parentId
// (-1: top-level) under the server's channel creation mode: 0,
// PERMERR_SERVER_ADMIN or PERMERR_CHANNEL_ADMIN.
int32_t CheckChannelCreateRights(const TServerRules& rules, const TClientObject& sender,
                                 int32_t parentId, uint16_t flags);

}  // namespace vx
