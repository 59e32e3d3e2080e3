// The payloads of the voice protocol: where each field of the login, of
// every command and of the whisper list lies, how long each packet is, the
// command codes of both directions, the error numbers of CMD_sc_ErrorPacket
// and the values of the few enumerated fields. The server and the client
// library read and write packets with these names only; the packet headers
// themselves are in Packets.h.
//
// Offsets count from the first byte of the packet. Integers are
// little-endian (ByteOrder.h); a text N field takes N+1 bytes (TextN.h).
// Each layout checks at compile time that its fields follow one another
// without gap or overlap and end where the packet ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "common/Packets.h"

namespace vx {

// --- Building blocks ---------------------------------------------------------

// Widths N of the text fields.
constexpr size_t ShortTextSize = 29;        // names, topics, passwords, reasons
constexpr size_t DescriptionTextSize = 99;  // channel descriptions
constexpr size_t LongTextSize = 255;        // the welcome message, text messages
// Bytes each of them takes on the wire.
constexpr size_t ShortTextBytes = ShortTextSize + 1;
constexpr size_t DescriptionTextBytes = DescriptionTextSize + 1;
constexpr size_t LongTextBytes = LongTextSize + 1;

// One field of a layout: its offset and the bytes it takes.
struct TWireField {
  size_t Offset;
  size_t Width;
};

// Whether the fields follow one another from `start`, without gap or
// overlap, and the last one ends at `end`.
constexpr bool FieldsTile(size_t start, std::initializer_list<TWireField> fields, size_t end) {
  size_t at = start;
  for (const TWireField& field : fields) {
    if (field.Offset != at) return false;
    at += field.Width;
  }
  return at == end;
}

// --- Command codes -------------------------------------------------------------

// The Code field of COMMAND packets. Handlers and senders carry the same
// names as functions; a negative code is an error number (below).
namespace cmd {
// Client to server.
constexpr int16_t CMD_cs_LoginStep3 = 0x0005;
constexpr int16_t CMD_cs_ChannelCreate = 0x00C9;
constexpr int16_t CMD_cs_ChannelChangePassword = 0x00CB;
constexpr int16_t CMD_cs_ChannelChangeProperties = 0x00CD;
constexpr int16_t CMD_cs_ChannelChangeName = 0x00CE;
constexpr int16_t CMD_cs_ChannelChangeTopic = 0x00CF;
constexpr int16_t CMD_cs_ChannelChangeDescription = 0x00D0;
constexpr int16_t CMD_cs_ChannelDestroy = 0x00D1;
constexpr int16_t CMD_cs_ChannelChangeMaxUsers = 0x00D2;
constexpr int16_t CMD_cs_ChannelChangeAll = 0x00D3;
constexpr int16_t CMD_cs_ChannelChangeOrder = 0x00D4;
constexpr int16_t CMD_cs_PlayerQuit = 0x012C;
constexpr int16_t CMD_cs_PlayerKick = 0x012D;
constexpr int16_t CMD_cs_PlayerKickFromChannel = 0x012E;
constexpr int16_t CMD_cs_PlayerChannelSwitch = 0x012F;
constexpr int16_t CMD_cs_PlayerFlagsChanged = 0x0130;
constexpr int16_t CMD_cs_PlayerRequestVoice = 0x0131;
constexpr int16_t CMD_cs_PlayerChangeChannelPrivilege = 0x0132;
constexpr int16_t CMD_cs_PlayerChangePrivilege = 0x0133;
constexpr int16_t CMD_cs_PlayerRegister = 0x0134;
constexpr int16_t CMD_cs_PlayerAdminRegister = 0x0136;
constexpr int16_t CMD_cs_InfoRequestPlayerConnectionInfoOnId = 0x0190;
constexpr int16_t CMD_cs_InfoRequestServerInfo = 0x0195;
constexpr int16_t CMD_cs_InfoSendText = 0x01AE;

// Server to client.
constexpr int16_t CMD_sc_LoginStep4 = 0x0006;
constexpr int16_t CMD_sc_LoginStep5 = 0x0007;
constexpr int16_t CMD_sc_LoginStep6 = 0x0008;
constexpr int16_t CMD_sc_NotifyPlayerEnteredScope = 0x0064;
constexpr int16_t CMD_sc_NotifyPlayerLeftScope = 0x0065;
constexpr int16_t CMD_sc_NotifyPlayerKickedFromChannel = 0x0066;
constexpr int16_t CMD_sc_NotifyPlayerSwitchedChannel = 0x0067;
constexpr int16_t CMD_sc_NotifyPlayerFlagsChanged = 0x0068;
constexpr int16_t CMD_sc_NotifyPlayerRequestedVoice = 0x0069;
constexpr int16_t CMD_sc_NotifyPlayerChannelPrivilegeChanged = 0x006A;
constexpr int16_t CMD_sc_NotifyPlayerPrivilegesChanged = 0x006B;
constexpr int16_t CMD_sc_NotifyPlayersInSwitchedChannel = 0x006C;
constexpr int16_t CMD_sc_NotifyChannelCreated = 0x006E;
constexpr int16_t CMD_sc_NotifyChannelNameChanged = 0x006F;
constexpr int16_t CMD_sc_NotifyChannelTopicChanged = 0x0070;
constexpr int16_t CMD_sc_NotifyChannelPropertiesChanged = 0x0071;
constexpr int16_t CMD_sc_NotifyChannelDescriptionChanged = 0x0072;
constexpr int16_t CMD_sc_NotifyChannelDestroyed = 0x0073;
constexpr int16_t CMD_sc_NotifyChannelMaxUsersChanged = 0x0074;
constexpr int16_t CMD_sc_NotifyChannelOrderChanged = 0x0075;
constexpr int16_t CMD_sc_NotifyTextMessage = 0x0082;
constexpr int16_t CMD_sc_ChannelPasswordChanged = 0x00CC;
constexpr int16_t CMD_sc_PlayerAdminRegisteredOK = 0x0137;
constexpr int16_t CMD_sc_PlayerConnectionInfo = 0x0194;
constexpr int16_t CMD_sc_ServerInfo = 0x0196;
}  // namespace cmd

// --- Error numbers and login results -------------------------------------------

// Error numbers of CMD_sc_ErrorPacket, sent as the packet's Code: each must
// be a negative 16-bit number, or the build fails.
consteval int32_t ErrorNumber(int32_t number) {
  if (number >= 0 || number < INT16_MIN) throw "an error number is a negative 16-bit code";
  return number;
}
constexpr int32_t PLAYERERR_NOT_FOUND = ErrorNumber(-100);
constexpr int32_t CHANNELERR_NOT_FOUND = ErrorNumber(-102);
constexpr int32_t CHANNELERR_PARENT_NOT_FOUND = ErrorNumber(-103);
constexpr int32_t CHANNELERR_CODEC_NOT_ALLOWED = ErrorNumber(-108);
constexpr int32_t CHANNELERR_HAS_PLAYERS = ErrorNumber(-109);
constexpr int32_t CHANNELERR_PASSWORD_REQUIRED = ErrorNumber(-110);
// Sent in the long error packet, with the channel.
constexpr int32_t CHANNELERR_WRONG_PASSWORD = ErrorNumber(-111);
constexpr int32_t CHANNELERR_FULL = ErrorNumber(-113);
constexpr int32_t CHANNELERR_NAME_EXISTS = ErrorNumber(-114);
constexpr int32_t CHANNELERR_PARENT_NO_SUBCHANNELS = ErrorNumber(-115);
constexpr int32_t CHANNELERR_IS_DEFAULT = ErrorNumber(-117);
constexpr int32_t CHANNELERR_SUBCHANNEL_PASSWORD = ErrorNumber(-120);
constexpr int32_t CHANNELERR_PARENT_IS_SUBCHANNEL = ErrorNumber(-122);
constexpr int32_t CHANNELERR_SUBCHANNEL_PROPERTIES = ErrorNumber(-123);
constexpr int32_t VOICEERR_NOT_MODERATED = ErrorNumber(-130);
constexpr int32_t VOICEERR_ALREADY_REQUESTED = ErrorNumber(-131);
// Registering needs SERVERPRIV_ALLOWREGISTER.
constexpr int32_t PERMERR_REGISTER = ErrorNumber(-140);
constexpr int32_t REGISTERERR_ADD_FAILED = ErrorNumber(-141);
constexpr int32_t REGISTERERR_ALREADY_REGISTERED = ErrorNumber(-143);
// Refused for lack of rights: only a server admin may do this; it needs
// operator, channel admin or server admin; it needs channel admin or server
// admin.
constexpr int32_t PERMERR_SERVER_ADMIN = ErrorNumber(-1000);
constexpr int32_t PERMERR_OPERATOR = ErrorNumber(-1007);
constexpr int32_t PERMERR_CHANNEL_ADMIN = ErrorNumber(-1008);
constexpr int32_t PRIVERR_HOLDS_ADMIN = ErrorNumber(-1021);
constexpr int32_t PRIVERR_HOLDS_OPERATOR = ErrorNumber(-1022);
constexpr int32_t PRIVERR_HOLDS_VOICE = ErrorNumber(-1023);
constexpr int32_t PRIVERR_AUTO_NEEDS_REGISTERED = ErrorNumber(-1035);

// Results of the login reply.
constexpr int32_t LOGIN_ACCEPTED = 1;
constexpr int32_t LOGIN_BAD_PASSWORD_OR_NAME = -1;  // server password, or an unusable nickname
constexpr int32_t LOGIN_SERVER_FULL = -2;
constexpr int32_t LOGIN_NICKNAME_IN_USE = -4;
constexpr int32_t LOGIN_CLIENT_TOO_OLD = -5;
constexpr int32_t LOGIN_BAD_ACCOUNT = -21;  // no such account, or a wrong account password

// --- Values of enumerated fields ------------------------------------------------

// Reason codes of CMD_sc_NotifyPlayerLeftScope.
constexpr uint16_t LEFT_QUIT = 1;  // quit, or the connection closed
constexpr uint16_t LEFT_KICKED = 2;
constexpr uint16_t LEFT_TIMEOUT = 3;
constexpr uint16_t LEFT_SERVER_STOPPED = 4;
constexpr uint16_t LEFT_SWITCHED_CHANNEL = 6;  // out of view after a switch (public servers)

// Action byte of the privilege commands and notices: a player's grant or
// revoke, and the server's own grant or revoke as a consequence of another
// change.
constexpr uint8_t PRIVACTION_GRANT = 0;
constexpr uint8_t PRIVACTION_SERVER_GRANT = 1;
constexpr uint8_t PRIVACTION_REVOKE = 2;
constexpr uint8_t PRIVACTION_SERVER_REVOKE = 3;

// Target byte of voice frames.
constexpr uint8_t VOICETARGET_CHANNEL = 0;
constexpr uint8_t VOICETARGET_WHISPER = 1;
constexpr uint8_t VOICETARGET_PARENT = 2;

// Kind byte of a whisper target; a relayed whisper carries the kind through
// which it reached its recipient as its target.
constexpr uint8_t WHISPER_CHANNEL = 0;
constexpr uint8_t WHISPER_PLAYER = 1;

// --- Records carried inside packets --------------------------------------------

// A channel (176 bytes): in the login's channel list, the created notice
// and the change-all command. Offsets from the start of the record.
constexpr size_t ChannelWireRecordSize = 176;
struct TChannelRecordLayout {
  static constexpr size_t ChannelID = 0;     // signed 32 bits
  static constexpr size_t Flags = 4;         // 16 bits
  static constexpr size_t Codec = 6;         // 16 bits
  static constexpr size_t Parent = 8;        // signed 32 bits, -1 at the top level
  static constexpr size_t Name = 12;         // text 29
  static constexpr size_t Topic = 42;        // text 29
  static constexpr size_t Description = 72;  // text 99
  static constexpr size_t Order = 172;       // 16 bits
  static constexpr size_t MaxUsers = 174;    // 16 bits
  static_assert(FieldsTile(0,
                           {{ChannelID, 4},
                            {Flags, 2},
                            {Codec, 2},
                            {Parent, 4},
                            {Name, ShortTextBytes},
                            {Topic, ShortTextBytes},
                            {Description, DescriptionTextBytes},
                            {Order, 2},
                            {MaxUsers, 2}},
                           ChannelWireRecordSize));
};

// A player (46 bytes): in the login's player list, the entered-scope notice
// and the players-in-switched-channel notice. Offsets from its start.
constexpr size_t PlayerEntrySize = 46;
struct TPlayerEntryLayout {
  static constexpr size_t PlayerID = 0;           // 32 bits
  static constexpr size_t ChannelID = 4;          // signed 32 bits
  static constexpr size_t ChannelPrivileges = 8;  // 16 bits
  static constexpr size_t Priviliges = 10;        // 16 bits
  static constexpr size_t PlayerFlags = 12;       // 32 bits
  static constexpr size_t NickName = 16;          // text 29
  static_assert(FieldsTile(0,
                           {{PlayerID, 4},
                            {ChannelID, 4},
                            {ChannelPrivileges, 2},
                            {Priviliges, 2},
                            {PlayerFlags, 4},
                            {NickName, ShortTextBytes}},
                           PlayerEntrySize));
};

// Lists of records (the login's channels and players, the players in view
// after a switch): a 32-bit count, then fixed slots of which the first
// count hold records.
struct TRecordListLayout {
  static constexpr size_t Count = CommandHeaderSize;  // 32 bits
  static constexpr size_t Slots = Count + 4;
  // The place of slot `index` of records `recordSize` bytes long.
  static constexpr size_t Slot(size_t index, size_t recordSize) {
    return Slots + index * recordSize;
  }
};

// --- The login -------------------------------------------------------------------

// MAINT_LOGINREQUEST: a maintenance packet with both ids 0.
constexpr size_t LoginRequestSize = 180;
// A request of any other length of at least this many bytes is read as
// that long: the fields from GuestNaming on then count as zero and empty.
constexpr size_t LoginRequestShortSize = 88;
struct TLoginRequestLayout {
  static constexpr size_t ClientName = 20;            // text 29
  static constexpr size_t ClientPlatform = 50;        // text 29
  static constexpr size_t ClientVersionMajor = 80;    // 16 bits
  static constexpr size_t ClientVersionMinor = 82;    // 16 bits
  static constexpr size_t ClientVersionRelease = 84;  // 16 bits, must be above 12
  static constexpr size_t ClientVersionBuild = 86;    // 16 bits
  static constexpr size_t GuestNaming = 88;           // 1 byte, not 0: make the nickname unique
  static constexpr size_t ServerPasswordAlways = 89;  // 1 byte, 1: server password for accounts too
  static constexpr size_t LogInName = 90;             // text 29, empty for an anonymous login
  static constexpr size_t PassWord = 120;             // text 29
  static constexpr size_t NickName = 150;             // text 29
  static_assert(FieldsTile(MaintenanceHeaderSize,
                           {{ClientName, ShortTextBytes},
                            {ClientPlatform, ShortTextBytes},
                            {ClientVersionMajor, 2},
                            {ClientVersionMinor, 2},
                            {ClientVersionRelease, 2},
                            {ClientVersionBuild, 2}},
                           LoginRequestShortSize));
  static_assert(FieldsTile(LoginRequestShortSize,
                           {{GuestNaming, 1},
                            {ServerPasswordAlways, 1},
                            {LogInName, ShortTextBytes},
                            {PassWord, ShortTextBytes},
                            {NickName, ShortTextBytes}},
                           LoginRequestSize));
};

// MAINT_LOGINREPLY. A refusal from the first phase of the login carries
// only the header, Result, ConnectionID and PlayerID.
constexpr size_t LoginReplySize = 372;
struct TLoginReplyLayout {
  static constexpr size_t ServerName = 20;       // text 29
  static constexpr size_t ServerPlatform = 50;   // text 29
  static constexpr size_t VersionMajor = 80;     // 16 bits
  static constexpr size_t VersionMinor = 82;     // 16 bits
  static constexpr size_t VersionRelease = 84;   // 16 bits
  static constexpr size_t VersionBuild = 86;     // 16 bits
  static constexpr size_t Result = 88;           // signed 32 bits, LOGIN_...
  static constexpr size_t CodecMask = 92;        // 32 bits, bit n: codec n allowed
  static constexpr size_t Reserved = 96;         // 32 bits, 0
  static constexpr size_t ServerType = 100;      // 16 bits
  static constexpr size_t ServerFlags = 102;     // 16 bits
  static constexpr size_t MaxUsers = 104;        // 32 bits
  static constexpr size_t ConnectionID = 108;    // 32 bits, the new session key
  static constexpr size_t PlayerID = 112;        // 32 bits, the new player id
  static constexpr size_t WelcomeMessage = 116;  // text 255
  static_assert(FieldsTile(MaintenanceHeaderSize,
                           {{ServerName, ShortTextBytes},
                            {ServerPlatform, ShortTextBytes},
                            {VersionMajor, 2},
                            {VersionMinor, 2},
                            {VersionRelease, 2},
                            {VersionBuild, 2},
                            {Result, 4},
                            {CodecMask, 4},
                            {Reserved, 4},
                            {ServerType, 2},
                            {ServerFlags, 2},
                            {MaxUsers, 4},
                            {ConnectionID, 4},
                            {PlayerID, 4},
                            {WelcomeMessage, LongTextBytes}},
                           LoginReplySize));
};

// CMD_cs_LoginStep3: the start channel.
constexpr size_t LoginStep3Size = 116;
struct TLoginStep3Layout {
  static constexpr size_t Reserved = 24;         // 1 byte, not read
  static constexpr size_t Flag = 25;             // 1 byte, 1: refuse the client
  static constexpr size_t Channel = 26;          // text 29
  static constexpr size_t SubChannel = 56;       // text 29
  static constexpr size_t ChannelPassword = 86;  // text 29
  static_assert(FieldsTile(CommandHeaderSize,
                           {{Reserved, 1},
                            {Flag, 1},
                            {Channel, ShortTextBytes},
                            {SubChannel, ShortTextBytes},
                            {ChannelPassword, ShortTextBytes}},
                           LoginStep3Size));
};

// CMD_sc_LoginStep4 and CMD_sc_LoginStep5: record lists of fixed length.
constexpr size_t LoginStep4Slots = 3;
constexpr size_t LoginStep4Size = 556;
constexpr size_t LoginStep5Slots = 10;
constexpr size_t LoginStep5Size = 488;
static_assert(TRecordListLayout::Slot(LoginStep4Slots, ChannelWireRecordSize) == LoginStep4Size);
static_assert(TRecordListLayout::Slot(LoginStep5Slots, PlayerEntrySize) == LoginStep5Size);
// CMD_sc_LoginStep6: the header alone.
constexpr size_t LoginStep6Size = CommandHeaderSize;

// --- Maintenance ----------------------------------------------------------------

// MAINT_PONG: the sequence of the ping it answers.
constexpr size_t PongSize = 24;
struct TPongLayout {
  static constexpr size_t PingSequence = MaintenanceHeaderSize;  // 32 bits
  static_assert(FieldsTile(MaintenanceHeaderSize, {{PingSequence, 4}}, PongSize));
};

// --- Errors ---------------------------------------------------------------------------

// CMD_sc_ErrorPacket: Code is the error number. A refused channel switch
// for a wrong password (CHANNELERR_WRONG_PASSWORD) carries the channel too.
constexpr size_t ErrorPacketSize = 30;
constexpr size_t WrongChannelPasswordErrorSize = 34;
struct TErrorPacketLayout {
  static constexpr size_t RequestCode = 24;      // 16 bits, code of the refused command
  static constexpr size_t RequestSequence = 26;  // 32 bits, its Sequence
  static constexpr size_t ChannelID = 30;        // 32 bits, long form only
  static_assert(FieldsTile(CommandHeaderSize, {{RequestCode, 2}, {RequestSequence, 4}},
                           ErrorPacketSize));
  static_assert(FieldsTile(ErrorPacketSize, {{ChannelID, 4}}, WrongChannelPasswordErrorSize));
};

// --- Channel commands and notices ---------------------------------------------------

constexpr size_t ChannelCreateSize = 226;
struct TChannelCreateLayout {
  static constexpr size_t Flags = 24;        // 16 bits
  static constexpr size_t Codec = 26;        // 16 bits
  static constexpr size_t Parent = 28;       // signed 32 bits, -1: top level
  static constexpr size_t Name = 32;         // text 29
  static constexpr size_t Topic = 62;        // text 29
  static constexpr size_t Description = 92;  // text 99
  static constexpr size_t Password = 192;    // text 29
  static constexpr size_t Order = 222;       // 16 bits
  static constexpr size_t MaxUsers = 224;    // 16 bits
  static_assert(FieldsTile(CommandHeaderSize,
                           {{Flags, 2},
                            {Codec, 2},
                            {Parent, 4},
                            {Name, ShortTextBytes},
                            {Topic, ShortTextBytes},
                            {Description, DescriptionTextBytes},
                            {Password, ShortTextBytes},
                            {Order, 2},
                            {MaxUsers, 2}},
                           ChannelCreateSize));
};

// Commands that name a channel and, most of them, set one value of it:
// password, name and topic (text 29), description (text 99), max users and
// order (16 bits); the destroy command names the channel alone.
constexpr size_t ChannelChangePasswordSize = 58;
constexpr size_t ChannelChangeNameSize = 58;
constexpr size_t ChannelChangeTopicSize = 58;
constexpr size_t ChannelChangeDescriptionSize = 128;
constexpr size_t ChannelChangeMaxUsersSize = 30;
constexpr size_t ChannelChangeOrderSize = 30;
constexpr size_t ChannelDestroySize = 28;
struct TChannelValueLayout {
  static constexpr size_t ChannelID = 24;  // signed 32 bits
  static constexpr size_t Value = 28;
  static_assert(FieldsTile(CommandHeaderSize, {{ChannelID, 4}}, ChannelDestroySize));
  static_assert(FieldsTile(ChannelDestroySize, {{Value, ShortTextBytes}}, ChannelChangeNameSize));
  static_assert(ChannelChangePasswordSize == ChannelChangeNameSize &&
                ChannelChangeTopicSize == ChannelChangeNameSize);
  static_assert(FieldsTile(ChannelDestroySize, {{Value, DescriptionTextBytes}},
                           ChannelChangeDescriptionSize));
  static_assert(FieldsTile(ChannelDestroySize, {{Value, 2}}, ChannelChangeMaxUsersSize) &&
                ChannelChangeOrderSize == ChannelChangeMaxUsersSize);
};

constexpr size_t ChannelChangePropertiesSize = 32;
struct TChannelChangePropertiesLayout {
  static constexpr size_t ChannelID = 24;  // signed 32 bits
  static constexpr size_t Flags = 28;      // 16 bits
  static constexpr size_t Codec = 30;      // 16 bits
  static_assert(FieldsTile(CommandHeaderSize, {{ChannelID, 4}, {Flags, 2}, {Codec, 2}},
                           ChannelChangePropertiesSize));
};

// The channel record (its Parent is not read), then the password.
constexpr size_t ChannelChangeAllSize = 230;
struct TChannelChangeAllLayout {
  static constexpr size_t Record = 24;
  static constexpr size_t Password = 200;  // text 29
  static_assert(FieldsTile(CommandHeaderSize,
                           {{Record, ChannelWireRecordSize}, {Password, ShortTextBytes}},
                           ChannelChangeAllSize));
};

// The answer to the password command: the channel id.
constexpr size_t ChannelPasswordChangedSize = 28;
struct TChannelPasswordChangedLayout {
  static constexpr size_t ChannelID = 24;  // signed 32 bits
  static_assert(FieldsTile(CommandHeaderSize, {{ChannelID, 4}}, ChannelPasswordChangedSize));
};

constexpr size_t NotifyChannelCreatedSize = 204;
struct TNotifyChannelCreatedLayout {
  static constexpr size_t Record = 24;
  static constexpr size_t CreatorID = 200;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize, {{Record, ChannelWireRecordSize}, {CreatorID, 4}},
                           NotifyChannelCreatedSize));
};

constexpr size_t NotifyChannelPropertiesChangedSize = 36;
struct TNotifyChannelPropertiesChangedLayout {
  static constexpr size_t ChannelID = 24;  // signed 32 bits
  static constexpr size_t Flags = 28;      // 16 bits
  static constexpr size_t Codec = 30;      // 16 bits
  static constexpr size_t ChangerID = 32;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize,
                           {{ChannelID, 4}, {Flags, 2}, {Codec, 2}, {ChangerID, 4}},
                           NotifyChannelPropertiesChangedSize));
};

// Notices of one changed value: the channel id, the value, then the id of
// the player who changed it in the last four bytes.
constexpr size_t NotifyChannelTextChangedSize = 62;  // name and topic
constexpr size_t NotifyChannelDescriptionChangedSize = 132;
constexpr size_t NotifyChannelNumberChangedSize = 34;  // max users and order
struct TNotifyChannelValueLayout {
  static constexpr size_t ChannelID = 24;  // signed 32 bits
  static constexpr size_t Value = 28;
  // Where the changer's id (32 bits) lies in a notice of this size.
  static constexpr size_t ChangerID(size_t size) { return size - 4; }
};
static_assert(FieldsTile(CommandHeaderSize,
                         {{TNotifyChannelValueLayout::ChannelID, 4},
                          {TNotifyChannelValueLayout::Value, ShortTextBytes},
                          {TNotifyChannelValueLayout::ChangerID(NotifyChannelTextChangedSize), 4}},
                         NotifyChannelTextChangedSize));
static_assert(
    FieldsTile(CommandHeaderSize,
               {{TNotifyChannelValueLayout::ChannelID, 4},
                {TNotifyChannelValueLayout::Value, DescriptionTextBytes},
                {TNotifyChannelValueLayout::ChangerID(NotifyChannelDescriptionChangedSize), 4}},
               NotifyChannelDescriptionChangedSize));
static_assert(FieldsTile(CommandHeaderSize,
                         {{TNotifyChannelValueLayout::ChannelID, 4},
                          {TNotifyChannelValueLayout::Value, 2},
                          {TNotifyChannelValueLayout::ChangerID(NotifyChannelNumberChangedSize),
                           4}},
                         NotifyChannelNumberChangedSize));

// The channel id travels as a signed 16-bit number here.
constexpr size_t NotifyChannelDestroyedSize = 30;
struct TNotifyChannelDestroyedLayout {
  static constexpr size_t ChannelID = 24;    // signed 16 bits
  static constexpr size_t DestroyerID = 26;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize, {{ChannelID, 2}, {DestroyerID, 4}},
                           NotifyChannelDestroyedSize));
};

// --- Player commands and notices ----------------------------------------------------

// Kick from the server and kick from the channel.
constexpr size_t PlayerKickSize = 58;
struct TPlayerKickLayout {
  static constexpr size_t PlayerID = 24;  // 32 bits, the target
  static constexpr size_t Reason = 28;    // text 29
  static_assert(FieldsTile(CommandHeaderSize, {{PlayerID, 4}, {Reason, ShortTextBytes}},
                           PlayerKickSize));
};

constexpr size_t PlayerChannelSwitchSize = 58;
struct TPlayerChannelSwitchLayout {
  static constexpr size_t ChannelID = 24;  // signed 32 bits
  static constexpr size_t Password = 28;   // text 29
  static_assert(FieldsTile(CommandHeaderSize, {{ChannelID, 4}, {Password, ShortTextBytes}},
                           PlayerChannelSwitchSize));
};

constexpr size_t PlayerFlagsChangedSize = 28;
struct TPlayerFlagsChangedLayout {
  static constexpr size_t PlayerFlags = 24;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize, {{PlayerFlags, 4}}, PlayerFlagsChangedSize));
};

constexpr size_t PlayerRequestVoiceSize = 54;
struct TPlayerRequestVoiceLayout {
  static constexpr size_t Message = 24;  // text 29
  static_assert(FieldsTile(CommandHeaderSize, {{Message, ShortTextBytes}}, PlayerRequestVoiceSize));
};

// Channel privilege and server privilege changes.
constexpr size_t PlayerChangePrivilegeSize = 30;
struct TPlayerChangePrivilegeLayout {
  static constexpr size_t PlayerID = 24;   // 32 bits, the target
  static constexpr size_t Action = 28;     // 1 byte, PRIVACTION_...
  static constexpr size_t BitNumber = 29;  // 1 byte, 0 to 15
  static_assert(FieldsTile(CommandHeaderSize, {{PlayerID, 4}, {Action, 1}, {BitNumber, 1}},
                           PlayerChangePrivilegeSize));
};

// Registering oneself; an admin registering an account adds the admin byte.
constexpr size_t PlayerRegisterSize = 84;
constexpr size_t PlayerAdminRegisterSize = 85;
struct TPlayerRegisterLayout {
  static constexpr size_t LogInName = 24;    // text 29
  static constexpr size_t PassWord = 54;     // text 29
  static constexpr size_t ServerAdmin = 84;  // 1 byte, admin form only: not 0 = yes
  static_assert(FieldsTile(CommandHeaderSize,
                           {{LogInName, ShortTextBytes}, {PassWord, ShortTextBytes}},
                           PlayerRegisterSize));
  static_assert(FieldsTile(PlayerRegisterSize, {{ServerAdmin, 1}}, PlayerAdminRegisterSize));
};

constexpr size_t NotifyPlayerEnteredScopeSize = 70;
struct TNotifyPlayerEnteredScopeLayout {
  static constexpr size_t Entry = 24;
  static_assert(FieldsTile(CommandHeaderSize, {{Entry, PlayerEntrySize}},
                           NotifyPlayerEnteredScopeSize));
};

constexpr size_t NotifyPlayerLeftScopeSize = 64;
struct TNotifyPlayerLeftScopeLayout {
  static constexpr size_t PlayerID = 24;        // 32 bits
  static constexpr size_t Reason = 28;          // 16 bits, LEFT_...
  static constexpr size_t ActingPlayerID = 30;  // 32 bits
  static constexpr size_t ReasonText = 34;      // text 29
  static_assert(
      FieldsTile(CommandHeaderSize,
                 {{PlayerID, 4}, {Reason, 2}, {ActingPlayerID, 4}, {ReasonText, ShortTextBytes}},
                 NotifyPlayerLeftScopeSize));
};

constexpr size_t NotifyPlayerKickedFromChannelSize = 68;
struct TNotifyPlayerKickedFromChannelLayout {
  static constexpr size_t PlayerID = 24;              // 32 bits
  static constexpr size_t OldChannelID = 28;          // signed 32 bits
  static constexpr size_t NewChannelID = 32;          // signed 32 bits
  static constexpr size_t NewChannelPrivileges = 36;  // 16 bits
  static constexpr size_t Reason = 38;                // text 29
  static_assert(FieldsTile(CommandHeaderSize,
                           {{PlayerID, 4},
                            {OldChannelID, 4},
                            {NewChannelID, 4},
                            {NewChannelPrivileges, 2},
                            {Reason, ShortTextBytes}},
                           NotifyPlayerKickedFromChannelSize));
};

constexpr size_t NotifyPlayerSwitchedChannelSize = 38;
struct TNotifyPlayerSwitchedChannelLayout {
  static constexpr size_t PlayerID = 24;           // 32 bits
  static constexpr size_t OldChannelID = 28;       // signed 32 bits
  static constexpr size_t NewChannelID = 32;       // signed 32 bits
  static constexpr size_t ChannelPrivileges = 36;  // 16 bits
  static_assert(
      FieldsTile(CommandHeaderSize,
                 {{PlayerID, 4}, {OldChannelID, 4}, {NewChannelID, 4}, {ChannelPrivileges, 2}},
                 NotifyPlayerSwitchedChannelSize));
};

constexpr size_t NotifyPlayerFlagsChangedSize = 32;
struct TNotifyPlayerFlagsChangedLayout {
  static constexpr size_t PlayerID = 24;     // 32 bits
  static constexpr size_t PlayerFlags = 28;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize, {{PlayerID, 4}, {PlayerFlags, 4}},
                           NotifyPlayerFlagsChangedSize));
};

constexpr size_t NotifyPlayerRequestedVoiceSize = 58;
struct TNotifyPlayerRequestedVoiceLayout {
  static constexpr size_t PlayerID = 24;  // 32 bits
  static constexpr size_t Message = 28;   // text 29
  static_assert(FieldsTile(CommandHeaderSize, {{PlayerID, 4}, {Message, ShortTextBytes}},
                           NotifyPlayerRequestedVoiceSize));
};

// Channel privilege and server privilege notices.
constexpr size_t NotifyPlayerPrivilegeSize = 34;
struct TNotifyPlayerPrivilegeLayout {
  static constexpr size_t PlayerID = 24;        // 32 bits
  static constexpr size_t Action = 28;          // 1 byte, PRIVACTION_...
  static constexpr size_t BitNumber = 29;       // 1 byte
  static constexpr size_t ActingPlayerID = 30;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize,
                           {{PlayerID, 4}, {Action, 1}, {BitNumber, 1}, {ActingPlayerID, 4}},
                           NotifyPlayerPrivilegeSize));
};

// A record list of player entries.
constexpr size_t PlayersInSwitchedChannelSlots = 10;
constexpr size_t NotifyPlayersInSwitchedChannelSize = 488;
static_assert(TRecordListLayout::Slot(PlayersInSwitchedChannelSlots, PlayerEntrySize) ==
              NotifyPlayersInSwitchedChannelSize);

constexpr size_t PlayerAdminRegisteredOKSize = CommandHeaderSize;

// --- Text and information -----------------------------------------------------------

constexpr size_t InfoSendTextSize = 288;
struct TInfoSendTextLayout {
  static constexpr size_t Text = 24;          // text 255
  static constexpr size_t PassThrough = 280;  // 32 bits, passed on unchanged
  static constexpr size_t ChannelID = 284;    // signed 32 bits, negative: every player
  static_assert(FieldsTile(CommandHeaderSize,
                           {{Text, LongTextBytes}, {PassThrough, 4}, {ChannelID, 4}},
                           InfoSendTextSize));
};

constexpr size_t NotifyTextMessageSize = 314;
struct TNotifyTextMessageLayout {
  static constexpr size_t Text = 24;          // text 255
  static constexpr size_t PassThrough = 280;  // 32 bits
  static constexpr size_t NickName = 284;     // text 29, the sender's
  static_assert(FieldsTile(CommandHeaderSize,
                           {{Text, LongTextBytes}, {PassThrough, 4}, {NickName, ShortTextBytes}},
                           NotifyTextMessageSize));
};

constexpr size_t InfoRequestPlayerConnectionInfoSize = 28;
struct TInfoRequestPlayerConnectionInfoLayout {
  static constexpr size_t PlayerID = 24;  // 32 bits
  static_assert(FieldsTile(CommandHeaderSize, {{PlayerID, 4}},
                           InfoRequestPlayerConnectionInfoSize));
};

constexpr size_t InfoRequestServerInfoSize = CommandHeaderSize;

constexpr size_t PlayerConnectionInfoSize = 164;
struct TPlayerConnectionInfoLayout {
  static constexpr size_t PlayerID = 24;              // 32 bits
  static constexpr size_t SecondsOnline = 28;         // 32 bits, since the login
  static constexpr size_t PacketLoss = 32;            // 16 bits, hundredths of a percent
  static constexpr size_t AveragePing = 34;           // 16 bits, ms
  static constexpr size_t SecondsIdle = 36;           // 32 bits, since the last packet
  static constexpr size_t ClientVersionMajor = 40;    // 16 bits
  static constexpr size_t ClientVersionMinor = 42;    // 16 bits
  static constexpr size_t ClientVersionRelease = 44;  // 16 bits
  static constexpr size_t ClientVersionBuild = 46;    // 16 bits
  static constexpr size_t PacketsSent = 48;           // 32 bits, to the player
  static constexpr size_t BytesSent = 52;             // 32 bits
  static constexpr size_t PacketsReceived = 56;       // 32 bits, from the player
  static constexpr size_t BytesReceived = 60;         // 32 bits
  static constexpr size_t PeerIP = 64;                // text 29, server admins only
  static constexpr size_t PeerPort = 94;              // 16 bits, server admins only
  static constexpr size_t LogInName = 96;             // text 29
  static constexpr size_t ChannelID = 126;            // signed 32 bits
  static constexpr size_t ChannelPrivileges = 130;    // 16 bits
  static constexpr size_t Priviliges = 132;           // 16 bits
  static constexpr size_t ClientPlatform = 134;       // text 29
  static_assert(FieldsTile(CommandHeaderSize,
                           {{PlayerID, 4},           {SecondsOnline, 4},
                            {PacketLoss, 2},         {AveragePing, 2},
                            {SecondsIdle, 4},        {ClientVersionMajor, 2},
                            {ClientVersionMinor, 2}, {ClientVersionRelease, 2},
                            {ClientVersionBuild, 2}, {PacketsSent, 4},
                            {BytesSent, 4},          {PacketsReceived, 4},
                            {BytesReceived, 4},      {PeerIP, ShortTextBytes},
                            {PeerPort, 2},           {LogInName, ShortTextBytes},
                            {ChannelID, 4},          {ChannelPrivileges, 2},
                            {Priviliges, 2},         {ClientPlatform, ShortTextBytes}},
                           PlayerConnectionInfoSize));
};

constexpr size_t ServerInfoSize = 56;
struct TServerInfoLayout {
  static constexpr size_t SecondsUp = 24;        // 32 bits, since the server started
  static constexpr size_t VersionMajor = 28;     // 16 bits
  static constexpr size_t VersionMinor = 30;     // 16 bits
  static constexpr size_t VersionRelease = 32;   // 16 bits
  static constexpr size_t VersionBuild = 34;     // 16 bits
  static constexpr size_t ServerType = 36;       // 16 bits
  static constexpr size_t ServerFlags = 38;      // 16 bits
  static constexpr size_t PacketsSent = 40;      // 32 bits
  static constexpr size_t BytesSent = 44;        // 32 bits
  static constexpr size_t PacketsReceived = 48;  // 32 bits
  static constexpr size_t BytesReceived = 52;    // 32 bits
  static_assert(FieldsTile(CommandHeaderSize,
                           {{SecondsUp, 4},
                            {VersionMajor, 2},
                            {VersionMinor, 2},
                            {VersionRelease, 2},
                            {VersionBuild, 2},
                            {ServerType, 2},
                            {ServerFlags, 2},
                            {PacketsSent, 4},
                            {BytesSent, 4},
                            {PacketsReceived, 4},
                            {BytesReceived, 4}},
                           ServerInfoSize));
};

// --- Voice ------------------------------------------------------------------------------

// A whisper (VOICETARGET_WHISPER) puts its targets between the VOICEC2S
// header and the voice data: a count byte (1 to 255), then per target its
// kind (WHISPER_...) and a 32-bit channel or player id.
struct TWhisperListLayout {
  static constexpr size_t Count = VoiceC2SHeaderSize;  // 1 byte
  static constexpr size_t Targets = Count + 1;
  static constexpr size_t TargetSize = 5;
  static constexpr size_t MaxTargets = 255;
  // Offsets within one target.
  static constexpr size_t Kind = 0;  // 1 byte
  static constexpr size_t ID = 1;    // 32 bits
  static_assert(FieldsTile(0, {{Kind, 1}, {ID, 4}}, TargetSize));
  // The place of target `index`, and where the voice data of a whisper to
  // `count` targets begins.
  static constexpr size_t Target(size_t index) { return Targets + index * TargetSize; }
  static constexpr size_t VoiceData(size_t count) { return Target(count); }
};

}  // namespace vx
