// The voice relay over real UDP: frames to the own channel, with the
// parent channel's permission, and whispers; moderation, public and clan
// servers, the header bytes that pass through, and no voice before the
// login is complete.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ServerFixture.h"
#include "domain/permissions_u.h"

namespace vx::testing {
namespace {

using client::TClient;
using client::TReceivedVoice;
using client::TVoiceFrame;
using client::TWhisperTarget;

constexpr uint8_t ToChannel = WHISPER_CHANNEL;
constexpr uint8_t ToPlayer = WHISPER_PLAYER;

TVoiceFrame Frame(uint8_t target, std::vector<TWhisperTarget> whisper = {},
                  std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8}) {
  TVoiceFrame frame;
  frame.Target = target;
  frame.Whisper = std::move(whisper);
  frame.Data = std::move(data);
  return frame;
}

class VoiceTest : public ServerFixture {
 protected:
  struct TPlayer {
    TClient* Client = nullptr;
    uint32_t ID = 0;
  };
  using THeard = std::map<const TClient*, std::vector<TReceivedVoice>>;

  TPlayer Enter(const std::string& nick, const std::string& channel = "",
                const std::string& subChannel = "") {
    TClient& c = NewClient();
    client::TLoginRequest request;
    request.NickName = nick;
    client::TLoginStep3 step3;
    step3.Channel = channel;
    step3.SubChannel = subChannel;
    EXPECT_EQ(Join(c, request, step3), 1) << nick;
    return {&c, c.LastLoginReply() ? c.LastLoginReply()->PlayerID : 0};
  }

  // Every client pumps until `expected` frames arrived in all, and a little
  // longer for any that should not come; what each one received.
  THeard Collect(size_t expected) {
    return CollectUntil([expected](const THeard& heard) { return Total(heard) >= expected; });
  }
  THeard CollectUntil(const std::function<bool(const THeard&)>& done) {
    THeard heard;
    auto take = [&] {
      for (auto& c : Clients) {
        if (!c->IsOpen()) continue;
        while (auto v = c->Session().TakeVoice()) heard[c.get()].push_back(std::move(*v));
      }
      return done(heard);
    };
    PumpAll(take, 2000);
    PumpFor(60);
    take();
    return heard;
  }
  THeard Speak(const TPlayer& speaker, const TVoiceFrame& frame, size_t expected) {
    Collect(0);  // nothing left over from before
    LastCounter = speaker.Client->SendVoice(frame);
    return Collect(expected);
  }
  // Sends the datagram as the speaker's next voice frame, unchanged otherwise.
  THeard SpeakRaw(const TPlayer& speaker, std::vector<uint8_t> bytes, size_t expected) {
    Collect(0);
    PutLE32(bytes.data() + 4, speaker.Client->Session().ConnectionID());
    PutLE32(bytes.data() + 8, speaker.ID);
    PutLE16(bytes.data() + 12, speaker.Client->Session().NextVoiceCounter());
    speaker.Client->SendRaw(bytes);
    return Collect(expected);
  }

  static size_t Count(const THeard& heard, const TPlayer& p) {
    const auto it = heard.find(p.Client);
    return it == heard.end() ? 0 : it->second.size();
  }
  static size_t Total(const THeard& heard) {
    size_t n = 0;
    for (const auto& [c, v] : heard) n += v.size();
    return n;
  }
  // The target bytes of the frames the player received, in order.
  static std::vector<uint8_t> Targets(const THeard& heard, const TPlayer& p) {
    std::vector<uint8_t> out;
    const auto it = heard.find(p.Client);
    if (it != heard.end()) {
      for (const auto& v : it->second) out.push_back(v.Target);
    }
    return out;
  }

  void SetPrivileges(const TPlayer& p, uint16_t channelPrivileges, uint16_t serverPrivileges = 0) {
    ASSERT_TRUE(WithPlayer(p.ID, [&](TClientObject& c) {
      c.ChannelPrivileges = channelPrivileges;
      c.Priviliges = serverPrivileges;
    }));
  }

  // Whether the log holds the message in the voice category.
  bool VoiceLogged(const std::string& message) const {
    return LogText().find("UDP VOICE,\t" + message) != std::string::npos;
  }
  // A frame header of the target kind without any voice data.
  static std::vector<uint8_t> EmptyFrame(uint8_t target) {
    std::vector<uint8_t> bytes(VoiceC2SHeaderSize, 0);
    PutLE16(bytes.data(), MAGIC_VOICEC2S);
    bytes[2] = target;
    return bytes;
  }

  uint16_t LastCounter = 0;
};

TEST_F(VoiceTest, OwnChannelFramesCarryThePassThroughBytesAndBothCounters) {
  StartServer();
  CaptureLog();
  AddChannel("Other");
  const TPlayer alice = Enter("alice");
  const TPlayer bob = Enter("bob");
  const TPlayer carol = Enter("carol");
  const TPlayer dave = Enter("dave", "Other");

  TVoiceFrame frame = Frame(VOICETARGET_CHANNEL, {}, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF});
  frame.PassThrough1 = 0xA5;
  frame.PassThrough2 = 0xBEEF;
  THeard heard = Speak(alice, frame, 2);
  EXPECT_EQ(Total(heard), 2u);
  EXPECT_EQ(Count(heard, dave), 0u) << "another channel";
  EXPECT_EQ(Count(heard, alice), 0u) << "no echo";
  for (const TPlayer& p : {bob, carol}) {
    ASSERT_EQ(Count(heard, p), 1u);
    const TReceivedVoice& v = heard[p.Client][0];
    EXPECT_EQ(v.Target, VOICETARGET_CHANNEL);
    EXPECT_EQ(v.PassThrough1, 0xA5);
    EXPECT_EQ(v.PassThrough2, 0xBEEF);
    EXPECT_EQ(v.ConnectionID, p.Client->Session().ConnectionID());
    EXPECT_EQ(v.PlayerID, p.ID);
    EXPECT_EQ(v.SenderPlayerID, alice.ID);
    EXPECT_EQ(v.SenderCounter, LastCounter);
    EXPECT_EQ(v.Data, frame.Data);
    EXPECT_EQ(v.VoiceCounter, 1) << "the recipient connection's first frame";
  }

  // The recipient's counter counts its own frames, whoever spoke them; the
  // sender's counter stays the speaker's.
  Speak(alice, frame, 2);
  heard = Speak(bob, Frame(VOICETARGET_CHANNEL), 2);
  ASSERT_EQ(Count(heard, carol), 1u);
  EXPECT_EQ(heard[carol.Client][0].VoiceCounter, 3);
  EXPECT_EQ(heard[carol.Client][0].SenderPlayerID, bob.ID);
  EXPECT_EQ(heard[carol.Client][0].SenderCounter, 1);
  EXPECT_EQ(heard[carol.Client][0].PassThrough1, 0);
  ASSERT_EQ(Count(heard, alice), 1u);
  EXPECT_EQ(heard[alice.Client][0].VoiceCounter, 1);

  // Alone in a channel: nobody hears.
  EXPECT_EQ(Total(Speak(dave, frame, 0)), 0u);

  // A frame without voice data is dropped with the allocation message.
  EXPECT_EQ(Total(SpeakRaw(alice, EmptyFrame(VOICETARGET_CHANNEL), 0)), 0u);
  EXPECT_TRUE(VoiceLogged(
      "TVXUDPListener.ProgressVoiceData_SendVoiceDataToChannel, unable to allocate memory"));
  // Unknown target kinds are ignored.
  EXPECT_EQ(Total(Speak(alice, Frame(3), 0)), 0u);
}

TEST_F(VoiceTest, ModeratedChannelsHearOnlyVoicedSpeakers) {
  StartServer();
  AddChannel("Stage", -1, CHANNEL_MODERATED);
  const TPlayer alice = Enter("alice", "Stage");
  const TPlayer bob = Enter("bob", "Stage");
  const TPlayer carol = Enter("carol");
  const TVoiceFrame frame = Frame(VOICETARGET_CHANNEL);

  EXPECT_EQ(Total(Speak(alice, frame, 0)), 0u) << "no voice";
  SetPrivileges(alice, CHANPRIV_AUTOVOICE | CHANPRIV_AUTOOPERATOR);
  EXPECT_EQ(Total(Speak(alice, frame, 0)), 0u) << "auto bits alone are no voice";
  for (const uint16_t privilege : {CHANPRIV_VOICE, CHANPRIV_OPERATOR, CHANPRIV_ADMIN}) {
    SetPrivileges(alice, privilege);
    EXPECT_EQ(Count(Speak(alice, frame, 1), bob), 1u) << "channel privilege " << privilege;
  }
  SetPrivileges(alice, 0, SERVERPRIV_ADMIN);
  EXPECT_EQ(Count(Speak(alice, frame, 1), bob), 1u) << "a server admin";
  SetPrivileges(alice, 0, SERVERPRIV_REGISTERED | SERVERPRIV_ALLOWREGISTER);
  EXPECT_EQ(Total(Speak(alice, frame, 0)), 0u) << "voice taken away";

  // A whisper into the moderated channel is refused like speaking in it; a
  // whisper to a player of it is not.
  EXPECT_EQ(Total(Speak(carol, Frame(VOICETARGET_WHISPER, {{ToChannel, 1}}), 0)), 0u);
  const THeard heard = Speak(carol, Frame(VOICETARGET_WHISPER, {{ToPlayer, bob.ID}}), 1);
  EXPECT_EQ(Count(heard, bob), 1u);
  EXPECT_EQ(Total(heard), 1u);
}

TEST_F(VoiceTest, ParentChannelFramesTakeTheParentsPermission) {
  StartServer();
  CaptureLog();
  const int32_t hall = AddChannel("Hall", -1, CHANNEL_SUBCHANNELS | CHANNEL_MODERATED);
  AddChannel("Room", hall);
  const TPlayer alice = Enter("alice", "Hall", "Room");
  const TPlayer bob = Enter("bob", "Hall", "Room");
  const TPlayer carol = Enter("carol", "Hall");
  const TVoiceFrame parent = Frame(VOICETARGET_PARENT);

  EXPECT_EQ(Count(Speak(alice, Frame(VOICETARGET_CHANNEL), 1), bob), 1u)
      << "the room itself is not moderated";
  EXPECT_EQ(Total(Speak(alice, parent, 0)), 0u) << "the hall is moderated";
  SetPrivileges(alice, CHANPRIV_VOICE);
  THeard heard = Speak(alice, parent, 1);
  EXPECT_EQ(Targets(heard, bob), std::vector<uint8_t>{VOICETARGET_PARENT});
  EXPECT_EQ(Count(heard, carol), 0u) << "heard in the own channel only";
  EXPECT_EQ(Total(heard), 1u);

  // From a top-level channel there is no parent to take it from.
  SetPrivileges(carol, CHANPRIV_VOICE);
  const TPlayer dave = Enter("dave", "Hall");
  EXPECT_EQ(Count(Speak(carol, Frame(VOICETARGET_CHANNEL), 1), dave), 1u);
  EXPECT_EQ(Total(Speak(carol, parent, 0)), 0u);
  EXPECT_TRUE(
      VoiceLogged("TVXUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get "
                  "parentchannel"));
  EXPECT_EQ(Total(SpeakRaw(alice, EmptyFrame(VOICETARGET_PARENT), 0)), 0u);
  EXPECT_TRUE(VoiceLogged(
      "TVXUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to allocate memory"));
}

TEST_F(VoiceTest, WhispersReachNamedPlayersAndChannels) {
  StartServer();
  CaptureLog();
  const int32_t room = AddChannel("Room");
  const TPlayer alice = Enter("alice");
  const TPlayer bob = Enter("bob");
  const TPlayer carol = Enter("carol");
  const TPlayer dave = Enter("dave", "Room");
  const TPlayer erin = Enter("erin", "Room");
  auto whisper = [](std::vector<TWhisperTarget> targets) {
    TVoiceFrame frame = Frame(VOICETARGET_WHISPER, std::move(targets), {42, 43, 44});
    frame.PassThrough1 = 7;
    frame.PassThrough2 = 0x1234;
    return frame;
  };

  THeard heard = Speak(alice, whisper({{ToPlayer, bob.ID}}), 1);
  ASSERT_EQ(Count(heard, bob), 1u);
  EXPECT_EQ(Total(heard), 1u);
  const TReceivedVoice& v = heard[bob.Client][0];
  EXPECT_EQ(v.Target, 1) << "reached as a player";
  EXPECT_EQ(v.PassThrough1, 7);
  EXPECT_EQ(v.PassThrough2, 0x1234);
  EXPECT_EQ(v.SenderPlayerID, alice.ID);
  EXPECT_EQ(v.SenderCounter, LastCounter);
  EXPECT_EQ(v.PlayerID, bob.ID);
  EXPECT_EQ(v.Data, (std::vector<uint8_t>{42, 43, 44})) << "the target list is not voice";

  EXPECT_EQ(Total(Speak(alice, whisper({{ToPlayer, alice.ID}}), 0)), 0u) << "no echo";
  heard = Speak(alice, whisper({{ToPlayer, bob.ID}, {ToPlayer, bob.ID}}), 2);
  EXPECT_EQ(Count(heard, bob), 2u) << "named twice, heard twice";

  heard = Speak(alice, whisper({{ToChannel, uint32_t(room)}}), 2);
  EXPECT_EQ(Targets(heard, dave), std::vector<uint8_t>{0});
  EXPECT_EQ(Targets(heard, erin), std::vector<uint8_t>{0});
  EXPECT_EQ(Total(heard), 2u);
  heard = Speak(alice, whisper({{ToChannel, uint32_t(room)}, {ToPlayer, dave.ID}}), 3);
  EXPECT_EQ(Targets(heard, dave), (std::vector<uint8_t>{0, 1})) << "in target order";
  EXPECT_EQ(Count(heard, erin), 1u);
  heard = Speak(alice, whisper({{ToChannel, 0}}), 2);
  EXPECT_EQ(Count(heard, bob), 1u);
  EXPECT_EQ(Count(heard, carol), 1u);
  EXPECT_EQ(Count(heard, alice), 0u) << "the speaker's own channel, without the speaker";

  // Unknown channels and players and foreign kinds reach nobody.
  EXPECT_EQ(Total(Speak(alice, whisper({{ToChannel, 99}, {ToPlayer, 999}, {7, bob.ID}}), 0)), 0u);
  EXPECT_EQ(Total(Speak(alice, whisper({}), 0)), 0u) << "no targets";

  // A player who blocks whispers gets none; the others still do.
  ASSERT_TRUE(WithPlayer(carol.ID, [](TClientObject& c) {
    c.PlayerFlags = PLAYERFLAG_BLOCKWHISPERS | PLAYERFLAG_KEEPINTREE;
  }));
  heard = Speak(alice, whisper({{ToPlayer, carol.ID}, {ToPlayer, bob.ID}}), 1);
  EXPECT_EQ(Count(heard, carol), 0u);
  EXPECT_EQ(Count(heard, bob), 1u);
  heard = Speak(alice, whisper({{ToChannel, 0}}), 1);
  EXPECT_EQ(Count(heard, carol), 0u);
  EXPECT_EQ(Count(heard, bob), 1u);
  EXPECT_EQ(Count(Speak(alice, Frame(VOICETARGET_CHANNEL), 2), carol), 1u)
      << "channel voice is no whisper";

  // A target list longer than the datagram is a read fault: logged, dropped.
  const TPacket shortList = client::EncodeVoice(whisper({{ToPlayer, bob.ID}}), 0, 0, 0);
  std::vector<uint8_t> bytes(shortList.Data(), shortList.Data() + 16 + 1 + 5);
  bytes[16] = 3;
  EXPECT_EQ(Total(SpeakRaw(alice, bytes, 0)), 0u);
  EXPECT_NE(LogText().find("ProgressVoiceData_SendVoiceDataWhisper Exception: "),
            std::string::npos);
  // The listener carries on.
  EXPECT_EQ(Count(Speak(alice, whisper({{ToPlayer, bob.ID}}), 1), bob), 1u);
}

// Who hears a whisper from Sub1 of Top: the own channel, the parent, the
// sibling, another top-level channel and its sub-channel.
class WhisperReachTest : public VoiceTest {
 protected:
  std::vector<size_t> Reach() {
    const int32_t top = AddChannel("Top", -1, CHANNEL_SUBCHANNELS);
    const int32_t sub1 = AddChannel("Sub1", top);
    const int32_t sub2 = AddChannel("Sub2", top);
    const int32_t other = AddChannel("Other", -1, CHANNEL_SUBCHANNELS);
    const int32_t otherSub = AddChannel("OtherSub", other);
    const TPlayer speaker = Enter("speaker", "Top", "Sub1");
    const std::vector<std::pair<TPlayer, int32_t>> listeners{
        {Enter("mate", "Top", "Sub1"), sub1},          {Enter("up", "Top"), top},
        {Enter("sibling", "Top", "Sub2"), sub2},       {Enter("stranger", "Other"), other},
        {Enter("far", "Other", "OtherSub"), otherSub},
    };
    std::vector<size_t> reach;
    for (const auto& [listener, channel] : listeners) {
      // The channel whisper, then one to the listener by name that always
      // arrives, after the first one if that arrives at all.
      Collect(0);
      speaker.Client->SendVoice(Frame(VOICETARGET_WHISPER, {{ToChannel, uint32_t(channel)}}));
      speaker.Client->SendVoice(Frame(VOICETARGET_WHISPER, {{ToPlayer, listener.ID}}));
      const TClient* const c = listener.Client;
      const THeard heard = CollectUntil([c](const THeard& h) {
        const auto it = h.find(c);
        return it != h.end() && it->second.back().Target == ToPlayer;
      });
      const std::vector<uint8_t> targets = Targets(heard, listener);
      EXPECT_FALSE(targets.empty()) << "the named whisper arrived";
      reach.push_back(targets.empty() ? 0 : targets.size() - 1);
      EXPECT_EQ(Total(heard), targets.size()) << "only the named channel";
    }
    // The own channel by channel voice, on every kind of server.
    EXPECT_EQ(Count(Speak(speaker, Frame(VOICETARGET_CHANNEL), 1), listeners[0].first), 1u);
    return reach;
  }
};

TEST_F(WhisperReachTest, PublicServerKeepsWhispersInTheChannelFamily) {
  Setting("ServerType", 2);
  StartServer();
  EXPECT_EQ(Reach(), (std::vector<size_t>{1, 1, 1, 0, 0}));
}

TEST_F(WhisperReachTest, ClanServerLetsWhispersReachEveryChannel) {
  Setting("ServerType", 1);
  StartServer();
  EXPECT_EQ(Reach(), (std::vector<size_t>{1, 1, 1, 1, 1}));
}

TEST_F(VoiceTest, NoVoiceBeforeTheLoginIsComplete) {
  StartServer();
  const TPlayer alice = Enter("alice");
  // Bob is accepted but has not sent his step 3 yet.
  TPlayer bob;
  bob.Client = &NewClient();
  client::TLoginRequest request;
  request.NickName = "bob";
  const auto reply = bob.Client->Login(request, 3000);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->Result, 1);
  bob.ID = reply->PlayerID;

  EXPECT_EQ(Total(Speak(bob, Frame(VOICETARGET_CHANNEL), 0)), 0u);
  EXPECT_EQ(Total(Speak(bob, Frame(VOICETARGET_WHISPER, {{ToPlayer, alice.ID}}), 0)), 0u);
  EXPECT_EQ(Total(Speak(alice, Frame(VOICETARGET_CHANNEL), 0)), 0u);
  EXPECT_EQ(Total(Speak(alice, Frame(VOICETARGET_WHISPER, {{ToPlayer, bob.ID}}), 0)), 0u);
  EXPECT_EQ(Total(Speak(alice, Frame(VOICETARGET_WHISPER, {{ToChannel, 0}}), 0)), 0u);

  // A refused login's connection cannot speak either.
  TClient& eve = NewClient();
  request.NickName = "server";
  const auto refused = eve.Login(request, 3000);
  ASSERT_TRUE(refused);
  ASSERT_EQ(refused->Result, LOGIN_BAD_PASSWORD_OR_NAME);
  const TPacket voice =
      client::EncodeVoice(Frame(VOICETARGET_CHANNEL), refused->ConnectionID, refused->PlayerID, 1);
  Collect(0);
  eve.SendRaw(std::span<const uint8_t>(voice.Data(), voice.Size()));
  EXPECT_EQ(Total(Collect(0)), 0u);

  // Once bob's login is complete, both ways work.
  ASSERT_TRUE(bob.Client->EnterServer({}, 3000));
  PumpFor(50);
  EXPECT_EQ(Count(Speak(alice, Frame(VOICETARGET_CHANNEL), 1), bob), 1u);
  EXPECT_EQ(Count(Speak(bob, Frame(VOICETARGET_CHANNEL), 1), alice), 1u);

  // A speaker whose record is not complete is not relayed to the channel.
  ASSERT_TRUE(WithPlayer(alice.ID, [](TClientObject& c) { c.LoginComplete = false; }));
  EXPECT_EQ(Total(Speak(alice, Frame(VOICETARGET_CHANNEL), 0)), 0u);
}

}  // namespace
}  // namespace vx::testing
