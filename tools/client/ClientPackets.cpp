#include "client/ClientPackets.h"

#include <algorithm>
#include <array>

#include "common/ByteOrder.h"
#include "common/TextN.h"

namespace vx::client {

namespace {

// Offsets of the login request.
constexpr size_t ReqClientName = 20;
constexpr size_t ReqClientPlatform = 50;
constexpr size_t ReqVersion = 80;
constexpr size_t ReqGuestNaming = 88;
constexpr size_t ReqServerPasswordAlways = 89;
constexpr size_t ReqLogInName = 90;
constexpr size_t ReqPassWord = 120;
constexpr size_t ReqNickName = 150;

// Offsets of the login reply.
constexpr size_t RepServerName = 20;
constexpr size_t RepServerPlatform = 50;
constexpr size_t RepVersion = 80;
constexpr size_t RepResult = 88;
constexpr size_t RepCodecMask = 92;
constexpr size_t RepServerType = 100;
constexpr size_t RepServerFlags = 102;
constexpr size_t RepMaxUsers = 104;
constexpr size_t RepConnectionID = 108;
constexpr size_t RepPlayerID = 112;
constexpr size_t RepWelcome = 116;
constexpr size_t RepMinimum = RepResult + 4;

// Offsets of CMD_cs_LoginStep3.
constexpr size_t Step3Flag = 25;
constexpr size_t Step3Channel = 26;
constexpr size_t Step3SubChannel = 56;
constexpr size_t Step3Password = 86;

// Offsets of a channel slot.
constexpr size_t SlotFlags = 4;
constexpr size_t SlotCodec = 6;
constexpr size_t SlotParent = 8;
constexpr size_t SlotName = 12;
constexpr size_t SlotTopic = 42;
constexpr size_t SlotDescription = 72;
constexpr size_t SlotOrder = 172;
constexpr size_t SlotMaxUsers = 174;

constexpr size_t ListCount = CommandHeaderSize;
constexpr size_t ListSlots = CommandHeaderSize + 4;

static_assert(ReqNickName + ShortTextSize + 1 == LoginRequestSize);
static_assert(RepWelcome + WelcomeTextSize + 1 == LoginReplySize);
static_assert(Step3Password + ShortTextSize + 1 == LoginStep3Size);
static_assert(SlotMaxUsers + 2 == ChannelSlotSize);
static_assert(ListSlots + ChannelSlotsPerPacket * ChannelSlotSize == LoginStep4Size);
static_assert(ListSlots + PlayerSlotsPerPacket * PlayerEntrySize == LoginStep5Size);

bool IsCommandWithCode(const TPacket& packet, int16_t code) {
  return packet.IsCommand() && CommandCode(packet) == code;
}

// Number of slots of a list command that are both counted and present.
size_t UsableSlots(const TPacket& packet, size_t maxSlots, size_t slotSize) {
  if (packet.Size() < ListSlots) return 0;
  const uint32_t count = GetLE32(packet.Data() + ListCount);
  const size_t present = (packet.Size() - ListSlots) / slotSize;
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
    case LOGIN_BADPASSWORD:
      return "wrong server password or bad nickname";
    case LOGIN_SERVERFULL:
      return "server full";
    case LOGIN_NICKNAMEINUSE:
      return "nickname in use";
    case LOGIN_CLIENTTOOOLD:
      return "client too old";
    case LOGIN_WRONGLOGIN:
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
  PutTextN(p + ReqClientName, ShortTextSize, request.ClientName);
  PutTextN(p + ReqClientPlatform, ShortTextSize, request.ClientPlatform);
  PutLE16(p + ReqVersion, request.ClientVersionMajor);
  PutLE16(p + ReqVersion + 2, request.ClientVersionMinor);
  PutLE16(p + ReqVersion + 4, request.ClientVersionRelease);
  PutLE16(p + ReqVersion + 6, request.ClientVersionBuild);
  p[ReqGuestNaming] = request.GuestNaming;
  p[ReqServerPasswordAlways] = request.ServerPasswordAlways;
  PutTextN(p + ReqLogInName, ShortTextSize, request.LogInName);
  PutTextN(p + ReqPassWord, ShortTextSize, request.PassWord);
  PutTextN(p + ReqNickName, ShortTextSize, request.NickName);
  packet.SealChecksum();
  return packet;
}

std::optional<TLoginReply> DecodeLoginReply(const TPacket& packet) {
  if (!packet.IsMaintenance() || packet.Size() < RepMinimum || !packet.IsValid()) return {};
  if (MaintenanceType(packet) != MAINT_LOGINREPLY) return {};
  // Read from a zero-filled image of the full reply, so that a short reply
  // reads as zeros and no field is read past the datagram.
  std::array<uint8_t, LoginReplySize> image{};
  std::copy_n(packet.Data(), std::min(packet.Size(), image.size()), image.begin());
  const uint8_t* p = image.data();
  TLoginReply reply;
  reply.Sequence = GetLE32(p + 12);
  reply.ServerName = GetTextN(p + RepServerName, ShortTextSize);
  reply.ServerPlatform = GetTextN(p + RepServerPlatform, ShortTextSize);
  reply.VersionMajor = GetLE16(p + RepVersion);
  reply.VersionMinor = GetLE16(p + RepVersion + 2);
  reply.VersionRelease = GetLE16(p + RepVersion + 4);
  reply.VersionBuild = GetLE16(p + RepVersion + 6);
  reply.Result = GetLE32s(p + RepResult);
  reply.CodecMask = GetLE32(p + RepCodecMask);
  reply.ServerType = GetLE16(p + RepServerType);
  reply.ServerFlags = GetLE16(p + RepServerFlags);
  reply.MaxUsers = GetLE32(p + RepMaxUsers);
  reply.ConnectionID = GetLE32(p + RepConnectionID);
  reply.PlayerID = GetLE32(p + RepPlayerID);
  reply.WelcomeMessage = GetTextN(p + RepWelcome, WelcomeTextSize);
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
  packet.CommandHeader().SetCode(CMD_cs_LoginStep3);
  uint8_t* p = packet.Data();
  p[Step3Flag] = step3.Flag;
  PutTextN(p + Step3Channel, ShortTextSize, step3.Channel);
  PutTextN(p + Step3SubChannel, ShortTextSize, step3.SubChannel);
  PutTextN(p + Step3Password, ShortTextSize, step3.ChannelPassword);
  return packet;
}

TChannelEntry DecodeChannelSlot(const uint8_t* slot) {
  TChannelEntry channel;
  channel.ChannelID = GetLE32s(slot);
  channel.Flags = GetLE16(slot + SlotFlags);
  channel.Codec = GetLE16(slot + SlotCodec);
  channel.Parent = GetLE32s(slot + SlotParent);
  channel.Name = GetTextN(slot + SlotName, ShortTextSize);
  channel.Topic = GetTextN(slot + SlotTopic, ShortTextSize);
  channel.Description = GetTextN(slot + SlotDescription, DescriptionTextSize);
  channel.Order = GetLE16(slot + SlotOrder);
  channel.MaxUsers = GetLE16(slot + SlotMaxUsers);
  return channel;
}

TPlayerEntry DecodePlayerEntry(const uint8_t* entry) {
  TPlayerEntry player;
  player.PlayerID = GetLE32(entry);
  player.ChannelID = GetLE32s(entry + 4);
  player.ChannelPrivileges = GetLE16(entry + 8);
  player.Priviliges = GetLE16(entry + 10);
  player.PlayerFlags = GetLE32(entry + 12);
  player.NickName = GetTextN(entry + 16, ShortTextSize);
  return player;
}

bool DecodeLoginStep4(const TPacket& packet, std::vector<TChannelEntry>& channels) {
  if (!IsCommandWithCode(packet, CMD_sc_LoginStep4)) return false;
  const size_t n = UsableSlots(packet, ChannelSlotsPerPacket, ChannelSlotSize);
  for (size_t i = 0; i < n; ++i)
    channels.push_back(DecodeChannelSlot(packet.Data() + ListSlots + i * ChannelSlotSize));
  return true;
}

bool DecodeLoginStep5(const TPacket& packet, std::vector<TPlayerEntry>& players) {
  if (!IsCommandWithCode(packet, CMD_sc_LoginStep5)) return false;
  const size_t n = UsableSlots(packet, PlayerSlotsPerPacket, PlayerEntrySize);
  for (size_t i = 0; i < n; ++i)
    players.push_back(DecodePlayerEntry(packet.Data() + ListSlots + i * PlayerEntrySize));
  return true;
}

std::optional<TErrorReply> DecodeErrorReply(const TPacket& packet) {
  if (!packet.IsCommand() || packet.Size() < CommandHeaderSize + 6) return {};
  const int16_t code = CommandCode(packet);
  if (code >= 0) return {};
  return TErrorReply{code, int16_t(GetLE16(packet.Data() + 24)), GetLE32(packet.Data() + 26)};
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
  return GetLE32(packet.Data() + MaintenanceHeaderSize);
}

TPacket EncodeVoice(const TVoiceFrame& frame, uint32_t connectionID, uint32_t playerID,
                    uint16_t voiceCounter) {
  const bool whisper = frame.Target == VOICE_WHISPER;
  if (whisper && frame.Whisper.size() > MaxWhisperTargets)
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
    std::vector<uint8_t> list(1 + frame.Whisper.size() * WhisperTargetSize);
    list[0] = uint8_t(frame.Whisper.size());
    for (size_t i = 0; i < frame.Whisper.size(); ++i) {
      uint8_t* entry = list.data() + 1 + i * WhisperTargetSize;
      entry[0] = frame.Whisper[i].Kind;
      PutLE32(entry + 1, frame.Whisper[i].ID);
    }
    packet.Append(list.data(), list.size());
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
