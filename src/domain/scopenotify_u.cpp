#include "domain/scopenotify_u.h"

#include "common/TextN.h"
#include "domain/ServerState.h"
#include "domain/channelobject_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

std::unique_ptr<TPacket> NewCommandPacket(int16_t code, size_t size,
                                          const TClientObject& recipient) {
  auto packet = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_COMMAND, size));
  auto header = packet->CommandHeader();
  header.SetCode(code);
  header.SetConnectionID(recipient.ConnectionID);
  header.SetPlayerID(recipient.PlayerID);
  return packet;
}

std::unique_ptr<TPacket> NewLeftScopeNotice(const TClientObject& recipient, uint32_t playerID,
                                            uint16_t reason, uint32_t actingPlayerID) {
  auto packet =
      NewCommandPacket(cmd::CMD_sc_NotifyPlayerLeftScope, NotifyPlayerLeftScopeSize, recipient);
  using Out = TNotifyPlayerLeftScopeLayout;
  uint8_t* p = packet->Data();
  PutLE32(p + Out::PlayerID, playerID);
  PutLE16(p + Out::Reason, reason);
  PutLE32(p + Out::ActingPlayerID, actingPlayerID);
  return packet;
}

TServerRules RulesOf(const TServerState& server) {
  const auto settings = server.Settings();
  TServerRules rules;
  rules.ServerType = settings->ServerType;
  rules.ServerFlags = settings->ServerFlags;
  return rules;
}

TClientObject* FindPlayer(TServerState& server, uint32_t playerID) {
  if (playerID == 0) return nullptr;
  for (const auto& c : server.Players.Items) {
    if (c && c->PlayerID == playerID) return c.get();
  }
  return nullptr;
}

void NotifyPlayerEnteredScope(TServerState& server, uint32_t playerID) {
  const TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr) return;
  const TServerRules rules = RulesOf(server);
  for (const auto& recipient : server.Players.Items) {
    if (!recipient || recipient.get() == subject) continue;
    if (!CheckClientInView(rules, *server.Channels, subject, recipient.get())) continue;
    auto packet = NewCommandPacket(cmd::CMD_sc_NotifyPlayerEnteredScope,
                                   NotifyPlayerEnteredScopeSize, *recipient);
    subject->WritePlayerEntry(packet->Data() + TNotifyPlayerEnteredScopeLayout::Entry);
    server.PacketBuffer->SendPacket(std::move(packet), false);
  }
}

void NotifyPlayerLeftScope(TServerState& server, uint32_t playerID, uint16_t reason,
                           std::string_view reasonText, uint32_t actingPlayerID) {
  TClientObject* subject = FindPlayer(server, playerID);
  if (subject == nullptr || subject->LeftNotified) return;
  const TServerRules rules = RulesOf(server);
  for (const auto& recipient : server.Players.Items) {
    if (!recipient) continue;
    if (!CheckClientInView(rules, *server.Channels, subject, recipient.get())) continue;
    // Nobody was told of a player whose login never finished, so nobody but
    // the player hears of its departure.
    if (!subject->LoginComplete && recipient.get() != subject) continue;
    auto packet = NewLeftScopeNotice(*recipient, subject->PlayerID, reason, actingPlayerID);
    PutTextN(packet->Data() + TNotifyPlayerLeftScopeLayout::ReasonText, ShortTextSize, reasonText);
    const bool own = recipient.get() == subject;
    if (own) subject->LeftNotified = true;
    server.PacketBuffer->SendPacket(std::move(packet), own);
  }
}

void NotifyChannelDestroyed(TServerState& server, int32_t channelID, uint32_t actingPlayerID) {
  if (channelID < 0) return;
  for (const auto& recipient : server.Players.Items) {
    if (!recipient) continue;
    auto packet = NewCommandPacket(cmd::CMD_sc_NotifyChannelDestroyed, NotifyChannelDestroyedSize,
                                   *recipient);
    using Out = TNotifyChannelDestroyedLayout;
    PutLE16(packet->Data() + Out::ChannelID, uint16_t(int16_t(channelID)));
    PutLE32(packet->Data() + Out::DestroyerID, actingPlayerID);
    server.PacketBuffer->SendPacket(std::move(packet), false);
  }
}

void ClearChannelUpAndAnnounce(TServerState& server, int32_t channelID, uint32_t actingPlayerID) {
  ClearChannelUp(*server.Channels, server.Players.Items, channelID, actingPlayerID,
                 [&server](int32_t destroyed, uint32_t actor) {
                   // Called back inside ClearChannelUp, under our caller's locks.
                   server.Players.AssertHeld();
                   server.Channels->AssertHeld();
                   NotifyChannelDestroyed(server, destroyed, actor);
                 });
}

void RemoveAllClients(TServerState& server) {
  TLockGuard<TMutex> players(server.Players.Lock);
  TLockGuard<TChannels> channels(*server.Channels);
  auto& items = server.Players.Items;
  while (!items.empty()) {
    std::unique_ptr<TClientObject> player = std::move(items.back());
    items.pop_back();
    if (!player) continue;
    player->LeftNotified = true;
    auto packet = NewLeftScopeNotice(*player, player->PlayerID, LEFT_SERVER_STOPPED, 0);
    server.PacketBuffer->SendPacket(std::move(packet), true);
  }
  server.Players.Changed();
}

}  // namespace vx
