#include "domain/textinfo_u.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "common/TextN.h"
#include "domain/HandlerContext.h"
#include "domain/ServerState.h"
#include "domain/channelobject_u.h"
#include "domain/permissions_u.h"
#include "domain/playercommands_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

// Whole seconds from the time until now (0 when the clock went back).
uint32_t SecondsSince(TDateTime since) {
  const double ms = std::round((TDateTime::Now().Value - since.Value) * MsPerDay);
  if (!(ms > 0)) return 0;
  const double seconds = std::floor(ms / 1000);
  return seconds >= double(std::numeric_limits<uint32_t>::max())
             ? std::numeric_limits<uint32_t>::max()
             : uint32_t(seconds);
}

uint32_t CheckedUInt32(int64_t value) {
  if (value < 0 || value > int64_t(std::numeric_limits<uint32_t>::max()))
    throw Exception("Range check error");
  return uint32_t(value);
}

}  // namespace

void CMD_sc_NotifyTextMessage(TServerState& server, const TClientObject& sender,
                              std::string_view text, uint32_t passThrough, int32_t channelID) {
  NotifyPlayers(
      server, cmd::CMD_sc_NotifyTextMessage, NotifyTextMessageSize,
      [channelID](const TClientObject& recipient) {
        return channelID < 0 || recipient.ChannelID == channelID;
      },
      [&](uint8_t* p) {
        using Out = TNotifyTextMessageLayout;
        PutTextN(p + Out::Text, LongTextSize, text);
        PutLE32(p + Out::PassThrough, passThrough);
        PutTextN(p + Out::NickName, ShortTextSize, sender.NickName);
      });
}

void CMD_cs_InfoSendText(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, InfoSendTextSize);
  const TClientObject* sender = l.CurrentClient;
  if (sender == nullptr) return;
  using In = TInfoSendTextLayout;
  const int32_t channelID = GetLE32s(p + In::ChannelID);
  if (channelID >= 0 && l.Server.Channels->GetChannelByID(channelID) == nullptr)
    return RefuseCommand(l, CHANNELERR_NOT_FOUND);
  CMD_sc_NotifyTextMessage(l.Server, *sender, GetTextN(p + In::Text, LongTextSize),
                           GetLE32(p + In::PassThrough), channelID);
}

void CMD_cs_InfoRequestPlayerConnectionInfoOnId(THandlerContext& l) {
  const uint8_t* p = CommandPayload(l, InfoRequestPlayerConnectionInfoSize);
  const TClientObject* requester = l.CurrentClient;
  if (requester == nullptr) return;
  const TClientObject* player =
      l.GetClientObject(GetLE32(p + TInfoRequestPlayerConnectionInfoLayout::PlayerID));
  if (player == nullptr) return RefuseCommand(l, PLAYERERR_NOT_FOUND);

  uint32_t connectionID = 0, packetsSent = 0, bytesSent = 0, packetsReceived = 0, bytesReceived = 0;
  std::string peerIP;
  uint16_t peerPort = 0, packetLoss = 0, averagePing = 0;
  l.Server.PacketBuffer->GetConnectionInfo(player->PlayerID, connectionID, packetsSent, bytesSent,
                                           packetsReceived, bytesReceived, peerIP, peerPort,
                                           packetLoss, averagePing);
  // Where a player connects from is for server admins only.
  if (!IsServerAdmin(*requester)) {
    peerIP.clear();
    peerPort = 0;
  }

  auto reply =
      NewCommandPacket(cmd::CMD_sc_PlayerConnectionInfo, PlayerConnectionInfoSize, *requester);
  uint8_t* r = reply->Data();
  using Out = TPlayerConnectionInfoLayout;
  PutLE32(r + Out::PlayerID, player->PlayerID);
  PutLE32(r + Out::SecondsOnline, SecondsSince(player->LoginTime));
  PutLE16(r + Out::PacketLoss, packetLoss);
  PutLE16(r + Out::AveragePing, averagePing);
  PutLE32(r + Out::SecondsIdle, SecondsSince(player->LastActivity));
  PutLE16(r + Out::ClientVersionMajor, player->ClientVersionMajor);
  PutLE16(r + Out::ClientVersionMinor, player->ClientVersionMinor);
  PutLE16(r + Out::ClientVersionRelease, player->ClientVersionRelease);
  PutLE16(r + Out::ClientVersionBuild, player->ClientVersionBuild);
  PutLE32(r + Out::PacketsSent, packetsSent);
  PutLE32(r + Out::BytesSent, bytesSent);
  PutLE32(r + Out::PacketsReceived, packetsReceived);
  PutLE32(r + Out::BytesReceived, bytesReceived);
  PutTextN(r + Out::PeerIP, ShortTextSize, peerIP);
  PutLE16(r + Out::PeerPort, peerPort);
  PutTextN(r + Out::LogInName, ShortTextSize, player->LogInName);
  PutLE32(r + Out::ChannelID, uint32_t(player->ChannelID));
  PutLE16(r + Out::ChannelPrivileges, player->ChannelPrivileges);
  PutLE16(r + Out::Priviliges, player->Priviliges);
  PutTextN(r + Out::ClientPlatform, ShortTextSize, player->ClientPlatform);
  l.Server.PacketBuffer->SendPacket(std::move(reply), false);
}

void CMD_cs_InfoRequestServerInfo(THandlerContext& l) {
  const TClientObject* requester = l.CurrentClient;
  if (requester == nullptr) return;
  TServerState& server = l.Server;
  const auto settings = server.Settings();
  auto reply = NewCommandPacket(cmd::CMD_sc_ServerInfo, ServerInfoSize, *requester);
  uint8_t* r = reply->Data();
  using Out = TServerInfoLayout;
  PutLE32(r + Out::SecondsUp, SecondsSince(server.StartTime));
  PutLE16(r + Out::VersionMajor, settings->VersionMajor);
  PutLE16(r + Out::VersionMinor, settings->VersionMinor);
  PutLE16(r + Out::VersionRelease, settings->VersionRelease);
  PutLE16(r + Out::VersionBuild, settings->VersionBuild);
  PutLE16(r + Out::ServerType, settings->ServerType);
  PutLE16(r + Out::ServerFlags, settings->ServerFlags);
  // Each pair of counters is read in a step of its own; a failed step
  // leaves its fields 0 and the reply goes out all the same.
  uint32_t packetsSent = 0, packetsReceived = 0;
  int64_t bytesSent = 0, bytesReceived = 0;
  try {
    server.PacketBuffer->GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
    PutLE32(r + Out::PacketsSent, packetsSent);
    PutLE32(r + Out::PacketsReceived, packetsReceived);
  } catch (const std::exception& e) {
    l.LogHandlerException("CMD_cs_InfoRequestServerInfo pSend/pRecv", e);
  }
  try {
    const uint32_t sent = CheckedUInt32(bytesSent);
    const uint32_t received = CheckedUInt32(bytesReceived);
    PutLE32(r + Out::BytesSent, sent);
    PutLE32(r + Out::BytesReceived, received);
  } catch (const std::exception& e) {
    l.LogHandlerException("CMD_cs_InfoRequestServerInfo bSend/bRecv", e);
  }
  server.PacketBuffer->SendPacket(std::move(reply), false);
}

}  // namespace vx
