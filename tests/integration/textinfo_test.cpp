// Text messages and information requests over real UDP.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "CommandsFixture.h"

namespace vx::testing {
namespace {

using client::TClient;
using TextInfoTest = CommandsFixture;

void Say(TClient& c, const std::string& text, uint32_t value, int32_t channelID) {
  Send(c, cmd::CMD_cs_InfoSendText,
       TPayload(InfoSendTextSize).Text(24, 255, text).U32(280, value).U32(284, channelID));
}
void AskConnection(TClient& c, uint32_t playerID) {
  Send(c, cmd::CMD_cs_InfoRequestPlayerConnectionInfoOnId, TPayload(28).U32(24, playerID));
}

TEST_F(TextInfoTest, TextsReachTheChannelOrEveryone) {
  Start();
  const int32_t room = AddChannel("Room");
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& carol = Enter("carol");
  for (TClient* c : {&alice, &bob}) {
    Send(*c, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, uint32_t(room)));
    Settle(*c);
  }
  for (TClient* c : {&alice, &bob, &carol}) Drain(*c);
  const std::string longText(255, 'x');
  Say(alice, longText, 0xDEADBEEF, room);
  Say(carol, "everyone", 7, -1);
  Say(alice, "lobby", 8, 0);
  Say(bob, "nowhere", 9, 77);
  EXPECT_EQ(AwaitError(bob, cmd::CMD_cs_InfoSendText), CHANNELERR_NOT_FOUND);
  for (TClient* c : {&alice, &carol}) Settle(*c);

  // Text, passed-through value and sender of every message each one got.
  const auto got = [&](TClient& c) {
    std::vector<std::tuple<std::string, uint32_t, std::string>> out;
    for (const TPacket& p : Drain(c)) {
      EXPECT_EQ(client::CommandCode(p), cmd::CMD_sc_NotifyTextMessage);
      EXPECT_EQ(p.Size(), NotifyTextMessageSize);
      out.emplace_back(GetTextN(p.Data() + 24, 255), GetLE32(p.Data() + 280),
                       GetTextN(p.Data() + 284, 29));
    }
    std::sort(out.begin(), out.end());  // senders on other connections race
    return out;
  };
  using T = std::vector<std::tuple<std::string, uint32_t, std::string>>;
  EXPECT_EQ(got(alice), (T{{"everyone", 7, "carol"}, {longText, 0xDEADBEEF, "alice"}}));
  EXPECT_EQ(got(bob), (T{{"everyone", 7, "carol"}, {longText, 0xDEADBEEF, "alice"}}));
  EXPECT_EQ(got(carol), (T{{"everyone", 7, "carol"}, {"lobby", 8, "alice"}}));
}

TEST_F(TextInfoTest, ConnectionInformationShowsTheAddressToAdminsOnly) {
  Start();
  TClient& alice = Enter("alice");
  TClient& admin = EnterAdmin();
  const int16_t reply = cmd::CMD_sc_PlayerConnectionInfo;
  AskConnection(alice, 4711);
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_InfoRequestPlayerConnectionInfoOnId),
            PLAYERERR_NOT_FOUND);

  AskConnection(alice, Id(admin));
  const auto seen = Await(alice, reply);
  ASSERT_TRUE(seen);
  ASSERT_EQ(seen->Size(), PlayerConnectionInfoSize);
  const uint8_t* p = seen->Data();
  EXPECT_EQ(GetLE32(p + 24), Id(admin));
  EXPECT_LE(GetLE32(p + 28), 5u) << "seconds since login";
  EXPECT_LE(GetLE32(p + 36), 5u) << "seconds since the last packet";
  const client::TLoginRequest request;
  EXPECT_EQ(GetLE16(p + 40), request.ClientVersionMajor);
  EXPECT_EQ(GetLE16(p + 42), request.ClientVersionMinor);
  EXPECT_EQ(GetLE16(p + 44), request.ClientVersionRelease);
  EXPECT_EQ(GetLE16(p + 46), request.ClientVersionBuild);
  EXPECT_GT(GetLE32(p + 48), 0u);
  EXPECT_GT(GetLE32(p + 52), GetLE32(p + 48));
  EXPECT_GT(GetLE32(p + 56), 0u);
  EXPECT_GT(GetLE32(p + 60), GetLE32(p + 56));
  EXPECT_EQ(GetTextN(p + 64, 29), "");
  EXPECT_EQ(GetLE16(p + 94), 0);
  EXPECT_EQ(GetTextN(p + 96, 29), "admin");
  EXPECT_EQ(GetLE32s(p + 126), 0);
  EXPECT_EQ(GetLE16(p + 132), SERVERPRIV_ADMIN | SERVERPRIV_REGISTERED);
  EXPECT_EQ(GetTextN(p + 134, 29), request.ClientPlatform);

  AskConnection(admin, Id(alice));
  const auto full = Await(admin, reply);
  ASSERT_TRUE(full);
  EXPECT_EQ(GetTextN(full->Data() + 64, 29), "127.0.0.1");
  EXPECT_EQ(GetLE16(full->Data() + 94), alice.LocalPort());
  EXPECT_EQ(GetTextN(full->Data() + 96, 29), "");
}

TEST_F(TextInfoTest, ServerInformation) {
  Setting("ServerFlags", int64_t(3));
  Start();
  TClient& alice = Enter("alice");
  alice.SendCommand(cmd::CMD_cs_InfoRequestServerInfo);
  const auto info = Await(alice, cmd::CMD_sc_ServerInfo);
  ASSERT_TRUE(info);
  ASSERT_EQ(info->Size(), ServerInfoSize);
  const uint8_t* p = info->Data();
  EXPECT_LE(GetLE32(p + 24), 5u) << "seconds since the start";
  EXPECT_EQ(GetLE16(p + 28), Server->Settings()->VersionMajor);
  EXPECT_EQ(GetLE16(p + 30), Server->Settings()->VersionMinor);
  EXPECT_EQ(GetLE16(p + 32), Server->Settings()->VersionRelease);
  EXPECT_EQ(GetLE16(p + 34), Server->Settings()->VersionBuild);
  EXPECT_EQ(GetLE16(p + 36), SERVERTYPE_CLAN | SERVERTYPE_RUNNING);
  EXPECT_EQ(GetLE16(p + 38), 3);
  uint32_t packetsSent = 0, packetsReceived = 0;
  int64_t bytesSent = 0, bytesReceived = 0;
  Server->PacketBuffer->GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
  // The reply shows the totals when it was built: not more than now, and
  // everything of the login before it.
  EXPECT_GE(GetLE32(p + 40), 4u);
  EXPECT_LE(GetLE32(p + 40), packetsSent);
  EXPECT_GT(GetLE32(p + 44), GetLE32(p + 40));
  EXPECT_LE(GetLE32(p + 44), uint32_t(bytesSent));
  EXPECT_GE(GetLE32(p + 48), 3u);
  EXPECT_LE(GetLE32(p + 48), packetsReceived);
  EXPECT_GT(GetLE32(p + 52), GetLE32(p + 48));
  EXPECT_LE(GetLE32(p + 52), uint32_t(bytesReceived));
}

}  // namespace
}  // namespace vx::testing
