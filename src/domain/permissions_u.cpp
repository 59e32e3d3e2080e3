#include "domain/permissions_u.h"

#include "common/TextN.h"

namespace vx {

namespace {

// The top-level channel of the player's channel family, or none.
const TChannelRec* FamilyOf(const TChannels& channels, const TClientObject& player) {
  const TChannelRec* rec = channels.GetChannelByID(player.ChannelID);
  if (rec != nullptr && !rec->IsTopLevel()) rec = channels.GetChannelByID(rec->Parent);
  return rec;
}

}  // namespace

bool IsServerAdmin(const TClientObject& player) {
  return (player.Priviliges & SERVERPRIV_ADMIN) != 0;
}

bool HasChannelAdminRights(const TClientObject& player) {
  return (player.ChannelPrivileges & CHANPRIV_ADMIN) != 0 || IsServerAdmin(player);
}

bool HasOperatorRights(const TClientObject& player) {
  return (player.ChannelPrivileges & (CHANPRIV_OPERATOR | CHANPRIV_ADMIN)) != 0 ||
         IsServerAdmin(player);
}

int32_t CheckChannelJoin(const TChannels& channels, const TPlayerList& players, int32_t channelId,
                         std::string_view password) {
  const TChannelRec* rec = channels.GetChannelByID(channelId);
  if (rec == nullptr) return CHANNELERR_NOT_FOUND;

  const TChannelRec* guard = rec;
  if (!rec->IsTopLevel()) {
    if (const TChannelRec* parent = channels.GetChannelByID(rec->Parent)) guard = parent;
  }
  const std::string given = CutText(password, TChannelRec::PasswordSize);
  if (given.empty() && !guard->Password.empty()) return CHANNELERR_PASSWORD_REQUIRED;
  if (!guard->Password.empty() && guard->Password != given) return CHANNELJOIN_WRONG_PASSWORD;

  if (GetPlayersInChannel(players, channelId) >= int32_t(rec->MaxUsers)) return CHANNELERR_FULL;
  return CHANNELJOIN_OK;
}

bool CheckPlayerCanSpeakToChannel(const TServerRules& rules, const TChannels& channels,
                                  const TClientObject* speaker, const TChannelRec* channel) {
  if (speaker == nullptr || channel == nullptr) return false;

  if (rules.IsPublicServer() && channel->ChannelID != speaker->ChannelID) {
    // Only the own channel family: the parent of the speaker's channel must
    // be the addressed channel or share its parent (all top-level channels
    // share the parent -1).
    const TChannelRec* current = channels.GetChannelByID(speaker->ChannelID);
    if (current == nullptr) return false;
    if (current->Parent != channel->Parent && current->Parent != channel->ChannelID) return false;
  }

  if ((channel->Flags & CHANNEL_MODERATED) != 0) {
    return (speaker->ChannelPrivileges & (CHANPRIV_ADMIN | CHANPRIV_OPERATOR | CHANPRIV_VOICE)) !=
               0 ||
           IsServerAdmin(*speaker);
  }
  return true;
}

bool CheckClientInView(const TServerRules& rules, const TChannels& channels, const TClientObject* a,
                       const TClientObject* b) {
  if (rules.IsClanServer()) return true;
  if (a == nullptr || b == nullptr) return false;
  const TChannelRec* familyA = FamilyOf(channels, *a);
  return familyA != nullptr && familyA == FamilyOf(channels, *b);
}

bool MayRegisterAccount(const TServerRules& rules, const TClientObject& player) {
  return rules.AnyoneMayRegister() || (player.Priviliges & SERVERPRIV_ALLOWREGISTER) != 0;
}

int32_t CheckChannelCreateRights(const TServerRules& rules, const TClientObject& sender,
                                 int32_t parentId, uint16_t flags) {
  const bool serverAdmin = IsServerAdmin(sender);
  if (!serverAdmin) {
    // Players create temporary channels only, and never the default one.
    if ((flags & CHANNEL_UNREGISTERED) == 0) return PERMERR_SERVER_ADMIN;
    if ((flags & CHANNEL_DEFAULT) != 0) return PERMERR_SERVER_ADMIN;
  }
  if (!rules.AnyoneMayCreateChannels()) {
    if (parentId == -1 && !serverAdmin) return PERMERR_SERVER_ADMIN;
    if (!HasChannelAdminRights(sender)) return PERMERR_CHANNEL_ADMIN;
  } else if (parentId != -1 && !HasChannelAdminRights(sender)) {
    return PERMERR_CHANNEL_ADMIN;
  }
  return 0;
}

}  // namespace vx
