#include "domain/playercommands_u.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/TextN.h"
#include "domain/HandlerContext.h"
#include "domain/ServerState.h"
#include "domain/channelobject_u.h"
#include "domain/permissions_u.h"
#include "domain/zevevira_users_u.h"
#include "host/ZeveVira.h"
#include "host/zevevira_writer_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

// The bit of a privilege set that a command's bit number names; the number
// comes from outside and only 0 to 15 exist.
uint16_t PrivilegeBit(uint8_t bitNumber) {
  if (bitNumber > 15) throw EPacket("Privilege bit number out of range");
  return uint16_t(1u << bitNumber);
}

// A grant sets the bit, a revoke clears it, other actions change nothing.
void ApplyPrivilegeAction(uint16_t& privileges, uint8_t action, uint16_t bit) {
  if (action == PRIVACTION_GRANT) privileges |= bit;
  if (action == PRIVACTION_REVOKE) privileges &= uint16_t(~bit);
}

void SendTo(TServerState& server, std::unique_ptr<TPacket> packet) {
  server.PacketBuffer->SendPacket(std::move(packet), false);
}

// Adds the account and answers the sender once the save has ended, on the
// database writer's thread: `saved` with the sender's record when the
// account is on disk, the error packet when it is not or the store refused
// it. A sender that left meanwhile is not answered. The protocol threads
// never wait for the disk.
void AddAccountThenReply(THandlerContext& l, const TClientObject& account,
                         std::function<void(TServerState&, TClientObject&)> saved) {
  TServerState& server = l.Server;
  const TCommandHeader request = l.CurrentPacket->CommandHeader();
  const int16_t requestCode = request.Code();
  const uint32_t requestSequence = request.Sequence();
  const uint32_t playerID = l.CurrentClient->PlayerID;
  const uint32_t connectionID = l.CurrentClient->ConnectionID;
  auto reply = [&server, requestCode, requestSequence, playerID, connectionID,
                saved = std::move(saved)](const TSaveResult& result) {
    TLockGuard<TMutex> players(server.Players.Lock);
    if (!server.PacketBuffer || !server.Channels) return;
    TLockGuard<TChannels> channels(*server.Channels);
    TClientObject* sender = server.Players.ById(playerID);
    if (sender == nullptr || sender->ConnectionID != connectionID) return;
    if (result.Saved) {
      saved(server, *sender);
    } else {
      SendTo(server, NewErrorPacket(*sender, int16_t(REGISTERERR_ADD_FAILED), requestCode,
                                    requestSequence));
    }
  };
  TZeveVira* db = server.Database();
  if (db == nullptr) return RefuseCommand(l, REGISTERERR_ADD_FAILED);
  // The change is made on the database's writer thread: this thread relays
  // voice and must not wait while the writer holds the database's lock.
  db->Writer().Post([db, serverKey = server.ConfigName, account, reply = std::move(reply)] {
    if (!TZeveViraUsers(*db).AddUser(serverKey, account, reply))
      reply({false, "the account exists or its name cannot be stored"});
  });
}

// Whether the keep-in-tree flag survives a move from old to new: only
// within one channel family (two top-level channels count as one).
bool StaysInTree(const TChannelRec* oldChannel, const TChannelRec& newChannel) {
  if (oldChannel == nullptr) return false;
  return oldChannel->Parent == newChannel.ChannelID || oldChannel->Parent == newChannel.Parent ||
         oldChannel->ChannelID == newChannel.Parent;
}

bool IsRegistered(const TClientObject& player) {
  return (player.Priviliges & SERVERPRIV_REGISTERED) != 0;
}

void FillPrivilegeNotice(uint8_t* p, uint32_t playerID, uint8_t action, uint8_t bit,
                         uint32_t actingPlayerID) {
  using Out = TNotifyPlayerPrivilegeLayout;
  PutLE32(p + Out::PlayerID, playerID);
  p[Out::Action] = action;
  p[Out::BitNumber] = bit;
  PutLE32(p + Out::ActingPlayerID, actingPlayerID);
}

}  // namespace

// --- Shared helpers -----------------------------------------------------------

const uint8_t* CommandPayload(const THandlerContext& l, size_t length) {
  if (!l.CurrentPacket || l.CurrentPacket->Size() < length) throw EPacket("Stream read error");
  return l.CurrentPacket->Data();
}

void RefuseCommand(THandlerContext& l, int32_t errorNumber) {
  TCommandHeader request = l.CurrentPacket->CommandHeader();
  l.SendErrorPacket(int16_t(errorNumber), request.Code(), request.Sequence());
}

void RefuseChannelPassword(THandlerContext& l, int32_t channelID) {
  TCommandHeader request = l.CurrentPacket->CommandHeader();
  l.SendErrorPacket(int16_t(CHANNELERR_WRONG_PASSWORD), request.Code(), request.Sequence(),
                    channelID);
}

void NotifyPlayers(TServerState& server, int16_t code, size_t size,
                   const std::function<bool(const TClientObject&)>& wanted,
                   const std::function<void(uint8_t*)>& fill) {
  for (const auto& recipient : server.Players.Items) {
    if (!recipient || !wanted(*recipient)) continue;
    auto packet = NewCommandPacket(code, size, *recipient);
    fill(packet->Data());
    SendTo(server, std::move(packet));
  }
}

void NotifyPlayersInView(TServerState& server, const TClientObject* subject, int16_t code,
                         size_t size, const std::function<void(uint8_t*)>& fill) {
  const TServerRules rules = RulesOf(server);
  const TChannels& channels = *server.Channels;
  NotifyPlayers(
      server, code, size,
      [&](const TClientObject& recipient) {
        return CheckClientInView(rules, channels, subject, &recipient);
      },
      fill);
}

// --- Notices ----------------------------------------------------------------

void CMD_sc_NotifyPlayerKickedFromChannel(TServerState& server, uint32_t playerID,
                                          int32_t oldChannelID, int32_t newChannelID,
                                          uint16_t newChannelPrivileges, std::string_view reason) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  NotifyPlayersInView(server, subject, cmd::CMD_sc_NotifyPlayerKickedFromChannel,
                      NotifyPlayerKickedFromChannelSize, [&](uint8_t* p) {
                        using Out = TNotifyPlayerKickedFromChannelLayout;
                        PutLE32(p + Out::PlayerID, playerID);
                        PutLE32(p + Out::OldChannelID, uint32_t(oldChannelID));
                        PutLE32(p + Out::NewChannelID, uint32_t(newChannelID));
                        PutLE16(p + Out::NewChannelPrivileges, newChannelPrivileges);
                        PutTextN(p + Out::Reason, ShortTextSize, reason);
                      });
}

void CMD_sc_NotifyPlayerSwitchedChannel(TServerState& server, uint32_t playerID,
                                        int32_t oldChannelID, int32_t newChannelID) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  const bool publicServer = RulesOf(server).IsPublicServer();
  for (const auto& recipient : server.Players.Items) {
    if (!recipient) continue;
    if (!publicServer || recipient.get() == subject) {
      auto packet = NewCommandPacket(cmd::CMD_sc_NotifyPlayerSwitchedChannel,
                                     NotifyPlayerSwitchedChannelSize, *recipient);
      uint8_t* p = packet->Data();
      using Out = TNotifyPlayerSwitchedChannelLayout;
      PutLE32(p + Out::PlayerID, playerID);
      PutLE32(p + Out::OldChannelID, uint32_t(oldChannelID));
      PutLE32(p + Out::NewChannelID, uint32_t(newChannelID));
      PutLE16(p + Out::ChannelPrivileges, subject->ChannelPrivileges);
      SendTo(server, std::move(packet));
    } else if (recipient->ChannelID == oldChannelID) {
      // Left behind: the switcher leaves this player's scope, but the
      // connection stays, so this is not the player's own departure.
      SendTo(server, NewLeftScopeNotice(*recipient, playerID, LEFT_SWITCHED_CHANNEL, 0));
    }
  }
  if (publicServer) {
    NotifyPlayerEnteredScope(server, playerID);
    CMD_sc_NotifyPlayersInSwitchedChannel(server, playerID);
  }
}

void CMD_sc_NotifyPlayerFlagsChanged(TServerState& server, uint32_t playerID) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  NotifyPlayersInView(server, subject, cmd::CMD_sc_NotifyPlayerFlagsChanged,
                      NotifyPlayerFlagsChangedSize, [&](uint8_t* p) {
                        using Out = TNotifyPlayerFlagsChangedLayout;
                        PutLE32(p + Out::PlayerID, playerID);
                        PutLE32(p + Out::PlayerFlags, subject->PlayerFlags);
                      });
}

void CMD_sc_NotifyPlayerRequestedVoice(TServerState& server, uint32_t playerID,
                                       std::string_view message) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  NotifyPlayersInView(server, subject, cmd::CMD_sc_NotifyPlayerRequestedVoice,
                      NotifyPlayerRequestedVoiceSize, [&](uint8_t* p) {
                        using Out = TNotifyPlayerRequestedVoiceLayout;
                        PutLE32(p + Out::PlayerID, playerID);
                        PutTextN(p + Out::Message, ShortTextSize, message);
                      });
}

void CMD_sc_NotifyPlayerChannelPrivilegeChanged(TServerState& server, uint32_t playerID,
                                                uint8_t action, uint8_t bit,
                                                uint32_t actingPlayerID) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  NotifyPlayersInView(
      server, subject, cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged, NotifyPlayerPrivilegeSize,
      [&](uint8_t* p) { FillPrivilegeNotice(p, playerID, action, bit, actingPlayerID); });
}

void CMD_sc_NotifyPlayerPrivilegesChanged(TServerState& server, uint32_t playerID, uint8_t action,
                                          uint8_t bit, uint32_t actingPlayerID) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  NotifyPlayersInView(
      server, subject, cmd::CMD_sc_NotifyPlayerPrivilegesChanged, NotifyPlayerPrivilegeSize,
      [&](uint8_t* p) { FillPrivilegeNotice(p, playerID, action, bit, actingPlayerID); });
}

void CMD_sc_NotifyPlayersInSwitchedChannel(TServerState& server, uint32_t playerID) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  const TServerRules rules = RulesOf(server);
  std::unique_ptr<TPacket> packet;
  uint32_t count = 0;
  auto flush = [&] {
    PutLE32(packet->Data() + TRecordListLayout::Count, count);
    SendTo(server, std::move(packet));
    count = 0;
  };
  for (const auto& other : server.Players.Items) {
    if (!other || other.get() == subject) continue;
    if (!CheckClientInView(rules, *server.Channels, subject, other.get())) continue;
    if (!packet) {
      packet = NewCommandPacket(cmd::CMD_sc_NotifyPlayersInSwitchedChannel,
                                NotifyPlayersInSwitchedChannelSize, *subject);
    }
    other->WritePlayerEntry(packet->Data() + TRecordListLayout::Slot(count, PlayerEntrySize));
    if (++count == PlayersInSwitchedChannelSlots) flush();
  }
  if (packet && count > 0) flush();
}

void CMD_sc_PlayerAdminRegisteredOK(TServerState& server, const TClientObject& recipient) {
  SendTo(server, NewCommandPacket(cmd::CMD_sc_PlayerAdminRegisteredOK, PlayerAdminRegisteredOKSize,
                                  recipient));
}

// --- Operations -------------------------------------------------------------

int32_t KickPlayer(TServerState& server, const TClientObject& sender, uint32_t targetID,
                   std::string_view reason) {
  const TClientObject* target = FindPlayer(server, targetID);
  if (target == nullptr) return PLAYERERR_NOT_FOUND;
  if (!HasOperatorRights(sender)) return PERMERR_OPERATOR;
  // The target goes when its connection has closed after this notice.
  NotifyPlayerLeftScope(server, target->PlayerID, LEFT_KICKED, reason, sender.PlayerID);
  return 0;
}

int32_t KickPlayerFromChannel(TServerState& server, const TClientObject& sender, uint32_t targetID,
                              std::string_view reason) {
  TClientObject* target = FindPlayer(server, targetID);
  if (target == nullptr) return PLAYERERR_NOT_FOUND;
  if (!HasOperatorRights(sender)) return PERMERR_OPERATOR;
  TChannels& channels = *server.Channels;
  const int32_t defaultID = channels.GetDefaultChannelID();
  target->ChannelPrivileges =
      IsRegistered(*target) ? channels.GetUserAttrib(defaultID, target->LogInName) : 0;
  CMD_sc_NotifyPlayerKickedFromChannel(server, target->PlayerID, target->ChannelID, defaultID,
                                       target->ChannelPrivileges, reason);
  // The channel left behind stays, even when it is temporary and now empty.
  target->ChannelID = defaultID;
  server.Players.Changed();
  return 0;
}

void SwitchPlayerChannel(TServerState& server, TClientObject& player, int32_t newChannelID) {
  TChannels& channels = *server.Channels;
  const TChannelRec* channel = channels.GetChannelByID(newChannelID);
  if (channel == nullptr) return;
  const int32_t oldID = player.ChannelID;
  const TChannelRec* oldChannel = channels.GetChannelByID(oldID);
  player.ChannelID = newChannelID;
  server.Players.Changed();
  player.PlayerFlags &= ~PLAYERFLAG_REQUESTVOICE;
  if (!StaysInTree(oldChannel, *channel)) player.PlayerFlags &= ~PLAYERFLAG_KEEPINTREE;

  uint16_t privileges = 0;
  if (IsRegistered(player)) privileges = channels.GetUserAttrib(newChannelID, player.LogInName);
  if (privileges & CHANPRIV_AUTOOPERATOR) privileges |= CHANPRIV_OPERATOR;
  if (privileges & CHANPRIV_AUTOVOICE) privileges |= CHANPRIV_VOICE;
  player.ChannelPrivileges = privileges;

  CMD_sc_NotifyPlayerSwitchedChannel(server, player.PlayerID, oldID, newChannelID);
  CMD_sc_NotifyPlayerFlagsChanged(server, player.PlayerID);
  ClearChannelUpAndAnnounce(server, oldID, player.PlayerID);
}

int32_t MovePlayer(TServerState& server, const TClientObject& sender, uint32_t targetID,
                   int32_t channelID) {
  TClientObject* target = FindPlayer(server, targetID);
  if (target == nullptr) return PLAYERERR_NOT_FOUND;
  if (server.Channels->GetChannelByID(channelID) == nullptr) return CHANNELERR_NOT_FOUND;
  if (!IsServerAdmin(sender)) return PERMERR_SERVER_ADMIN;
  SwitchPlayerChannel(server, *target, channelID);
  return 0;
}

int32_t ChangeChannelPrivilege(TServerState& server, const TClientObject& sender, uint32_t targetID,
                               uint8_t action, uint8_t bitNumber) {
  const uint16_t bit = PrivilegeBit(bitNumber);
  TClientObject* target = FindPlayer(server, targetID);
  if (target == nullptr) return PLAYERERR_NOT_FOUND;
  if (!HasOperatorRights(sender)) return PERMERR_OPERATOR;
  if (action == PRIVACTION_GRANT && (target->ChannelPrivileges & bit) != 0) {
    if (bit == CHANPRIV_ADMIN) return PRIVERR_HOLDS_ADMIN;
    if (bit == CHANPRIV_OPERATOR) return PRIVERR_HOLDS_OPERATOR;
    if (bit == CHANPRIV_VOICE) return PRIVERR_HOLDS_VOICE;
  }
  if ((bit & (CHANPRIV_AUTOOPERATOR | CHANPRIV_AUTOVOICE)) != 0 && !IsRegistered(*target))
    return PRIVERR_AUTO_NEEDS_REGISTERED;

  ApplyPrivilegeAction(target->ChannelPrivileges, action, bit);
  if (action == PRIVACTION_GRANT && bit == CHANPRIV_VOICE &&
      (target->PlayerFlags & PLAYERFLAG_REQUESTVOICE) != 0) {
    target->PlayerFlags &= ~PLAYERFLAG_REQUESTVOICE;
    CMD_sc_NotifyPlayerFlagsChanged(server, target->PlayerID);
  }
  CMD_sc_NotifyPlayerChannelPrivilegeChanged(server, target->PlayerID, action, bitNumber,
                                             sender.PlayerID);
  if (IsRegistered(*target)) {
    server.Channels->SetUserAttrib(target->ChannelID, target->LogInName, target->ChannelPrivileges);
  }
  // The automatic privileges take effect at once, without being stored.
  if (action == PRIVACTION_GRANT && bit == CHANPRIV_AUTOOPERATOR) {
    target->ChannelPrivileges |= CHANPRIV_OPERATOR;
    CMD_sc_NotifyPlayerChannelPrivilegeChanged(server, target->PlayerID, PRIVACTION_SERVER_GRANT, 1,
                                               0);
  }
  if (action == PRIVACTION_GRANT && bit == CHANPRIV_AUTOVOICE) {
    target->ChannelPrivileges |= CHANPRIV_VOICE;
    CMD_sc_NotifyPlayerChannelPrivilegeChanged(server, target->PlayerID, PRIVACTION_SERVER_GRANT, 2,
                                               0);
  }
  return 0;
}

int32_t ChangeServerPrivilege(TServerState& server, const TClientObject& sender, uint32_t targetID,
                              uint8_t action, uint8_t bitNumber) {
  const uint16_t bit = PrivilegeBit(bitNumber);
  TClientObject* target = FindPlayer(server, targetID);
  if (target == nullptr) return PLAYERERR_NOT_FOUND;
  // Server privileges reach beyond any channel (and revoking the registered
  // privilege deletes an account): a channel operator must not touch them.
  if (!IsServerAdmin(sender)) return PERMERR_SERVER_ADMIN;

  ApplyPrivilegeAction(target->Priviliges, action, bit);
  TZeveVira* db = server.Database();
  if (action == PRIVACTION_REVOKE && bit == SERVERPRIV_REGISTERED) {
    target->Priviliges &= uint16_t(~SERVERPRIV_ADMIN);
    CMD_sc_NotifyPlayerPrivilegesChanged(server, target->PlayerID, PRIVACTION_SERVER_REVOKE, 0,
                                         sender.PlayerID);
    // Made and saved by the database's writer; a failure is logged there.
    if (db != nullptr)
      db->Writer().Post([db, serverKey = server.ConfigName, name = target->LogInName] {
        TZeveViraUsers(*db).DeleteUser(serverKey, name, {});
      });
  } else if (db != nullptr) {
    db->Writer().Post([db, serverKey = server.ConfigName, account = *target] {
      TZeveViraUsers(*db).StoreUser(serverKey, account, {});
    });
  }
  CMD_sc_NotifyPlayerPrivilegesChanged(server, target->PlayerID, action, bitNumber,
                                       sender.PlayerID);
  return 0;
}

// --- Handlers ---------------------------------------------------------------

void CMD_cs_PlayerKick(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerKickSize);
  if (l.CurrentClient == nullptr) return;
  using In = TPlayerKickLayout;
  const int32_t result = KickPlayer(l.Server, *l.CurrentClient, GetLE32(p + In::PlayerID),
                                    GetTextN(p + In::Reason, ShortTextSize));
  if (result != 0) RefuseCommand(l, result);
}

void CMD_cs_PlayerKickFromChannel(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerKickSize);
  if (l.CurrentClient == nullptr) return;
  using In = TPlayerKickLayout;
  const int32_t result =
      KickPlayerFromChannel(l.Server, *l.CurrentClient, GetLE32(p + In::PlayerID),
                            GetTextN(p + In::Reason, ShortTextSize));
  if (result != 0) RefuseCommand(l, result);
}

void CMD_cs_PlayerChannelSwitch(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerChannelSwitchSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  using In = TPlayerChannelSwitchLayout;
  const int32_t newID = GetLE32s(p + In::ChannelID);
  if (l.Server.Channels->GetChannelByID(newID) == nullptr)
    return RefuseCommand(l, CHANNELERR_NOT_FOUND);
  if (!IsServerAdmin(*sender)) {
    const int32_t join = CheckChannelJoin(*l.Server.Channels, l.Server.Players.Items, newID,
                                          GetTextN(p + In::Password, ShortTextSize));
    if (join == CHANNELJOIN_WRONG_PASSWORD) return RefuseChannelPassword(l, newID);
    if (join < 0) return RefuseCommand(l, join);
  }
  SwitchPlayerChannel(l.Server, *sender, newID);
}

void CMD_cs_PlayerFlagsChanged(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerFlagsChangedSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  sender->PlayerFlags = GetLE32(p + TPlayerFlagsChangedLayout::PlayerFlags);
  CMD_sc_NotifyPlayerFlagsChanged(l.Server, sender->PlayerID);
}

void CMD_cs_PlayerRequestVoice(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerRequestVoiceSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  const TChannelRec* channel = l.Server.Channels->GetChannelByID(sender->ChannelID);
  if (channel != nullptr && (channel->Flags & CHANNEL_MODERATED) == 0)
    return RefuseCommand(l, VOICEERR_NOT_MODERATED);
  if (sender->PlayerFlags & PLAYERFLAG_REQUESTVOICE)
    return RefuseCommand(l, VOICEERR_ALREADY_REQUESTED);
  sender->PlayerFlags |= PLAYERFLAG_REQUESTVOICE;
  CMD_sc_NotifyPlayerRequestedVoice(
      l.Server, sender->PlayerID, GetTextN(p + TPlayerRequestVoiceLayout::Message, ShortTextSize));
}

void CMD_cs_PlayerChangeChannelPrivilege(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerChangePrivilegeSize);
  if (l.CurrentClient == nullptr) return;
  using In = TPlayerChangePrivilegeLayout;
  const int32_t result = ChangeChannelPrivilege(
      l.Server, *l.CurrentClient, GetLE32(p + In::PlayerID), p[In::Action], p[In::BitNumber]);
  if (result != 0) RefuseCommand(l, result);
}

void CMD_cs_PlayerChangePrivilege(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerChangePrivilegeSize);
  if (l.CurrentClient == nullptr) return;
  using In = TPlayerChangePrivilegeLayout;
  const int32_t result = ChangeServerPrivilege(
      l.Server, *l.CurrentClient, GetLE32(p + In::PlayerID), p[In::Action], p[In::BitNumber]);
  if (result != 0) RefuseCommand(l, result);
}

void CMD_cs_PlayerRegister(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerRegisterSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  if (IsRegistered(*sender)) return RefuseCommand(l, REGISTERERR_ALREADY_REGISTERED);
  if (!MayRegisterAccount(RulesOf(l.Server), *sender)) return RefuseCommand(l, PERMERR_REGISTER);
  // The account is the player's record with its new name; the player takes
  // the name only once the account is on disk.
  TClientObject account = *sender;
  account.LogInName = GetTextN(p + TPlayerRegisterLayout::LogInName, ShortTextSize);
  account.LogInPassWord = GetTextN(p + TPlayerRegisterLayout::PassWord, ShortTextSize);
  account.RegisteredBy = account.LogInName;
  AddAccountThenReply(
      l, account,
      [account](TServerState& s, TClientObject& registered) VX_REQUIRES(s.Players.Lock,
                                                                        *s.Channels) {
        registered.LogInName = account.LogInName;
        registered.LogInPassWord = account.LogInPassWord;
        registered.RegisteredBy = account.RegisteredBy;
        registered.Priviliges =
            uint16_t((registered.Priviliges | SERVERPRIV_REGISTERED) & ~SERVERPRIV_ALLOWREGISTER);
        CMD_sc_NotifyPlayerPrivilegesChanged(s, registered.PlayerID, PRIVACTION_SERVER_GRANT, 2, 0);
      });
}

void CMD_cs_PlayerAdminRegister(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, PlayerAdminRegisterSize);
  TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  if (!IsServerAdmin(*sender)) return RefuseCommand(l, PERMERR_SERVER_ADMIN);
  using In = TPlayerRegisterLayout;
  TClientObject account;
  account.LogInName = GetTextN(p + In::LogInName, ShortTextSize);
  account.LogInPassWord = GetTextN(p + In::PassWord, ShortTextSize);
  account.RegisteredBy = sender->LogInName;
  account.ChannelPrivileges = 0;
  account.Priviliges = p[In::ServerAdmin] != 0 ? SERVERPRIV_ADMIN : 0;
  account.PlayerFlags = 0;
  AddAccountThenReply(
      l, account,
      [](TServerState& s, TClientObject& admin)
          VX_REQUIRES(s.Players.Lock, *s.Channels) { CMD_sc_PlayerAdminRegisteredOK(s, admin); });
}

}  // namespace vx
