// The client side of the voice protocol's packets: building the login
// request, the login commands, acknowledgements, pings and voice frames, and
// reading the login reply, the channel and player lists, pongs and relayed
// voice. Everything here is pure: bytes in, values out, no socket, no clock.
// Every reader bounds-checks the datagram; a short or foreign one yields
// nothing instead of being read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "common/Packets.h"
#include "common/WireLayout.h"

namespace vx::client {

class EClient : public Exception {
 public:
  using Exception::Exception;
};

// Readable meaning of a login result ("accepted", "server full", ...).
std::string LoginResultText(int32_t result);

struct TLoginRequest {
  std::string ClientName = "vxclient";
  std::string ClientPlatform = "Linux";
  uint16_t ClientVersionMajor = 2;
  uint16_t ClientVersionMinor = 0;
  uint16_t ClientVersionRelease = 20;  // the server refuses 12 and below
  uint16_t ClientVersionBuild = 1;
  uint8_t GuestNaming = 0;           // not 0: the server makes the nickname unique
  uint8_t ServerPasswordAlways = 0;  // 1: the server password counts for accounts too
  std::string LogInName;             // empty for an anonymous login
  std::string PassWord;              // account password, or the server password
  std::string NickName;
};

struct TLoginReply {
  uint32_t Sequence = 0;  // maintenance sequence of the reply's header
  std::string ServerName;
  std::string ServerPlatform;
  uint16_t VersionMajor = 0;
  uint16_t VersionMinor = 0;
  uint16_t VersionRelease = 0;
  uint16_t VersionBuild = 0;
  int32_t Result = 0;
  uint32_t CodecMask = 0;
  uint16_t ServerType = 0;
  uint16_t ServerFlags = 0;
  uint32_t MaxUsers = 0;
  uint32_t ConnectionID = 0;
  uint32_t PlayerID = 0;
  std::string WelcomeMessage;
};

struct TLoginStep3 {
  uint8_t Flag = 0;  // 1 asks the server to refuse the client
  std::string Channel;
  std::string SubChannel;
  std::string ChannelPassword;
};

// One 176-byte channel slot of CMD_sc_LoginStep4.
struct TChannelEntry {
  int32_t ChannelID = 0;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  int32_t Parent = -1;
  std::string Name;
  std::string Topic;
  std::string Description;
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
};

// One 46-byte player entry.
struct TPlayerEntry {
  uint32_t PlayerID = 0;
  int32_t ChannelID = 0;
  uint16_t ChannelPrivileges = 0;
  uint16_t Priviliges = 0;
  uint32_t PlayerFlags = 0;
  std::string NickName;
};

struct TWhisperTarget {
  uint8_t Kind = WHISPER_PLAYER;
  uint32_t ID = 0;
};

// A voice frame the client sends.
struct TVoiceFrame {
  uint8_t Target = VOICETARGET_CHANNEL;
  uint8_t PassThrough1 = 0;
  uint16_t PassThrough2 = 0;
  std::vector<TWhisperTarget> Whisper;  // used with VOICETARGET_WHISPER only
  std::vector<uint8_t> Data;
};

// A relayed voice frame (VOICES2C) as received.
struct TReceivedVoice {
  uint8_t Target = 0;
  uint8_t PassThrough1 = 0;
  uint32_t ConnectionID = 0;
  uint32_t PlayerID = 0;
  uint16_t VoiceCounter = 0;
  uint16_t PassThrough2 = 0;
  uint32_t SenderPlayerID = 0;
  uint16_t SenderCounter = 0;
  std::vector<uint8_t> Data;
};

// Failed request of a CMD_sc_ErrorPacket (a command with a negative code).
struct TErrorReply {
  int16_t ErrorNumber = 0;
  int16_t RequestCode = 0;
  uint32_t RequestSequence = 0;
};

// The Code of a command packet; 0 for a datagram of another class.
int16_t CommandCode(const TPacket& packet);
// The Type of a maintenance packet; 0 for a datagram of another class.
uint16_t MaintenanceType(const TPacket& packet);

// The 180-byte MAINT_LOGINREQUEST with both ids 0 and the given maintenance
// sequence, checksum sealed.
TPacket EncodeLoginRequest(const TLoginRequest& request, uint32_t sequence);
// Reads a MAINT_LOGINREPLY. A refusing reply may carry zeros beyond the ids,
// and a shorter one is read as far as it goes (the rest counts as zero);
// nothing is returned for anything that is not a valid login reply of at
// least 92 bytes (header, version and result).
std::optional<TLoginReply> DecodeLoginReply(const TPacket& packet);

// A COMMAND with the code and the payload after the header; ids, sequence,
// resend count and checksum are written when it is sent.
TPacket MakeCommand(int16_t code, std::span<const uint8_t> payload = {});
// CMD_cs_LoginStep3 (116 bytes).
TPacket EncodeLoginStep3(const TLoginStep3& step3);
// Appends the channels of one CMD_sc_LoginStep4; false when the packet is no
// such command. A count beyond the three slots or the packet's length is cut.
bool DecodeLoginStep4(const TPacket& packet, std::vector<TChannelEntry>& channels);
// Appends the players of one CMD_sc_LoginStep5, likewise with ten slots.
bool DecodeLoginStep5(const TPacket& packet, std::vector<TPlayerEntry>& players);
TChannelEntry DecodeChannelSlot(const uint8_t* slot);
TPlayerEntry DecodePlayerEntry(const uint8_t* entry);
// The error number, request code and request sequence of CMD_sc_ErrorPacket.
std::optional<TErrorReply> DecodeErrorReply(const TPacket& packet);
// The subject player id at offset 24 of a notification (entered, left, ...).
std::optional<uint32_t> NotifiedPlayerID(const TPacket& packet);

// The 16-byte ACK of a received command: its ResendCount and Sequence, and
// the given ids.
TPacket EncodeAck(const TPacket& command, uint32_t connectionID, uint32_t playerID);
// A 20-byte MAINT_PING, checksum sealed.
TPacket EncodePing(uint32_t connectionID, uint32_t playerID, uint32_t sequence);
// The ping sequence that a MAINT_PONG echoes, or nothing for another packet.
std::optional<uint32_t> DecodePong(const TPacket& packet);

// A VOICEC2S frame. With VOICETARGET_WHISPER the target list (count byte, then
// kind and id per target) precedes the voice data; more than 255 targets
// raise EClient.
TPacket EncodeVoice(const TVoiceFrame& frame, uint32_t connectionID, uint32_t playerID,
                    uint16_t voiceCounter);
std::optional<TReceivedVoice> DecodeVoice(const TPacket& packet);

}  // namespace vx::client
