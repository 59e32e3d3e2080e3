#include "domain/channelcommands_u.h"

#include <memory>
#include <string>
#include <vector>

#include "common/TextN.h"
#include "domain/HandlerContext.h"
#include "domain/ServerState.h"
#include "domain/channelobject_u.h"
#include "domain/permissions_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

bool IsRegistered(const TClientObject& player) {
  return (player.Priviliges & SERVERPRIV_REGISTERED) != 0;
}

// The channel a single-value command names (TChannelValueLayout), when the
// sender may change it (operator rights); null after the refusal was sent.
TChannelRec* ChannelToChange(THandlerContext& l, const uint8_t* p) {
  TChannelRec* channel =
      l.Server.Channels->GetChannelByID(GetLE32s(p + TChannelValueLayout::ChannelID));
  if (channel == nullptr) {
    RefuseCommand(l, CHANNELERR_NOT_FOUND);
    return nullptr;
  }
  if (!HasOperatorRights(*l.CurrentClient)) {
    RefuseCommand(l, PERMERR_OPERATOR);
    return nullptr;
  }
  return channel;
}

// A command that sets one value of the channel it names from the bytes of
// the value (TChannelValueLayout) and announces it with the notice.
void ChangeOneValue(THandlerContext& l, size_t length,
                    void (*notify)(TServerState&, int32_t, uint32_t),
                    void (*store)(TChannelRec&, const uint8_t*)) {
  const uint8_t* p = CommandPayload(l, length);
  if (l.CurrentClient == nullptr) return;
  TChannelRec* channel = ChannelToChange(l, p);
  if (channel == nullptr) return;
  store(*channel, p + TChannelValueLayout::Value);
  notify(l.Server, channel->ChannelID, l.CurrentClient->PlayerID);
}

// The fields that a create request and a change-all request share, from a
// layout that names them (TChannelCreateLayout, TChannelRecordLayout) whose
// offsets count from base.
template <typename TLayout>
void ReadChannelFields(const uint8_t* base, TChannelRequest& request) {
  request.Flags = GetLE16(base + TLayout::Flags);
  request.Codec = GetLE16(base + TLayout::Codec);
  request.Name = GetTextN(base + TLayout::Name, TChannelRec::NameSize);
  request.Topic = GetTextN(base + TLayout::Topic, TChannelRec::TopicSize);
  request.Description = GetTextN(base + TLayout::Description, TChannelRec::DescriptionSize);
  request.Order = GetLE16(base + TLayout::Order);
  request.MaxUsers = GetLE16(base + TLayout::MaxUsers);
}

// Takes the default flag from the channel that carries it (unless that is
// the channel about to receive it) and announces the change.
void MoveDefaultFlagAway(TServerState& server, int32_t newDefaultID, uint32_t changerID)
    VX_REQUIRES(server.Players.Lock, *server.Channels) {
  TChannels& channels = *server.Channels;
  const int32_t oldDefaultID = channels.GetDefaultChannelID();
  if (oldDefaultID < 0 || oldDefaultID == newDefaultID) return;
  channels.GetChannelByID(oldDefaultID)->Flags &= uint16_t(~CHANNEL_DEFAULT);
  CMD_sc_NotifyChannelPropertiesChanged(server, oldDefaultID, changerID);
}

// A notice with the channel id, one value (fill writes it at the place it is
// given) and the changer's id (TNotifyChannelValueLayout), to the players in view of the changer; a
// change from outside the server (changer 0, an administrator who is no
// player) to every player.
void NotifyChannelChange(TServerState& server, int16_t code, size_t size, int32_t channelID,
                         uint32_t changerID, const std::function<void(uint8_t*)>& fill)
    VX_REQUIRES(server.Players.Lock, *server.Channels) {
  if (server.Channels->GetChannelByID(channelID) == nullptr) return;
  const auto write = [&](uint8_t* p) {
    using Out = TNotifyChannelValueLayout;
    PutLE32(p + Out::ChannelID, uint32_t(channelID));
    fill(p + Out::Value);
    PutLE32(p + Out::ChangerID(size), changerID);
  };
  if (changerID == 0) {
    NotifyPlayers(
        server, code, size, [](const TClientObject&) { return true; }, write);
  } else {
    NotifyPlayersInView(server, FindPlayer(server, changerID), code, size, write);
  }
}

}  // namespace

bool CodecAllowed(const TServerState& server, uint16_t codec) {
  const auto settings = server.Settings();
  switch (codec) {
    case CODEC_CELP51:
      return settings->AllowCodecCelp51;
    case CODEC_CELP63:
      return settings->AllowCodecCelp63;
    case CODEC_GSM148:
      return settings->AllowCodecGSM148;
    case CODEC_GSM164:
      return settings->AllowCodecGSM164;
    case CODEC_WINDOWSCELP52:
      return settings->AllowCodecWindowsCELP52;
    default:
      return true;
  }
}

// --- Notices ----------------------------------------------------------------

void CMD_sc_NotifyChannelCreated(TServerState& server, int32_t channelID, uint32_t creatorID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  if (channel == nullptr) return;
  NotifyPlayers(
      server, cmd::CMD_sc_NotifyChannelCreated, NotifyChannelCreatedSize,
      [](const TClientObject&) { return true; },
      [&](uint8_t* p) {
        channel->WriteWireRecord(p + TNotifyChannelCreatedLayout::Record);
        PutLE32(p + TNotifyChannelCreatedLayout::CreatorID, creatorID);
      });
}

void CMD_sc_NotifyChannelPropertiesChanged(TServerState& server, int32_t channelID,
                                           uint32_t changerID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  if (channel == nullptr) return;
  const bool moderated = (channel->Flags & CHANNEL_MODERATED) != 0;
  for (const auto& player : server.Players.Items) {
    if (!player) continue;
    auto packet = NewCommandPacket(cmd::CMD_sc_NotifyChannelPropertiesChanged,
                                   NotifyChannelPropertiesChangedSize, *player);
    uint8_t* p = packet->Data();
    using Out = TNotifyChannelPropertiesChangedLayout;
    PutLE32(p + Out::ChannelID, uint32_t(channelID));
    PutLE16(p + Out::Flags, channel->Flags);
    PutLE16(p + Out::Codec, channel->Codec);
    PutLE32(p + Out::ChangerID, changerID);
    server.PacketBuffer->SendPacket(std::move(packet), false);
    if (player->ChannelID != channelID || moderated) continue;
    // Voice requests, operators and voice mean nothing in a channel that is
    // not moderated (any more).
    if (player->PlayerFlags & PLAYERFLAG_REQUESTVOICE) {
      player->PlayerFlags &= ~PLAYERFLAG_REQUESTVOICE;
      CMD_sc_NotifyPlayerFlagsChanged(server, player->PlayerID);
    }
    if (player->ChannelPrivileges & CHANPRIV_OPERATOR) {
      player->ChannelPrivileges &= uint16_t(~CHANPRIV_OPERATOR);
      CMD_sc_NotifyPlayerChannelPrivilegeChanged(server, player->PlayerID, PRIVACTION_SERVER_REVOKE,
                                                 1, 0);
    }
    if (player->ChannelPrivileges & CHANPRIV_VOICE) {
      player->ChannelPrivileges &= uint16_t(~CHANPRIV_VOICE);
      CMD_sc_NotifyPlayerChannelPrivilegeChanged(server, player->PlayerID, PRIVACTION_SERVER_REVOKE,
                                                 2, 0);
    }
  }
}

void CMD_sc_NotifyChannelNameChanged(TServerState& server, int32_t channelID, uint32_t changerID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  NotifyChannelChange(server, cmd::CMD_sc_NotifyChannelNameChanged, NotifyChannelTextChangedSize,
                      channelID, changerID,
                      [&](uint8_t* v) { PutTextN(v, TChannelRec::NameSize, channel->Name); });
}

void CMD_sc_NotifyChannelTopicChanged(TServerState& server, int32_t channelID, uint32_t changerID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  NotifyChannelChange(server, cmd::CMD_sc_NotifyChannelTopicChanged, NotifyChannelTextChangedSize,
                      channelID, changerID,
                      [&](uint8_t* v) { PutTextN(v, TChannelRec::TopicSize, channel->Topic); });
}

void CMD_sc_NotifyChannelDescriptionChanged(TServerState& server, int32_t channelID,
                                            uint32_t changerID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  NotifyChannelChange(server, cmd::CMD_sc_NotifyChannelDescriptionChanged,
                      NotifyChannelDescriptionChangedSize, channelID, changerID, [&](uint8_t* v) {
                        PutTextN(v, TChannelRec::DescriptionSize, channel->Description);
                      });
}

void CMD_sc_NotifyChannelMaxUsersChanged(TServerState& server, int32_t channelID,
                                         uint32_t changerID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  NotifyChannelChange(server, cmd::CMD_sc_NotifyChannelMaxUsersChanged,
                      NotifyChannelNumberChangedSize, channelID, changerID,
                      [&](uint8_t* v) { PutLE16(v, channel->MaxUsers); });
}

void CMD_sc_NotifyChannelOrderChanged(TServerState& server, int32_t channelID, uint32_t changerID) {
  const TChannelRec* channel = server.Channels->GetChannelByID(channelID);
  NotifyChannelChange(server, cmd::CMD_sc_NotifyChannelOrderChanged, NotifyChannelNumberChangedSize,
                      channelID, changerID, [&](uint8_t* v) { PutLE16(v, channel->Order); });
}

// --- Handlers ---------------------------------------------------------------

int32_t CreateChannel(TServerState& server, const TClientObject& sender,
                      const TChannelRequest& request, int32_t& newID) {
  TChannels& channels = *server.Channels;
  auto record = std::make_unique<TChannelRec>();
  record->Flags = request.Flags;
  record->Codec = request.Codec;
  record->Parent = request.Parent;
  record->Name = request.Name;
  record->Topic = request.Topic;
  record->Description = request.Description;
  record->Password = request.Password;
  record->Order = request.Order;
  record->MaxUsers = request.MaxUsers;

  if (!CodecAllowed(server, record->Codec)) return CHANNELERR_CODEC_NOT_ALLOWED;
  const int32_t rights =
      CheckChannelCreateRights(RulesOf(server), sender, record->Parent, record->Flags);
  if (rights != 0) return rights;
  const int32_t id = channels.AddChannel(std::move(record));
  if (id < 0) return id;
  newID = id;

  // The channel that lost the default flag, if any, then the new one.
  const std::vector<int32_t> changed = channels.ChangedChannels();
  for (int32_t changedID : changed) {
    CMD_sc_NotifyChannelPropertiesChanged(server, changedID, sender.PlayerID);
  }
  CMD_sc_NotifyChannelCreated(server, newID, sender.PlayerID);
  return 0;
}

void CMD_cs_ChannelCreate(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, ChannelCreateSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  TChannels& channels = *l.Server.Channels;

  TChannelRequest request;
  ReadChannelFields<TChannelCreateLayout>(p, request);
  request.Parent = GetLE32s(p + TChannelCreateLayout::Parent);
  request.Password = GetTextN(p + TChannelCreateLayout::Password, TChannelRec::PasswordSize);
  int32_t newID = -1;
  const int32_t result = CreateChannel(l.Server, *sender, request, newID);
  if (result != 0) return RefuseCommand(l, result);

  // The creator of a temporary top-level channel goes into it and, unless
  // he has the rights anyway, administers it.
  const TChannelRec& created = *channels.GetChannelByID(newID);
  const int32_t oldID = sender->ChannelID;
  if (!created.IsRegistered() && created.IsTopLevel()) {
    sender->ChannelID = newID;
    l.Server.Players.Changed();
    CMD_sc_NotifyPlayerSwitchedChannel(l.Server, sender->PlayerID, oldID, newID);
  }
  if (!HasChannelAdminRights(*sender) && created.IsTopLevel()) {
    sender->ChannelPrivileges |= CHANPRIV_ADMIN;
    CMD_sc_NotifyPlayerChannelPrivilegeChanged(l.Server, sender->PlayerID, PRIVACTION_SERVER_GRANT,
                                               0, 0);
  }
  const uint16_t stored = IsRegistered(*sender) ? uint16_t(sender->ChannelPrivileges | 0x8000)
                                                : sender->ChannelPrivileges;
  channels.SetUserAttrib(sender->ChannelID, sender->LogInName, stored);
  ClearChannelUpAndAnnounce(l.Server, oldID, sender->PlayerID);
}

int32_t DestroyChannel(TServerState& server, const TClientObject& sender, int32_t channelID) {
  TChannels& channels = *server.Channels;
  const TChannelRec* channel = channels.GetChannelByID(channelID);
  if (channel == nullptr) return CHANNELERR_NOT_FOUND;
  if (channel->IsTopLevel() && !IsServerAdmin(sender)) return PERMERR_SERVER_ADMIN;
  if (!HasChannelAdminRights(sender)) return PERMERR_CHANNEL_ADMIN;
  // The whole tree counts: a top-level channel takes its sub-channels along,
  // and nobody may be left in a channel that no longer exists.
  const int32_t occupied = CheckChannelTreeForPlayers(channels, server.Players.Items, channelID);
  if (occupied != 0) return occupied;
  if (channel->Flags & CHANNEL_DEFAULT) return CHANNELERR_IS_DEFAULT;
  const int32_t result = channels.DeleteChannel(channelID);
  if (result != 0) return result;
  const std::vector<int32_t> destroyed = channels.ChangedChannels();
  for (int32_t gone : destroyed) NotifyChannelDestroyed(server, gone, sender.PlayerID);
  return 0;
}

void CMD_cs_ChannelDestroy(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, ChannelDestroySize);
  if (l.CurrentClient == nullptr) return;
  const int32_t result =
      DestroyChannel(l.Server, *l.CurrentClient, GetLE32s(p + TChannelValueLayout::ChannelID));
  if (result != 0) RefuseCommand(l, result);
}

void CMD_cs_ChannelChangePassword(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, ChannelChangePasswordSize);
  if (l.CurrentClient == nullptr) return;
  TChannelRec* channel = ChannelToChange(l, p);
  if (channel == nullptr) return;
  const std::string password = GetTextN(p + TChannelValueLayout::Value, TChannelRec::PasswordSize);
  if (!channel->IsTopLevel() && !password.empty())
    return RefuseCommand(l, CHANNELERR_SUBCHANNEL_PASSWORD);
  channel->SetPassword(password);
  if (channel->Password.empty())
    channel->Flags &= uint16_t(~CHANNEL_PASSWORD);
  else
    channel->Flags |= CHANNEL_PASSWORD;
  auto reply = NewCommandPacket(cmd::CMD_sc_ChannelPasswordChanged, ChannelPasswordChangedSize,
                                *l.CurrentClient);
  PutLE32(reply->Data() + TChannelPasswordChangedLayout::ChannelID, uint32_t(channel->ChannelID));
  l.Server.PacketBuffer->SendPacket(std::move(reply), false);
  CMD_sc_NotifyChannelPropertiesChanged(l.Server, channel->ChannelID, l.CurrentClient->PlayerID);
}

void CMD_cs_ChannelChangeProperties(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, ChannelChangePropertiesSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  using In = TChannelChangePropertiesLayout;
  TChannelRec* channel = l.Server.Channels->GetChannelByID(GetLE32s(p + In::ChannelID));
  if (channel == nullptr) return RefuseCommand(l, CHANNELERR_NOT_FOUND);
  if (!channel->IsTopLevel()) return RefuseCommand(l, CHANNELERR_SUBCHANNEL_PROPERTIES);
  if (!HasOperatorRights(*sender)) return RefuseCommand(l, PERMERR_OPERATOR);
  const uint16_t flags = GetLE16(p + In::Flags);
  // Without a default channel new players would land nowhere.
  if ((channel->Flags & CHANNEL_DEFAULT) != 0 && (flags & CHANNEL_DEFAULT) == 0)
    return RefuseCommand(l, CHANNELERR_IS_DEFAULT);
  if (flags & CHANNEL_DEFAULT) MoveDefaultFlagAway(l.Server, channel->ChannelID, sender->PlayerID);
  channel->Flags = flags;
  channel->Codec = GetLE16(p + In::Codec);
  CMD_sc_NotifyChannelPropertiesChanged(l.Server, channel->ChannelID, sender->PlayerID);
}

void CMD_cs_ChannelChangeName(THandlerContext& l) {
  ChangeOneValue(l, ChannelChangeNameSize, CMD_sc_NotifyChannelNameChanged,
                 [](TChannelRec& c, const uint8_t* v) { c.SetName(GetTextN(v, c.NameSize)); });
}

void CMD_cs_ChannelChangeTopic(THandlerContext& l) {
  ChangeOneValue(l, ChannelChangeTopicSize, CMD_sc_NotifyChannelTopicChanged,
                 [](TChannelRec& c, const uint8_t* v) { c.SetTopic(GetTextN(v, c.TopicSize)); });
}

void CMD_cs_ChannelChangeDescription(THandlerContext& l) {
  ChangeOneValue(
      l, ChannelChangeDescriptionSize, CMD_sc_NotifyChannelDescriptionChanged,
      [](TChannelRec& c, const uint8_t* v) { c.SetDescription(GetTextN(v, c.DescriptionSize)); });
}

void CMD_cs_ChannelChangeMaxUsers(THandlerContext& l) {
  ChangeOneValue(l, ChannelChangeMaxUsersSize, CMD_sc_NotifyChannelMaxUsersChanged,
                 [](TChannelRec& c, const uint8_t* v) { c.MaxUsers = GetLE16(v); });
}

void CMD_cs_ChannelChangeOrder(THandlerContext& l) {
  ChangeOneValue(l, ChannelChangeOrderSize, CMD_sc_NotifyChannelOrderChanged,
                 [](TChannelRec& c, const uint8_t* v) { c.Order = GetLE16(v); });
}

int32_t ChangeChannelAll(TServerState& server, const TClientObject& sender,
                         const TChannelRequest& request) {
  const uint16_t flags = request.Flags;
  const uint16_t codec = request.Codec;
  const uint16_t order = request.Order;
  const uint16_t maxUsers = request.MaxUsers;
  // Texts as the channel keeps them, so that only real changes are announced.
  const std::string name = CutText(request.Name, TChannelRec::NameSize);
  const std::string topic = CutText(request.Topic, TChannelRec::TopicSize);
  const std::string description = CutText(request.Description, TChannelRec::DescriptionSize);
  const std::string password = CutText(request.Password, TChannelRec::PasswordSize);

  TChannelRec* channel = server.Channels->GetChannelByID(request.ChannelID);
  if (channel == nullptr) return CHANNELERR_NOT_FOUND;
  if ((channel->Flags & CHANNEL_DEFAULT) != 0 && (flags & CHANNEL_DEFAULT) == 0)
    return CHANNELERR_IS_DEFAULT;
  if ((flags & CHANNEL_DEFAULT) != 0 && !IsServerAdmin(sender)) return PERMERR_SERVER_ADMIN;
  if (!HasOperatorRights(sender)) return PERMERR_OPERATOR;
  // The channel store refuses a sub-channel with a password when it loads,
  // so such a channel would be lost at the next start.
  if (!channel->IsTopLevel() && !password.empty()) return CHANNELERR_SUBCHANNEL_PASSWORD;

  const int32_t id = channel->ChannelID;
  const uint32_t changer = sender.PlayerID;
  bool propertiesChanged = false;
  if (flags != channel->Flags || codec != channel->Codec) {
    if (flags & CHANNEL_DEFAULT) MoveDefaultFlagAway(server, id, changer);
    channel->Flags = flags;
    channel->Codec = codec;
    propertiesChanged = true;
  }
  if (name != channel->Name) {
    channel->SetName(name);
    CMD_sc_NotifyChannelNameChanged(server, id, changer);
  }
  if (description != channel->Description) {
    channel->SetDescription(description);
    CMD_sc_NotifyChannelDescriptionChanged(server, id, changer);
  }
  if (maxUsers != channel->MaxUsers) {
    channel->MaxUsers = maxUsers;
    CMD_sc_NotifyChannelMaxUsersChanged(server, id, changer);
  }
  if (order != channel->Order) {
    channel->Order = order;
    CMD_sc_NotifyChannelOrderChanged(server, id, changer);
  }
  if (topic != channel->Topic) {
    channel->SetTopic(topic);
    CMD_sc_NotifyChannelTopicChanged(server, id, changer);
  }
  const bool keepPassword = (flags & CHANNEL_PASSWORD) != 0 && password.empty();
  if (password != channel->Password && !keepPassword) {
    channel->SetPassword(password);
    if (channel->Password.empty())
      channel->Flags &= uint16_t(~CHANNEL_PASSWORD);
    else
      channel->Flags |= CHANNEL_PASSWORD;
    propertiesChanged = true;
  }
  if (propertiesChanged) CMD_sc_NotifyChannelPropertiesChanged(server, id, changer);
  return 0;
}

void CMD_cs_ChannelChangeAll(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, ChannelChangeAllSize);
  if (l.CurrentClient == nullptr) return;
  // A channel wire record (its parent id is ignored), then the password.
  const uint8_t* wire = p + TChannelChangeAllLayout::Record;
  TChannelRequest request;
  ReadChannelFields<TChannelRecordLayout>(wire, request);
  request.ChannelID = GetLE32s(wire + TChannelRecordLayout::ChannelID);
  request.Password = GetTextN(p + TChannelChangeAllLayout::Password, TChannelRec::PasswordSize);
  const int32_t result = ChangeChannelAll(l.Server, *l.CurrentClient, request);
  if (result != 0) RefuseCommand(l, result);
}

}  // namespace vx
