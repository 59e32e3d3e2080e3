#include "domain/udplistener_u.h"

#include <algorithm>
#include <array>

#include "domain/channelcommands_u.h"
#include "domain/loginhandshake_u.h"
#include "domain/playercommands_u.h"
#include "domain/scopenotify_u.h"
#include "domain/textinfo_u.h"
#include "domain/voicerelay_u.h"
#include "host/logdebug.h"

namespace vx {

namespace {

// Client-to-server command codes with their handlers. Codes without an
// entry are ignored (the buffer has acknowledged them already).
struct TCommandEntry {
  int16_t Code;
  const char* Name;
  void (*Handler)(THandlerContext&);
};

constexpr std::array<TCommandEntry, 24> CommandTable{{
    {cmd::CMD_cs_LoginStep3, "CMD_cs_LoginStep3", CMD_cs_LoginStep3},
    {cmd::CMD_cs_ChannelCreate, "CMD_cs_ChannelCreate", CMD_cs_ChannelCreate},
    {cmd::CMD_cs_ChannelChangePassword, "CMD_cs_ChannelChangePassword",
     CMD_cs_ChannelChangePassword},
    {cmd::CMD_cs_ChannelChangeProperties, "CMD_cs_ChannelChangeProperties",
     CMD_cs_ChannelChangeProperties},
    {cmd::CMD_cs_ChannelChangeName, "CMD_cs_ChannelChangeName", CMD_cs_ChannelChangeName},
    {cmd::CMD_cs_ChannelChangeTopic, "CMD_cs_ChannelChangeTopic", CMD_cs_ChannelChangeTopic},
    {cmd::CMD_cs_ChannelChangeDescription, "CMD_cs_ChannelChangeDescription",
     CMD_cs_ChannelChangeDescription},
    {cmd::CMD_cs_ChannelDestroy, "CMD_cs_ChannelDestroy", CMD_cs_ChannelDestroy},
    {cmd::CMD_cs_ChannelChangeMaxUsers, "CMD_cs_ChannelChangeMaxUsers",
     CMD_cs_ChannelChangeMaxUsers},
    {cmd::CMD_cs_ChannelChangeAll, "CMD_cs_ChannelChangeAll", CMD_cs_ChannelChangeAll},
    {cmd::CMD_cs_ChannelChangeOrder, "CMD_cs_ChannelChangeOrder", CMD_cs_ChannelChangeOrder},
    {cmd::CMD_cs_PlayerQuit, "CMD_cs_PlayerQuit", CMD_cs_PlayerQuit},
    {cmd::CMD_cs_PlayerKick, "CMD_cs_PlayerKick", CMD_cs_PlayerKick},
    {cmd::CMD_cs_PlayerKickFromChannel, "CMD_cs_PlayerKickFromChannel",
     CMD_cs_PlayerKickFromChannel},
    {cmd::CMD_cs_PlayerChannelSwitch, "CMD_cs_PlayerChannelSwitch", CMD_cs_PlayerChannelSwitch},
    {cmd::CMD_cs_PlayerFlagsChanged, "CMD_cs_PlayerFlagsChanged", CMD_cs_PlayerFlagsChanged},
    {cmd::CMD_cs_PlayerRequestVoice, "CMD_cs_PlayerRequestVoice", CMD_cs_PlayerRequestVoice},
    {cmd::CMD_cs_PlayerChangeChannelPrivilege, "CMD_cs_PlayerChangeChannelPrivilege",
     CMD_cs_PlayerChangeChannelPrivilege},
    {cmd::CMD_cs_PlayerChangePrivilege, "CMD_cs_PlayerChangePrivilege",
     CMD_cs_PlayerChangePrivilege},
    {cmd::CMD_cs_PlayerRegister, "CMD_cs_PlayerRegister", CMD_cs_PlayerRegister},
    {cmd::CMD_cs_PlayerAdminRegister, "CMD_cs_PlayerAdminRegister", CMD_cs_PlayerAdminRegister},
    {cmd::CMD_cs_InfoRequestPlayerConnectionInfoOnId, "CMD_cs_InfoRequestPlayerConnectionInfoOnId",
     CMD_cs_InfoRequestPlayerConnectionInfoOnId},
    {cmd::CMD_cs_InfoRequestServerInfo, "CMD_cs_InfoRequestServerInfo",
     CMD_cs_InfoRequestServerInfo},
    {cmd::CMD_cs_InfoSendText, "CMD_cs_InfoSendText", CMD_cs_InfoSendText},
}};

constexpr int MaxCode = 512;

// Direct index by code for the table above.
const std::array<const TCommandEntry*, MaxCode>& CommandIndex() {
  static const auto index = [] {
    std::array<const TCommandEntry*, MaxCode> a{};
    for (const auto& entry : CommandTable) a[size_t(entry.Code)] = &entry;
    return a;
  }();
  return index;
}

}  // namespace

TVXUDPListener::TVXUDPListener(TServerState& server) : Context(server) {}

void TVXUDPListener::Handle(uint32_t playerID, TReceiveEvent event,
                            std::unique_ptr<TPacket> packet) {
  CurrentPlayerID = playerID;
  CurrentEvent = event;
  Context.CurrentPacket = std::move(packet);
  HandleEvent();
}

void TVXUDPListener::HandleEvent() {
  TLockGuard<TMutex> players(Context.Server.Players.Lock);
  Context.Clients = &Context.Server.Players.Items;
  const bool voice =
      CurrentEvent == rePacket && Context.CurrentPacket && Context.CurrentPacket->IsVoiceC2S();
  // Voice finds its speaker through the index that the relay reads anyway
  // (the same first player with the id), not by a pass over every player;
  // other events change players and would only rebuild it.
  Context.CurrentClient = voice && CurrentPlayerID != 0
                              ? Context.Server.Players.ById(CurrentPlayerID)
                              : Context.GetClientObject(CurrentPlayerID);
  TLockGuard<TChannels> channels(*Context.Server.Channels);
  Context.DropClient = false;
  try {
    switch (CurrentEvent) {
      case rePacket:
        DispatchPacket();
        break;
      case reTimeout:
        RemoveCurrentClient(LEFT_TIMEOUT);
        break;
      case reClosed:
        Context.DropClient = true;
        break;
      case reShutdown:
        break;
    }
    if (Context.DropClient) RemoveCurrentClient(LEFT_QUIT);
  } catch (const std::exception& e) {
    Context.LogHandlerException("TVXUDPListener.Execute", e);
  }
  // Voice changes no player; anything else may have moved or removed one.
  if (!voice) Context.Server.Players.Changed();
  Context.CurrentPacket.reset();
  Context.CurrentClient = nullptr;
  Context.Clients = nullptr;
}

void TVXUDPListener::DispatchPacket() {
  if (!Context.CurrentPacket) return;
  if (Context.CurrentClient) Context.CurrentClient->LastActivity = TDateTime::Now();
  switch (Context.CurrentPacket->Class()) {
    case TPacketClass::VoiceC2S:
      ProgressVoiceData(Context);
      break;
    case TPacketClass::Maintenance:
      if (Context.CurrentPacket->MaintenanceHeader().Type() == MAINT_LOGINREQUEST) {
        try {
          CMD_cs_LoginStep1(Context);
        } catch (const std::exception& e) {
          Context.LogHandlerException("CMD_cs_LoginStep1", e);
        }
      }
      break;
    case TPacketClass::Command: {
      const int16_t code = Context.CurrentPacket->CommandHeader().Code();
      if (code < 0 || code >= MaxCode) return;
      const TCommandEntry* entry = CommandIndex()[size_t(code)];
      if (entry == nullptr) return;
      // A connection whose login was refused has no player: its commands do
      // nothing, but its step 3 ends it.
      if (Context.CurrentClient == nullptr && code != cmd::CMD_cs_LoginStep3) return;
      try {
        entry->Handler(Context);
      } catch (const std::exception& e) {
        Context.LogHandlerException(entry->Name, e);
      }
      break;
    }
    default:
      break;
  }
}

void TVXUDPListener::RemoveCurrentClient(uint32_t reason) {
  if (Context.CurrentClient) {
    // Whatever the notice meets, the player and its connection go: the
    // buffer reports a departure once.
    try {
      NotifyPlayerLeftScope(Context.Server, Context.CurrentClient->PlayerID, uint16_t(reason), "",
                            0);
    } catch (const std::exception& e) {
      Context.LogHandlerException("NotifyPlayerLeftScope", e);
    }
    auto& items = *Context.Clients;
    const TClientObject* gone = Context.CurrentClient;
    Context.CurrentClient = nullptr;
    std::erase_if(items, [gone](const auto& c) { return c.get() == gone; });
    Context.Server.Players.Changed();
  }
  Context.Server.PacketBuffer->RemoveConnection(CurrentPlayerID);
  ClearChannelUpAndAnnounce(Context.Server, -1, 0);
}

}  // namespace vx
