#include "client/ClientPackets.h"

#include <algorithm>
#include <array>

#include "common/ByteOrder.h"
#include "common/TextN.h"

namespace vx::client {

namespace {

using TRequest = TLoginRequestLayout;
using TReply = TLoginReplyLayout;
using TStep3 = TLoginStep3Layout;
using TList = TRecordListLayout;
using TWhisper = TWhisperListLayout;

// A reply shorter than this (header, version and result) is no login reply.
constexpr size_t ReplyMinimum = TReply::Result + 4;

bool IsCommandWithCode(const TPacket& packet, int16_t code) {
  return packet.IsCommand() && CommandCode(packet) == code;
}

// Number of slots of a list command that are both counted and present.
size_t UsableSlots(const TPacket& packet, size_t maxSlots, size_t slotSize) {
  if (packet.Size() < TList::Slots) return 0;
  const uint32_t count = GetLE32(packet.Data() + TList::Count);
  const size_t present = (packet.Size() - TList::Slots) / slotSize;
  return std::min({size_t(count), maxSlots, present});
}

}  // namespace

int16_t CommandCode(const TPacket& packet) {
  return packet.IsCommand() ? int16_t(GetLE16(packet.Data() + 2)) : 0;
}

uint16_t MaintenanceType(const TPacket& packet) {
  return packet.IsMaintenance() ? GetLE16(packet.Data() + 2) : 0;
}

std::string LoginResultText(int32_t result) {
  switch (result) {
    case LOGIN_ACCEPTED:
      return "accepted";
    case LOGIN_BAD_PASSWORD_OR_NAME:
      return "wrong server password or bad nickname";
    case LOGIN_SERVER_FULL:
      return "server full";
    case LOGIN_NICKNAME_IN_USE:
      return "nickname in use";
    case LOGIN_CLIENT_TOO_OLD:
      return "client too old";
    case LOGIN_BAD_ACCOUNT:
      return "wrong login name or password";
    default:
      return "refused";
  }
}

TPacket EncodeLoginRequest(const TLoginRequest& request, uint32_t sequence) {
  TPacket packet = TPacket::WithMagic(MAGIC_MAINTENANCE, LoginRequestSize);
  auto header = packet.MaintenanceHeader();
  header.SetType(MAINT_LOGINREQUEST);
  header.SetSequence(sequence);
  uint8_t* p = packet.Data();
  PutTextN(p + TRequest::ClientName, ShortTextSize, request.ClientName);
  PutTextN(p + TRequest::ClientPlatform, ShortTextSize, request.ClientPlatform);
  PutLE16(p + TRequest::ClientVersionMajor, request.ClientVersionMajor);
  PutLE16(p + TRequest::ClientVersionMinor, request.ClientVersionMinor);
  PutLE16(p + TRequest::ClientVersionRelease, request.ClientVersionRelease);
  PutLE16(p + TRequest::ClientVersionBuild, request.ClientVersionBuild);
  p[TRequest::GuestNaming] = request.GuestNaming;
  p[TRequest::ServerPasswordAlways] = request.ServerPasswordAlways;
  PutTextN(p + TRequest::LogInName, ShortTextSize, request.LogInName);
  PutTextN(p + TRequest::PassWord, ShortTextSize, request.PassWord);
  PutTextN(p + TRequest::NickName, ShortTextSize, request.NickName);
  packet.SealChecksum();
  return packet;
}

std::optional<TLoginReply> DecodeLoginReply(const TPacket& packet) {
  if (!packet.IsMaintenance() || packet.Size() < ReplyMinimum || !packet.IsValid()) return {};
  if (MaintenanceType(packet) != MAINT_LOGINREPLY) return {};
  // Read from a zero-filled image of the full reply, so that a short reply
  // reads as zeros and no field is read past the datagram.
  std::array<uint8_t, LoginReplySize> image{};
  std::copy_n(packet.Data(), std::min(packet.Size(), image.size()), image.begin());
  const uint8_t* p = image.data();
  TLoginReply reply;
  reply.Sequence = TMaintenanceHeader(image.data()).Sequence();
  reply.ServerName = GetTextN(p + TReply::ServerName, ShortTextSize);
  reply.ServerPlatform = GetTextN(p + TReply::ServerPlatform, ShortTextSize);
  reply.VersionMajor = GetLE16(p + TReply::VersionMajor);
  reply.VersionMinor = GetLE16(p + TReply::VersionMinor);
  reply.VersionRelease = GetLE16(p + TReply::VersionRelease);
  reply.VersionBuild = GetLE16(p + TReply::VersionBuild);
  reply.Result = GetLE32s(p + TReply::Result);
  reply.CodecMask = GetLE32(p + TReply::CodecMask);
  reply.ServerType = GetLE16(p + TReply::ServerType);
  reply.ServerFlags = GetLE16(p + TReply::ServerFlags);
  reply.MaxUsers = GetLE32(p + TReply::MaxUsers);
  reply.ConnectionID = GetLE32(p + TReply::ConnectionID);
  reply.PlayerID = GetLE32(p + TReply::PlayerID);
  reply.WelcomeMessage = GetTextN(p + TReply::WelcomeMessage, LongTextSize);
  return reply;
}

TPacket MakeCommand(int16_t code, std::span<const uint8_t> payload) {
  TPacket packet = TPacket::WithMagic(MAGIC_COMMAND, CommandHeaderSize);
  packet.CommandHeader().SetCode(code);
  packet.Append(payload.data(), payload.size());
  return packet;
}

TPacket EncodeLoginStep3(const TLoginStep3& step3) {
  TPacket packet = TPacket::WithMagic(MAGIC_COMMAND, LoginStep3Size);
  packet.CommandHeader().SetCode(cmd::CMD_cs_LoginStep3);
  uint8_t* p = packet.Data();
  p[TStep3::Flag] = step3.Flag;
  PutTextN(p + TStep3::Channel, ShortTextSize, step3.Channel);
  PutTextN(p + TStep3::SubChannel, ShortTextSize, step3.SubChannel);
  PutTextN(p + TStep3::ChannelPassword, ShortTextSize, step3.ChannelPassword);
  return packet;
}

TChannelEntry DecodeChannelSlot(const uint8_t* slot) {
  using L = TChannelRecordLayout;
  TChannelEntry channel;
  channel.ChannelID = GetLE32s(slot + L::ChannelID);
  channel.Flags = GetLE16(slot + L::Flags);
  channel.Codec = GetLE16(slot + L::Codec);
  channel.Parent = GetLE32s(slot + L::Parent);
  channel.Name = GetTextN(slot + L::Name, ShortTextSize);
  channel.Topic = GetTextN(slot + L::Topic, ShortTextSize);
  channel.Description = GetTextN(slot + L::Description, DescriptionTextSize);
  channel.Order = GetLE16(slot + L::Order);
  channel.MaxUsers = GetLE16(slot + L::MaxUsers);
  return channel;
}

TPlayerEntry DecodePlayerEntry(const uint8_t* entry) {
  using L = TPlayerEntryLayout;
  TPlayerEntry player;
  player.PlayerID = GetLE32(entry + L::PlayerID);
  player.ChannelID = GetLE32s(entry + L::ChannelID);
  player.ChannelPrivileges = GetLE16(entry + L::ChannelPrivileges);
  player.Priviliges = GetLE16(entry + L::Priviliges);
  player.PlayerFlags = GetLE32(entry + L::PlayerFlags);
  player.NickName = GetTextN(entry + L::NickName, ShortTextSize);
  return player;
}

bool DecodeLoginStep4(const TPacket& packet, std::vector<TChannelEntry>& channels) {
  if (!IsCommandWithCode(packet, cmd::CMD_sc_LoginStep4)) return false;
  const size_t n = UsableSlots(packet, LoginStep4Slots, ChannelWireRecordSize);
  for (size_t i = 0; i < n; ++i)
    channels.push_back(DecodeChannelSlot(packet.Data() + TList::Slot(i, ChannelWireRecordSize)));
  return true;
}

bool DecodeLoginStep5(const TPacket& packet, std::vector<TPlayerEntry>& players) {
  if (!IsCommandWithCode(packet, cmd::CMD_sc_LoginStep5)) return false;
  const size_t n = UsableSlots(packet, LoginStep5Slots, PlayerEntrySize);
  for (size_t i = 0; i < n; ++i)
    players.push_back(DecodePlayerEntry(packet.Data() + TList::Slot(i, PlayerEntrySize)));
  return true;
}

std::optional<TErrorReply> DecodeErrorReply(const TPacket& packet) {
  if (!packet.IsCommand() || packet.Size() < ErrorPacketSize) return {};
  const int16_t code = CommandCode(packet);
  if (code >= 0) return {};
  return TErrorReply{code, int16_t(GetLE16(packet.Data() + TErrorPacketLayout::RequestCode)),
                     GetLE32(packet.Data() + TErrorPacketLayout::RequestSequence)};
}

std::optional<uint32_t> NotifiedPlayerID(const TPacket& packet) {
  if (!packet.IsCommand() || packet.Size() < CommandHeaderSize + 4) return {};
  return GetLE32(packet.Data() + CommandHeaderSize);
}

TPacket EncodeAck(const TPacket& command, uint32_t connectionID, uint32_t playerID) {
  if (!command.IsCommand()) throw EClient("Only a command is acknowledged");
  TPacket ack = TPacket::WithMagic(MAGIC_ACK, AckPacketSize);
  auto header = ack.AckHeader();
  header.SetResendCount(GetLE16(command.Data() + 16));
  header.SetConnectionID(connectionID);
  header.SetPlayerID(playerID);
  header.SetSequence(GetLE32(command.Data() + 12));
  return ack;
}

TPacket EncodePing(uint32_t connectionID, uint32_t playerID, uint32_t sequence) {
  TPacket ping = TPacket::WithMagic(MAGIC_MAINTENANCE, MaintenanceHeaderSize);
  auto header = ping.MaintenanceHeader();
  header.SetType(MAINT_PING);
  header.SetConnectionID(connectionID);
  header.SetPlayerID(playerID);
  header.SetSequence(sequence);
  ping.SealChecksum();
  return ping;
}

std::optional<uint32_t> DecodePong(const TPacket& packet) {
  if (!packet.IsMaintenance() || packet.Size() < PongSize) return {};
  if (MaintenanceType(packet) != MAINT_PONG) return {};
  return GetLE32(packet.Data() + TPongLayout::PingSequence);
}

TPacket EncodeVoice(const TVoiceFrame& frame, uint32_t connectionID, uint32_t playerID,
                    uint16_t voiceCounter) {
  const bool whisper = frame.Target == VOICETARGET_WHISPER;
  if (whisper && frame.Whisper.size() > TWhisper::MaxTargets)
    throw EClient("A whisper names at most 255 targets");
  TPacket packet = TPacket::WithMagic(MAGIC_VOICEC2S, VoiceC2SHeaderSize);
  auto header = packet.VoiceC2SHeader();
  header.SetTarget(frame.Target);
  header.SetPassThrough1(frame.PassThrough1);
  header.SetConnectionID(connectionID);
  header.SetPlayerID(playerID);
  header.SetVoiceCounter(voiceCounter);
  header.SetPassThrough2(frame.PassThrough2);
  if (whisper) {
    packet.Resize(TWhisper::VoiceData(frame.Whisper.size()));
    uint8_t* p = packet.Data();
    p[TWhisper::Count] = uint8_t(frame.Whisper.size());
    for (size_t i = 0; i < frame.Whisper.size(); ++i) {
      uint8_t* target = p + TWhisper::Target(i);
      target[TWhisper::Kind] = frame.Whisper[i].Kind;
      PutLE32(target + TWhisper::ID, frame.Whisper[i].ID);
    }
  }
  packet.Append(frame.Data.data(), frame.Data.size());
  return packet;
}

std::optional<TReceivedVoice> DecodeVoice(const TPacket& packet) {
  if (!packet.IsVoiceS2C()) return {};
  const uint8_t* p = packet.Data();
  TReceivedVoice voice;
  voice.Target = p[2];
  voice.PassThrough1 = p[3];
  voice.ConnectionID = GetLE32(p + 4);
  voice.PlayerID = GetLE32(p + 8);
  voice.VoiceCounter = GetLE16(p + 12);
  voice.PassThrough2 = GetLE16(p + 14);
  voice.SenderPlayerID = GetLE32(p + 16);
  voice.SenderCounter = GetLE16(p + 20);
  voice.Data.assign(p + VoiceS2CHeaderSize, p + packet.Size());
  return voice;
}

}  // namespace vx::client
