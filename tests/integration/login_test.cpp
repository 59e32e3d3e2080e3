// Joining a virtual server over real UDP: every verdict of the login reply,
// guest names and player ids, the channel and player lists, the start
// channel, and the notices that announce arrivals and departures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerFixture.h"
#include "common/TextN.h"
#include "domain/permissions_u.h"
#include "domain/scopenotify_u.h"

namespace vx::testing {
namespace {

using client::TClient;
using client::TLoginRequest;
using client::TLoginStep3;

TLoginRequest Request(const std::string& nick, const std::string& password = "",
                      const std::string& login = "") {
  TLoginRequest request;
  request.NickName = nick;
  request.PassWord = password;
  request.LogInName = login;
  return request;
}

// The login reply datagram that the client received last.
std::vector<uint8_t> LastReplyBytes(const TClient& c) {
  for (auto it = c.Log().rbegin(); it != c.Log().rend(); ++it) {
    if (!it->Outgoing && it->Class == TPacketClass::Maintenance && it->Code == MAINT_LOGINREPLY)
      return it->Bytes;
  }
  return {};
}

bool AllZero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Number of delivered commands with the code that the client holds.
size_t Holds(TClient& c, int16_t code) {
  size_t n = 0;
  for (const TPacket& p : c.Session().Delivered()) n += client::CommandCode(p) == code ? 1 : 0;
  return n;
}

class LoginTest : public ServerFixture {
 protected:
  // Pumps every client until c holds n commands of the code; takes them all.
  std::vector<TPacket> Collect(TClient& c, int16_t code, size_t n, int timeoutMs = 3000) {
    PumpAll([&] { return Holds(c, code) >= n; }, timeoutMs);
    return Received(c, code);
  }

  // A login request datagram of the given length, cut from or padded to it.
  static TPacket RawLoginRequest(const TLoginRequest& request, size_t length) {
    TPacket packet = client::EncodeLoginRequest(request, 1);
    packet.Resize(length);
    packet.SealChecksum();
    return packet;
  }

  // Sends the raw request and waits for a reply; its result, or 0 for none.
  int32_t RawLogin(TClient& c, const TPacket& packet, int timeoutMs) {
    const size_t before = c.Log().size();
    c.SendRaw(std::span<const uint8_t>(packet.Data(), packet.Size()));
    std::optional<client::TLoginReply> reply;
    c.WaitFor(
        [&] {
          for (size_t i = before; i < c.Log().size(); ++i) {
            const client::TLogEntry& e = c.Log()[i];
            if (e.Outgoing || e.Code != MAINT_LOGINREPLY) continue;
            reply = client::DecodeLoginReply(TPacket(e.Bytes.data(), e.Bytes.size()));
            if (reply) return true;
          }
          return false;
        },
        timeoutMs);
    return reply ? reply->Result : 0;
  }
};

TEST_F(LoginTest, VersionServerPasswordAndAccountVerdicts) {
  Setting("ServerPassword", "secret");
  StartServer();
  AddAccount("anna", "annapw", SERVERPRIV_ADMIN | SERVERPRIV_ALLOWREGISTER);
  AddAccount("same", "secret");
  const TDateTime before = TDateTime::Now();

  struct TCase {
    const char* What;
    TLoginRequest Request;
    int32_t Expected;
  };
  std::vector<TCase> cases;
  auto add = [&](const char* what, TLoginRequest request, int32_t expected, uint16_t release = 20,
                 uint8_t always = 0) {
    request.ClientVersionRelease = release;
    request.ServerPasswordAlways = always;
    cases.push_back({what, request, expected});
  };
  // The one refusal below that comes after the verdict of the first phase,
  // with the full reply.
  const std::string secondPhase = "account, server password always";
  add("release 12", Request("old", "secret"), LOGIN_CLIENT_TOO_OLD, 12);
  add("release 12, wrong server password", Request("old", "nope"), LOGIN_BAD_PASSWORD_OR_NAME, 12);
  add("release 13", Request("new", "secret"), LOGIN_ACCEPTED, 13);
  add("anonymous, wrong password", Request("anon", "Secret"), LOGIN_BAD_PASSWORD_OR_NAME);
  add("anonymous, no password", Request("anon"), LOGIN_BAD_PASSWORD_OR_NAME);
  add("anonymous, right password", Request("anon", "secret"), LOGIN_ACCEPTED);
  add("account without the server password", Request("anna", "annapw", "anna"), LOGIN_ACCEPTED);
  add("account, server password always", Request("anna2", "annapw", "anna"),
      LOGIN_BAD_PASSWORD_OR_NAME, 20, 1);
  add("account whose password is the server password, always", Request("same", "secret", "same"),
      LOGIN_ACCEPTED, 20, 1);
  add("account, wrong password that is no server password", Request("x1", "wrong", "anna"),
      LOGIN_BAD_PASSWORD_OR_NAME);
  add("account, the server password instead of its own", Request("x2", "secret", "anna"),
      LOGIN_BAD_ACCOUNT);
  add("no such account", Request("x3", "secret", "nobody"), LOGIN_BAD_ACCOUNT);
  add("no such account, no server password", Request("x4", "pw", "nobody"),
      LOGIN_BAD_PASSWORD_OR_NAME);

  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TClient& client = NewClient();
    EXPECT_EQ(Join(client, c.Request), c.Expected);
    const std::vector<uint8_t> reply = LastReplyBytes(client);
    ASSERT_EQ(reply.size(), 372u);
    EXPECT_EQ(GetLE32(reply.data() + 4), 0u) << "the reply's header carries no session key";
    EXPECT_EQ(GetLE32(reply.data() + 8), GetLE32(reply.data() + 112)) << "player id twice";
    if (c.Expected == LOGIN_ACCEPTED || c.What == secondPhase) {
      EXPECT_EQ(GetTextN(reply.data() + 50, 29), "Linux");
      EXPECT_NE(GetLE32(reply.data() + 104), 0u);
    } else {
      // A refusal of the first phase carries only the result and the ids.
      EXPECT_TRUE(AllZero(reply, 20, 88));
      EXPECT_TRUE(AllZero(reply, 92, 108));
      EXPECT_TRUE(AllZero(reply, 116, 372));
      if (c.Expected == LOGIN_CLIENT_TOO_OLD) {
        EXPECT_EQ(GetLE32(reply.data() + 112), 0u) << "a client too old gets no player id";
      }
    }
  }

  // The account's privileges: registered added, allow-register removed.
  const auto players = Clients[6]->Players();
  const uint32_t annaID = Clients[6]->LastLoginReply()->PlayerID;
  const TClientObject anna = PlayerRecord(annaID);
  EXPECT_EQ(anna.NickName, "anna");
  EXPECT_EQ(anna.Priviliges, SERVERPRIV_ADMIN | SERVERPRIV_REGISTERED);
  bool listed = false;
  for (const auto& p : players) {
    if (p.PlayerID == annaID) listed = p.Priviliges == (SERVERPRIV_ADMIN | SERVERPRIV_REGISTERED);
  }
  EXPECT_TRUE(listed) << "the player list shows the account's privileges";

  // Every lookup of the account counted, whether the password matched or not.
  const auto stored = TZeveViraUsers(*Manager.Database()).GetUser(Section, "anna", false);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->Logins, 4);
  EXPECT_GE(stored->LastChanged.Value, before.Value);
  const auto nobody = TZeveViraUsers(*Manager.Database()).GetUser(Section, "nobody", false);
  EXPECT_FALSE(nobody) << "a failed lookup creates no account";
}

TEST_F(LoginTest, FullServerNicknamesAndShortRequests) {
  Setting("ServerMaxUsers", 2);
  StartServer();
  CaptureLog();
  TClient& alice = NewClient();
  TClient& bob = NewClient();
  ASSERT_EQ(Join(alice, "alice"), 1);
  ASSERT_EQ(Join(bob, "bob"), 1);

  // Full: -2, unless the nickname is also taken (-4) or unusable (-1).
  EXPECT_EQ(Join(NewClient(), "carol"), LOGIN_SERVER_FULL);
  EXPECT_EQ(Join(NewClient(), "ALICE"), LOGIN_NICKNAME_IN_USE);
  EXPECT_EQ(Join(NewClient(), "SERVER "), LOGIN_BAD_PASSWORD_OR_NAME);
  EXPECT_EQ(Join(NewClient(), "   "), LOGIN_BAD_PASSWORD_OR_NAME);

  ASSERT_TRUE(bob.Quit(3000));
  ASSERT_TRUE(PumpAll([&] { return PlayerCount() == 1; }, 3000));
  EXPECT_EQ(Join(NewClient(), "Alice"), LOGIN_NICKNAME_IN_USE);
  EXPECT_EQ(Join(NewClient(), "sErVeR"), LOGIN_BAD_PASSWORD_OR_NAME);
  EXPECT_EQ(Join(NewClient(), "\tserver\x01"), LOGIN_BAD_PASSWORD_OR_NAME);
  EXPECT_EQ(Join(NewClient(), ""), LOGIN_BAD_PASSWORD_OR_NAME);
  EXPECT_EQ(PlayerCount(), 1u) << "refused logins add no player";

  // A request of another length is read as its first 88 bytes: the
  // nickname then counts as empty. Below 88 bytes nothing is answered.
  TClient& raw = NewClient();
  EXPECT_EQ(RawLogin(raw, RawLoginRequest(Request("zed"), 179), 3000), LOGIN_BAD_PASSWORD_OR_NAME);
  EXPECT_EQ(RawLogin(raw, RawLoginRequest(Request("zed"), 200), 3000), LOGIN_BAD_PASSWORD_OR_NAME);
  const int32_t connections = Server->PacketBuffer->ConnectionCount();
  EXPECT_EQ(RawLogin(raw, RawLoginRequest(Request("zed"), 87), 300), 0);
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), connections) << "nothing was created";
  EXPECT_NE(LogText().find("CMD_cs_LoginStep1 Exception: "), std::string::npos);
  EXPECT_EQ(RawLogin(raw, RawLoginRequest(Request("zed"), 180), 3000), LOGIN_ACCEPTED);

  // A step 3 that is too short is logged and answered with nothing.
  const size_t lists = ArrivedCommands(alice, cmd::CMD_sc_LoginStep4).size();
  alice.SendCommand(cmd::CMD_cs_LoginStep3, std::vector<uint8_t>(60, 0));
  EXPECT_TRUE(alice.WaitCommandsAcked(2000));
  PumpFor(150);
  EXPECT_NE(LogText().find("CMD_cs_LoginStep3 Exception: "), std::string::npos);
  EXPECT_EQ(ArrivedCommands(alice, cmd::CMD_sc_LoginStep4).size(), lists);
  EXPECT_EQ(ArrivedCommands(alice, cmd::CMD_sc_LoginStep6).size(), 1u);
}

TEST_F(LoginTest, GuestNamesAndPlayerIds) {
  StartServer();
  auto guest = [](const std::string& nick) {
    TLoginRequest request = Request(nick);
    request.GuestNaming = 1;
    return request;
  };
  std::vector<TClient*> joined;
  auto join = [&](const TLoginRequest& request) {
    TClient& c = NewClient();
    EXPECT_EQ(Join(c, request), 1);
    joined.push_back(&c);
    return c.LastLoginReply()->PlayerID;
  };
  EXPECT_EQ(join(guest("")), 1u);
  EXPECT_EQ(join(guest(" \t")), 2u);
  EXPECT_EQ(join(Request("Nick")), 3u);
  EXPECT_EQ(join(Request("nick1")), 4u);
  EXPECT_EQ(join(guest("NICK")), 5u);
  EXPECT_EQ(join(guest("Free")), 6u);
  // A long name whose numbered form no longer fits the nickname field.
  const std::string long29(29, 'L');
  EXPECT_EQ(join(Request(long29)), 7u);
  EXPECT_EQ(join(guest(long29)), 8u);
  const std::vector<std::string> expected{"Guest1", "Guest2", "Nick", "nick1",
                                          "NICK2",  "Free",   long29, "Guest3"};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(PlayerRecord(uint32_t(i + 1)).NickName, expected[i]) << "player " << i + 1;
  }
  // The last one sees every name in its player list.
  std::vector<std::string> listed;
  for (const auto& p : joined.back()->Players()) listed.push_back(p.NickName);
  EXPECT_EQ(listed, expected);

  // Ids go on while players remain, and start at 1 again once all left.
  ASSERT_TRUE(joined[0]->Quit(3000));
  EXPECT_EQ(join(Request("later")), 9u);
  for (TClient* c : joined) {
    if (c != joined[0]) {
      EXPECT_TRUE(c->Quit(3000));
    }
  }
  ASSERT_TRUE(PumpAll(
      [&] { return PlayerCount() == 0 && Server->PacketBuffer->ConnectionCount() == 0; }, 3000));
  EXPECT_EQ(join(Request("first again")), 1u);
  EXPECT_EQ(join(guest("")), 2u);
  EXPECT_EQ(PlayerRecord(2).NickName, "Guest1") << "the smallest free guest number";
}

TEST_F(LoginTest, RefusedLoginDoesNotTakeTheIdOfTheNextPlayer) {
  StartServer();
  SetTimeouts(300, 15000, 2000);
  // A refused attempt on the empty server, then the right one at once.
  TClient& first = NewClient();
  EXPECT_EQ(Join(first, "server"), LOGIN_BAD_PASSWORD_OR_NAME);
  TClient& second = NewClient();
  ASSERT_EQ(Join(second, "second"), 1);
  EXPECT_NE(second.LastLoginReply()->PlayerID, first.LastLoginReply()->PlayerID);
  // The refused connection times out; the player who came after stays.
  PumpFor(800);
  EXPECT_EQ(PlayerCount(), 1u);
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), 1);
  EXPECT_TRUE(Received(second, cmd::CMD_sc_NotifyPlayerLeftScope).empty());
  second.SendCommand(0x0135);
  EXPECT_TRUE(second.WaitCommandsAcked(2000)) << "the connection is still served";
}

TEST_F(LoginTest, ChannelListComesInBatchesOfThree) {
  StartServer();
  AddChannel("Alpha", -1, CHANNEL_SUBCHANNELS, "pw", 7);
  AddChannel("Beta", 1);  // a sub-channel of Alpha
  TClient& three = NewClient();
  ASSERT_EQ(Join(three, "three"), 1);
  auto packets = ArrivedCommands(three, cmd::CMD_sc_LoginStep4);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), 556u);
  EXPECT_EQ(GetLE32(packets[0].data() + 24), 3u);

  AddChannel("Gamma");
  TClient& four = NewClient();
  ASSERT_EQ(Join(four, "four"), 1);
  packets = ArrivedCommands(four, cmd::CMD_sc_LoginStep4);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].size(), 556u);
  EXPECT_EQ(packets[1].size(), 556u);
  EXPECT_EQ(GetLE32(packets[0].data() + 24), 3u);
  EXPECT_EQ(GetLE32(packets[1].data() + 24), 1u);

  const auto& channels = four.Channels();
  ASSERT_EQ(channels.size(), 4u);
  EXPECT_EQ(channels[0].Name, "Default");
  EXPECT_EQ(channels[0].Flags, CHANNEL_DEFAULT);
  EXPECT_EQ(channels[1].Name, "Alpha");
  EXPECT_EQ(channels[1].ChannelID, 1);
  EXPECT_EQ(channels[1].Flags, CHANNEL_SUBCHANNELS | CHANNEL_PASSWORD);
  EXPECT_EQ(channels[1].MaxUsers, 7);
  EXPECT_EQ(channels[1].Topic, "Alpha topic");
  EXPECT_EQ(channels[1].Description, "Alpha description");
  EXPECT_EQ(channels[2].Name, "Beta");
  EXPECT_EQ(channels[2].Parent, 1);
  EXPECT_EQ(channels[3].Name, "Gamma");
  EXPECT_EQ(channels[3].ChannelID, 3);
}

TEST_F(LoginTest, PlayerListComesInBatchesOfTenAndEveryoneHearsOfTheNewcomer) {
  Setting("ServerMaxUsers", 30);
  StartServer();
  std::vector<TClient*> others;
  for (int i = 0; i < 22; ++i) {
    TClient& c = NewClient();
    ASSERT_EQ(Join(c, "p" + std::to_string(i)), 1);
    others.push_back(&c);
    PumpFor(5);
  }

  TClient& last = NewClient();
  ASSERT_EQ(Join(last, "last"), 1);
  const auto packets = ArrivedCommands(last, cmd::CMD_sc_LoginStep5);
  ASSERT_EQ(packets.size(), 3u);
  const uint32_t counts[] = {10, 10, 3};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(packets[i].size(), 488u);
    EXPECT_EQ(GetLE32(packets[i].data() + 24), counts[i]);
  }
  ASSERT_EQ(last.Players().size(), 23u);
  EXPECT_EQ(last.Players()[0].NickName, "p0");
  EXPECT_EQ(last.Players()[22].NickName, "last");
  EXPECT_EQ(last.Players()[22].PlayerID, 23u);

  // Each of the 22 others hears of the newcomer once; the newcomer does not.
  const uint32_t lastID = last.LastLoginReply()->PlayerID;
  auto aboutLast = [&](TClient& c) {
    std::vector<TPacket> found;
    for (const TPacket& p : c.Session().Delivered()) {
      if (client::CommandCode(p) == cmd::CMD_sc_NotifyPlayerEnteredScope &&
          client::NotifiedPlayerID(p) == lastID)
        found.push_back(p);
    }
    return found;
  };
  EXPECT_TRUE(PumpAll(
      [&] {
        for (TClient* c : others) {
          if (aboutLast(*c).empty()) return false;
        }
        return true;
      },
      3000));
  PumpFor(100);
  for (TClient* c : others) {
    const auto notices = aboutLast(*c);
    ASSERT_EQ(notices.size(), 1u);
    const TPacket& n = notices[0];
    EXPECT_EQ(n.Size(), 70u);
    EXPECT_EQ(GetLE32(n.Data() + 8), c->LastLoginReply()->PlayerID) << "addressed to c";
    const client::TPlayerEntry entry = client::DecodePlayerEntry(n.Data() + 24);
    EXPECT_EQ(entry.ChannelID, 0);
    EXPECT_EQ(entry.NickName, "last");
  }
  EXPECT_TRUE(Received(last, cmd::CMD_sc_NotifyPlayerEnteredScope).empty());
}

TEST_F(LoginTest, StartChannelByNameSubChannelAndPassword) {
  Setting("ServerMaxUsers", 30);
  StartServer();
  const int32_t lobby = AddChannel("Lobby", -1, CHANNEL_SUBCHANNELS, "pw");
  const int32_t quiet = AddChannel("Quiet", lobby);
  const int32_t open = AddChannel("Open", -1, CHANNEL_SUBCHANNELS);
  const int32_t corner = AddChannel("Corner", open);
  const int32_t tiny = AddChannel("Tiny", -1, 0, "", 0);
  ASSERT_EQ(tiny, 5);

  struct TCase {
    TLoginStep3 Step3;
    int32_t Expected;
  };
  const std::vector<TCase> cases{
      {{0, "open", "", ""}, open},       {{0, "Open", "CORNER", ""}, corner},
      {{0, "Open", "Nope", ""}, 0},      {{0, "", "Corner", ""}, 0},
      {{0, "Nowhere", "Corner", ""}, 0}, {{0, "Corner", "", ""}, corner},
      {{0, "Lobby", "", "pw"}, lobby},   {{0, "Lobby", "", "PW"}, 0},
      {{0, "Lobby", "", ""}, 0},         {{0, "Lobby", "Quiet", "pw"}, quiet},
      {{0, "Lobby", "Quiet", ""}, 0},    {{0, "Open", "", "anything"}, open},
      {{0, "Tiny", "", ""}, 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE(c.Step3.Channel + "/" + c.Step3.SubChannel + "/" + c.Step3.ChannelPassword);
    TClient& player = NewClient();
    ASSERT_EQ(Join(player, Request("p" + std::to_string(i)), c.Step3), 1);
    const uint32_t id = player.LastLoginReply()->PlayerID;
    EXPECT_EQ(PlayerRecord(id).ChannelID, c.Expected);
    ASSERT_FALSE(player.Players().empty());
    EXPECT_EQ(player.Players().back().PlayerID, id);
    EXPECT_EQ(player.Players().back().ChannelID, c.Expected) << "the own entry shows it";
  }
}

TEST_F(LoginTest, OutsideAClanServerPlayersSeeTheirChannelFamilyOnly) {
  Setting("ServerType", 0);
  StartServer();
  const int32_t top = AddChannel("Top", -1, CHANNEL_SUBCHANNELS);
  AddChannel("Sub", top);
  AddChannel("Other");
  TClient& alice = NewClient();
  TClient& carol = NewClient();
  TClient& dave = NewClient();
  TClient& bob = NewClient();
  ASSERT_EQ(Join(alice, Request("alice"), {0, "Top", "", ""}), 1);
  ASSERT_EQ(Join(carol, Request("carol"), {0, "Other", "", ""}), 1);
  ASSERT_EQ(Join(dave, "dave"), 1);
  ASSERT_EQ(Join(bob, Request("bob"), {0, "Top", "Sub", ""}), 1);

  // Bob, in a sub-channel of Top, sees alice and himself only.
  std::vector<std::string> names;
  for (const auto& p : bob.Players()) names.push_back(p.NickName);
  EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob"}));
  ASSERT_EQ(carol.Players().size(), 1u);

  const auto forAlice = Collect(alice, cmd::CMD_sc_NotifyPlayerEnteredScope, 1);
  ASSERT_EQ(forAlice.size(), 1u);
  EXPECT_EQ(client::DecodePlayerEntry(forAlice[0].Data() + 24).NickName, "bob");
  PumpFor(200);
  EXPECT_TRUE(Received(carol, cmd::CMD_sc_NotifyPlayerEnteredScope).empty());
  EXPECT_TRUE(Received(dave, cmd::CMD_sc_NotifyPlayerEnteredScope).empty());

  // The departure goes to the same family only.
  ASSERT_TRUE(bob.Quit(3000));
  const auto left = Collect(alice, cmd::CMD_sc_NotifyPlayerLeftScope, 1);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(GetLE32(left[0].Data() + 24), bob.LastLoginReply()->PlayerID);
  PumpFor(200);
  EXPECT_TRUE(Received(carol, cmd::CMD_sc_NotifyPlayerLeftScope).empty());
  EXPECT_TRUE(Received(dave, cmd::CMD_sc_NotifyPlayerLeftScope).empty());
}

TEST_F(LoginTest, QuitSilenceAndStep3FlagEndTheirConnections) {
  StartServer();
  TClient& alice = NewClient();
  TClient& bob = NewClient();
  TClient& carol = NewClient();
  ASSERT_EQ(Join(alice, "alice"), 1);
  ASSERT_EQ(Join(bob, "bob"), 1);
  ASSERT_EQ(Join(carol, "carol"), 1);
  PumpFor(100);
  for (TClient* c : {&alice, &bob}) Received(*c, cmd::CMD_sc_NotifyPlayerEnteredScope);
  auto checkLeft = [&](TClient& c, uint32_t playerID, uint16_t reason) {
    const auto left = Collect(c, cmd::CMD_sc_NotifyPlayerLeftScope, 1);
    ASSERT_EQ(left.size(), 1u);
    const TPacket& n = left[0];
    EXPECT_EQ(n.Size(), 64u);
    EXPECT_EQ(GetLE32(n.Data() + 24), playerID);
    EXPECT_EQ(GetLE16(n.Data() + 28), reason);
    EXPECT_EQ(GetLE32(n.Data() + 30), 0u) << "no acting player";
    EXPECT_EQ(n.Data()[34], 0) << "no reason text";
  };

  // An orderly quit: reason 1 for the others, the player and connection go.
  const uint32_t carolID = carol.LastLoginReply()->PlayerID;
  ASSERT_TRUE(carol.Quit(3000));
  checkLeft(alice, carolID, 1);
  checkLeft(bob, carolID, 1);
  EXPECT_TRUE(PumpAll([&] { return Server->PacketBuffer->ConnectionCount() == 2; }, 3000));
  EXPECT_EQ(PlayerCount(), 2u);

  // A silent player: reason 3 once its connection's silence limit is over.
  const uint32_t bobID = bob.LastLoginReply()->PlayerID;
  ASSERT_TRUE(Server->PacketBuffer->SetConnectionTimeouts(bobID, {2000, 300, 2000}));
  bob.Close();
  checkLeft(alice, bobID, 3);
  EXPECT_TRUE(PumpAll([&] { return Server->PacketBuffer->ConnectionCount() == 1; }, 3000));
  EXPECT_EQ(PlayerCount(), 1u);

  // An accepted login that never sends its step 3 times out in the login
  // state; as nobody was told of it, its departure is not announced either
  // (a flood of such logins must not flood the players). A refused one goes
  // without a word as well.
  SetTimeouts(300, 15000, 2000);
  TClient& dave = NewClient();
  const auto daveReply = dave.Login(Request("dave"), 3000);
  ASSERT_TRUE(daveReply);
  ASSERT_EQ(daveReply->Result, 1);
  dave.Close();
  EXPECT_TRUE(PumpAll([&] { return PlayerCount() == 1u; }, 3000));
  TClient& eve = NewClient();
  EXPECT_EQ(Join(eve, "server"), LOGIN_BAD_PASSWORD_OR_NAME);
  eve.Close();
  EXPECT_TRUE(PumpAll([&] { return Server->PacketBuffer->ConnectionCount() == 1; }, 3000));
  PumpFor(100);
  EXPECT_TRUE(Received(alice, cmd::CMD_sc_NotifyPlayerLeftScope).empty());

  // Step 3 with flag 1: no list follows, and the player and the connection
  // are gone.
  TClient& frank = NewClient();
  const auto frankReply = frank.Login(Request("frank"), 3000);
  ASSERT_TRUE(frankReply);
  ASSERT_EQ(frankReply->Result, 1);
  TLoginStep3 refuse;
  refuse.Flag = 1;
  refuse.Channel = "Default";
  frank.SendCommand(client::EncodeLoginStep3(refuse));
  EXPECT_TRUE(PumpAll([&] { return Server->PacketBuffer->ConnectionCount() == 1; }, 2000));
  PumpFor(200);
  EXPECT_EQ(PlayerCount(), 1u);
  for (int16_t code : {cmd::CMD_sc_LoginStep4, cmd::CMD_sc_LoginStep5, cmd::CMD_sc_LoginStep6}) {
    EXPECT_TRUE(ArrivedCommands(frank, code).empty()) << "code " << code;
  }
}

TEST_F(LoginTest, CommandsOfARefusedConnectionDoNothing) {
  StartServer();
  TClient& alice = NewClient();
  ASSERT_EQ(Join(alice, "alice"), 1);
  TClient& eve = NewClient();
  const auto refused = eve.Login(Request("Alice"), 3000);
  ASSERT_TRUE(refused);
  ASSERT_EQ(refused->Result, LOGIN_NICKNAME_IN_USE);
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), 2) << "the refused connection exists";
  PumpFor(100);
  alice.ClearLog();

  // Commands on the refused connection, sealed with its ids.
  uint32_t sequence = 0;
  auto send = [&](TPacket command) {
    auto h = command.CommandHeader();
    h.SetConnectionID(refused->ConnectionID);
    h.SetPlayerID(refused->PlayerID);
    h.SetSequence(++sequence);
    command.SealChecksum();
    eve.SendRaw(std::span<const uint8_t>(command.Data(), command.Size()));
  };
  auto acks = [&] {
    size_t n = 0;
    for (const auto& e : eve.Log()) n += !e.Outgoing && e.Class == TPacketClass::Ack ? 1 : 0;
    return n;
  };
  send(client::MakeCommand(cmd::CMD_cs_PlayerQuit));
  const uint8_t text[4] = {1, 2, 3, 4};
  send(client::MakeCommand(0x01AE, text));
  EXPECT_TRUE(PumpAll([&] { return acks() >= 2; }, 2000)) << "acknowledged all the same";
  PumpFor(200);
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), 2);
  EXPECT_EQ(PlayerCount(), 1u);
  for (const auto& e : alice.Log()) {
    EXPECT_FALSE(!e.Outgoing && e.Class == TPacketClass::Command) << "alice heard " << e.Code;
  }

  // Its step 3 ends it at once, without any list.
  send(client::EncodeLoginStep3({}));
  EXPECT_TRUE(PumpAll([&] { return Server->PacketBuffer->ConnectionCount() == 1; }, 1000));
  PumpFor(100);
  for (const auto& e : eve.Log()) {
    EXPECT_FALSE(!e.Outgoing && e.Class == TPacketClass::Command) << "eve heard " << e.Code;
  }
  EXPECT_EQ(PlayerCount(), 1u);
}

}  // namespace
}  // namespace vx::testing
