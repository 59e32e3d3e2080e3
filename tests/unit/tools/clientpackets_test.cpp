#include "client/ClientPackets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/TextN.h"
#include "domain/clientobject_u.h"

namespace vx::client {
namespace {

std::string Text(const TPacket& p, size_t offset) {
  return std::string(reinterpret_cast<const char*>(p.Data() + offset + 1), p.Data()[offset]);
}

bool ZeroFrom(const TPacket& p, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (p.Data()[i] != 0) return false;
  return true;
}

TEST(ClientPackets, LoginRequestLayout) {
  TLoginRequest request;
  request.ClientName = "Loop Client";
  request.ClientPlatform = "Linux x86";
  request.ClientVersionMajor = 0x0102;
  request.ClientVersionMinor = 0x0304;
  request.ClientVersionRelease = 0x0506;
  request.ClientVersionBuild = 0x0708;
  request.GuestNaming = 1;
  request.ServerPasswordAlways = 1;
  request.LogInName = "admin";
  request.PassWord = "secret";
  request.NickName = std::string(40, 'N');  // cut to 29

  TPacket p = EncodeLoginRequest(request, 1);
  ASSERT_EQ(p.Size(), 180u);
  EXPECT_TRUE(p.IsValid());
  const uint8_t head[] = {0xF4, 0xBE, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(p.Data(), p.Data() + 16), std::vector<uint8_t>(head, head + 16));
  EXPECT_EQ(Text(p, 20), "Loop Client");
  EXPECT_TRUE(ZeroFrom(p, 21 + 11, 50)) << "filler of the client name";
  EXPECT_EQ(Text(p, 50), "Linux x86");
  const uint8_t versions[] = {2, 1, 4, 3, 6, 5, 8, 7};
  EXPECT_EQ(std::vector<uint8_t>(p.Data() + 80, p.Data() + 88),
            std::vector<uint8_t>(versions, versions + 8));
  EXPECT_EQ(p.Data()[88], 1);
  EXPECT_EQ(p.Data()[89], 1);
  EXPECT_EQ(Text(p, 90), "admin");
  EXPECT_EQ(Text(p, 120), "secret");
  EXPECT_EQ(p.Data()[150], 29);
  EXPECT_EQ(Text(p, 150), std::string(29, 'N'));

  // The defaults are accepted by the server's version check.
  TPacket defaults = EncodeLoginRequest(TLoginRequest{}, 1);
  EXPECT_GT(GetLE16(defaults.Data() + 84), 12);
  EXPECT_EQ(defaults.Data()[88], 0);
  EXPECT_EQ(defaults.Data()[89], 0);
  EXPECT_EQ(defaults.Data()[90], 0) << "anonymous login";
}

TPacket CannedReply(size_t size) {
  TPacket p = TPacket::WithMagic(MAGIC_MAINTENANCE, 372);
  uint8_t* d = p.Data();
  PutLE16(d + 2, MAINT_LOGINREPLY);
  PutLE32(d + 8, 9);
  PutLE32(d + 12, 2);
  PutTextN(d + 20, 29, "Test Server");
  PutTextN(d + 50, 29, "Linux");
  PutLE16(d + 80, 2);
  PutLE16(d + 82, 0);
  PutLE16(d + 84, 18);
  PutLE16(d + 86, 31);
  PutLE32(d + 88, 1);
  PutLE32(d + 92, 0x1F);
  PutLE16(d + 100, 0x0102);
  PutLE16(d + 102, 0x0304);
  PutLE32(d + 104, 32);
  PutLE32(d + 108, 0x00ABCDEF);
  PutLE32(d + 112, 9);
  PutTextN(d + 116, 255, std::string(255, 'w'));
  p.Resize(size);
  p.SealChecksum();
  return p;
}

TEST(ClientPackets, LoginReplyParsing) {
  auto reply = DecodeLoginReply(CannedReply(372));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Sequence, 2u);
  EXPECT_EQ(reply->ServerName, "Test Server");
  EXPECT_EQ(reply->ServerPlatform, "Linux");
  EXPECT_EQ(reply->VersionMajor, 2);
  EXPECT_EQ(reply->VersionMinor, 0);
  EXPECT_EQ(reply->VersionRelease, 18);
  EXPECT_EQ(reply->VersionBuild, 31);
  EXPECT_EQ(reply->Result, 1);
  EXPECT_EQ(reply->CodecMask, 0x1Fu);
  EXPECT_EQ(reply->ServerType, 0x0102);
  EXPECT_EQ(reply->ServerFlags, 0x0304);
  EXPECT_EQ(reply->MaxUsers, 32u);
  EXPECT_EQ(reply->ConnectionID, 0x00ABCDEFu);
  EXPECT_EQ(reply->PlayerID, 9u);
  EXPECT_EQ(reply->WelcomeMessage, std::string(255, 'w'));

  // A refusing reply: only the result and the ids are filled.
  TPacket refusal = TPacket::WithMagic(MAGIC_MAINTENANCE, 372);
  PutLE16(refusal.Data() + 2, MAINT_LOGINREPLY);
  PutLE32(refusal.Data() + 88, uint32_t(-21));
  refusal.SealChecksum();
  reply = DecodeLoginReply(refusal);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Result, LOGIN_BAD_ACCOUNT);
  EXPECT_EQ(LoginResultText(reply->Result), "wrong login name or password");
  EXPECT_TRUE(reply->ServerName.empty());

  // A cut reply reads as far as it goes; the rest counts as zero.
  reply = DecodeLoginReply(CannedReply(100));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->ServerName, "Test Server");
  EXPECT_EQ(reply->Result, 1);
  EXPECT_EQ(reply->ConnectionID, 0u);
  EXPECT_TRUE(reply->WelcomeMessage.empty());
  EXPECT_FALSE(DecodeLoginReply(CannedReply(91))) << "no room for the result";

  // A hostile length byte never reads beyond its field.
  TPacket hostile = CannedReply(372);
  hostile.Data()[20] = 255;
  hostile.SealChecksum();
  EXPECT_EQ(DecodeLoginReply(hostile)->ServerName.size(), 29u);

  TPacket corrupt = CannedReply(372);
  corrupt.Data()[300] ^= 1;
  EXPECT_FALSE(DecodeLoginReply(corrupt)) << "bad checksum";
  TPacket request = EncodeLoginRequest(TLoginRequest{}, 1);
  EXPECT_FALSE(DecodeLoginReply(request)) << "wrong maintenance type";
  EXPECT_FALSE(DecodeLoginReply(MakeCommand(4)));
}

TEST(ClientPackets, LoginStep3Layout) {
  TLoginStep3 step3;
  step3.Flag = 1;
  step3.Channel = "Lobby";
  step3.SubChannel = "Corner";
  step3.ChannelPassword = "pw";
  TPacket p = EncodeLoginStep3(step3);
  ASSERT_EQ(p.Size(), 116u);
  EXPECT_EQ(p.CommandHeader().Code(), 5);
  EXPECT_EQ(p.Data()[24], 0);
  EXPECT_EQ(p.Data()[25], 1);
  EXPECT_EQ(Text(p, 26), "Lobby");
  EXPECT_EQ(Text(p, 56), "Corner");
  EXPECT_EQ(Text(p, 86), "pw");
  EXPECT_TRUE(ZeroFrom(p, 89, 116));
}

void PutChannelSlot(uint8_t* slot, int32_t id, int32_t parent, const std::string& name) {
  PutLE32(slot, uint32_t(id));
  PutLE16(slot + 4, 0x0018);
  PutLE16(slot + 6, 3);
  PutLE32(slot + 8, uint32_t(parent));
  PutTextN(slot + 12, 29, name);
  PutTextN(slot + 42, 29, name + " topic");
  PutTextN(slot + 72, 99, std::string(99, 'd'));
  PutLE16(slot + 172, 7);
  PutLE16(slot + 174, 25);
}

TEST(ClientPackets, ChannelAndPlayerLists) {
  TPacket step4 = MakeCommand(6);
  step4.Resize(556);
  PutLE32(step4.Data() + 24, 2);
  PutChannelSlot(step4.Data() + 28, 0, -1, "Lobby");
  PutChannelSlot(step4.Data() + 28 + 176, 4, 0, "Corner");
  PutChannelSlot(step4.Data() + 28 + 352, 99, -1, "NotCounted");
  std::vector<TChannelEntry> channels;
  ASSERT_TRUE(DecodeLoginStep4(step4, channels));
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[0].ChannelID, 0);
  EXPECT_EQ(channels[0].Parent, -1);
  EXPECT_EQ(channels[0].Name, "Lobby");
  EXPECT_EQ(channels[1].ChannelID, 4);
  EXPECT_EQ(channels[1].Parent, 0);
  EXPECT_EQ(channels[1].Flags, 0x0018);
  EXPECT_EQ(channels[1].Codec, 3);
  EXPECT_EQ(channels[1].Topic, "Corner topic");
  EXPECT_EQ(channels[1].Description, std::string(99, 'd'));
  EXPECT_EQ(channels[1].Order, 7);
  EXPECT_EQ(channels[1].MaxUsers, 25);

  // Counts beyond the slots or beyond the datagram are cut.
  PutLE32(step4.Data() + 24, 1000);
  channels.clear();
  ASSERT_TRUE(DecodeLoginStep4(step4, channels));
  EXPECT_EQ(channels.size(), 3u);
  step4.Resize(28 + 176 + 100);
  channels.clear();
  ASSERT_TRUE(DecodeLoginStep4(step4, channels));
  EXPECT_EQ(channels.size(), 1u);
  step4.Resize(26);
  channels.clear();
  EXPECT_TRUE(DecodeLoginStep4(step4, channels));
  EXPECT_TRUE(channels.empty());
  EXPECT_FALSE(DecodeLoginStep4(MakeCommand(7), channels));

  // Player entries as the server writes them.
  TPacket step5 = MakeCommand(7);
  step5.Resize(488);
  PutLE32(step5.Data() + 24, 2);
  TClientObject a, b;
  a.PlayerID = 1;
  a.ChannelID = 0;
  a.NickName = "Guest";
  b.PlayerID = 0x01020304;
  b.ChannelID = -7;
  b.ChannelPrivileges = 0x0506;
  b.Priviliges = 0x0708;
  b.PlayerFlags = 0x090A0B0C;
  b.NickName = std::string(29, 'x');
  a.WritePlayerEntry(step5.Data() + 28);
  b.WritePlayerEntry(step5.Data() + 28 + 46);
  std::vector<TPlayerEntry> players;
  ASSERT_TRUE(DecodeLoginStep5(step5, players));
  ASSERT_EQ(players.size(), 2u);
  EXPECT_EQ(players[0].PlayerID, 1u);
  EXPECT_EQ(players[0].NickName, "Guest");
  EXPECT_EQ(players[1].PlayerID, b.PlayerID);
  EXPECT_EQ(players[1].ChannelID, -7);
  EXPECT_EQ(players[1].ChannelPrivileges, 0x0506);
  EXPECT_EQ(players[1].Priviliges, 0x0708);
  EXPECT_EQ(players[1].PlayerFlags, 0x090A0B0Cu);
  EXPECT_EQ(players[1].NickName, b.NickName);
  EXPECT_FALSE(DecodeLoginStep5(step4, players));
}

TEST(ClientPackets, VoiceFrames) {
  TVoiceFrame frame;
  frame.Target = VOICETARGET_CHANNEL;
  frame.PassThrough1 = 0xAB;
  frame.PassThrough2 = 0xCDEF;
  frame.Whisper = {{WHISPER_PLAYER, 5}};  // ignored outside a whisper
  frame.Data = {1, 2, 3};
  TPacket p = EncodeVoice(frame, 0x11223344, 7, 0x0102);
  const uint8_t channelFrame[] = {0xF2, 0xBE, 0, 0xAB, 0x44, 0x33, 0x22, 0x11, 7, 0,
                                  0,    0,    2, 1,    0xEF, 0xCD, 1,    2,    3};
  EXPECT_EQ(std::vector<uint8_t>(p.Data(), p.Data() + p.Size()),
            std::vector<uint8_t>(std::begin(channelFrame), std::end(channelFrame)));

  frame.Target = VOICETARGET_WHISPER;
  frame.Whisper = {{WHISPER_PLAYER, 0x0A0B0C0D}, {WHISPER_CHANNEL, 3}};
  p = EncodeVoice(frame, 0x11223344, 7, 1);
  ASSERT_EQ(p.Size(), 16u + 1 + 2 * 5 + 3);
  EXPECT_EQ(p.Data()[2], 1);
  EXPECT_EQ(p.Data()[16], 2);
  const uint8_t targets[] = {1, 0x0D, 0x0C, 0x0B, 0x0A, 0, 3, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(p.Data() + 17, p.Data() + 27),
            std::vector<uint8_t>(std::begin(targets), std::end(targets)));
  EXPECT_EQ(std::vector<uint8_t>(p.Data() + 27, p.Data() + 30), frame.Data);

  frame.Whisper.assign(255, {WHISPER_PLAYER, 1});
  EXPECT_EQ(EncodeVoice(frame, 1, 1, 1).Data()[16], 255);
  frame.Whisper.push_back({WHISPER_PLAYER, 2});
  EXPECT_THROW(EncodeVoice(frame, 1, 1, 1), EClient);

  TPacket relayed = TPacket::WithMagic(MAGIC_VOICES2C, 22);
  const uint8_t head[] = {0xF3, 0xBE, 1, 0xAB, 4,    0, 0, 0, 7, 0,    0,
                          0,    9,    0, 0xEF, 0xCD, 3, 0, 0, 0, 0x34, 0x12};
  std::copy(std::begin(head), std::end(head), relayed.Data());
  relayed.Append("\x05\x06", 2);
  auto voice = DecodeVoice(relayed);
  ASSERT_TRUE(voice);
  EXPECT_EQ(voice->Target, 1);
  EXPECT_EQ(voice->PassThrough1, 0xAB);
  EXPECT_EQ(voice->ConnectionID, 4u);
  EXPECT_EQ(voice->PlayerID, 7u);
  EXPECT_EQ(voice->VoiceCounter, 9);
  EXPECT_EQ(voice->PassThrough2, 0xCDEF);
  EXPECT_EQ(voice->SenderPlayerID, 3u);
  EXPECT_EQ(voice->SenderCounter, 0x1234);
  EXPECT_EQ(voice->Data, (std::vector<uint8_t>{5, 6}));
  relayed.Resize(21);
  EXPECT_FALSE(DecodeVoice(relayed));
}

TEST(ClientPackets, AckPingPongAndErrors) {
  TPacket command = MakeCommand(130, std::vector<uint8_t>{1, 2});
  command.CommandHeader().SetSequence(0x01020304);
  command.CommandHeader().SetResendCount(3);
  TPacket ack = EncodeAck(command, 0x00ABCDEF, 9);
  const uint8_t expected[] = {0xF1, 0xBE, 3, 0, 0xEF, 0xCD, 0xAB, 0, 9, 0, 0, 0, 4, 3, 2, 1};
  EXPECT_EQ(std::vector<uint8_t>(ack.Data(), ack.Data() + ack.Size()),
            std::vector<uint8_t>(std::begin(expected), std::end(expected)));
  EXPECT_THROW(EncodeAck(ack, 1, 1), EClient);

  TPacket ping = EncodePing(0x00ABCDEF, 9, 3);
  ASSERT_EQ(ping.Size(), 20u);
  EXPECT_TRUE(ping.IsValid());
  EXPECT_EQ(ping.MaintenanceHeader().Type(), MAINT_PING);
  EXPECT_EQ(ping.MaintenanceHeader().Sequence(), 3u);
  EXPECT_EQ(ping.ConnectionID(), 0x00ABCDEFu);
  EXPECT_EQ(ping.PlayerID(), 9u);

  TPacket pong = TPacket::WithMagic(MAGIC_MAINTENANCE, 24);
  PutLE16(pong.Data() + 2, MAINT_PONG);
  PutLE32(pong.Data() + 20, 3);
  EXPECT_EQ(DecodePong(pong), 3u);
  EXPECT_FALSE(DecodePong(ping));
  pong.Resize(23);
  EXPECT_FALSE(DecodePong(pong));

  TPacket error = MakeCommand(-1007, std::vector<uint8_t>{0x2D, 0x01, 5, 0, 0, 0});
  auto failed = DecodeErrorReply(error);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->ErrorNumber, -1007);
  EXPECT_EQ(failed->RequestCode, 301);
  EXPECT_EQ(failed->RequestSequence, 5u);
  EXPECT_FALSE(DecodeErrorReply(MakeCommand(-1, std::vector<uint8_t>{1})));
  EXPECT_FALSE(DecodeErrorReply(MakeCommand(130, std::vector<uint8_t>(6))));
}

}  // namespace
}  // namespace vx::client
