// Player commands over real UDP: channel switches with their passwords and
// notices on clan and public servers, kicks, flags, voice requests, channel
// and server privileges, registration, and short payloads.
#include <gtest/gtest.h>

#include <set>

#include "CommandsFixture.h"

namespace vx::testing {
namespace {

using client::TClient;
using PlayerCommandsTest = CommandsFixture;

void Switch(TClient& c, int32_t channelID, const std::string& password = "") {
  Send(c, cmd::CMD_cs_PlayerChannelSwitch,
       TPayload(PlayerChannelSwitchSize).U32(24, channelID).Text(28, 29, password));
}
void ChannelPrivilege(TClient& c, uint32_t target, uint8_t action, uint8_t bit,
                      int16_t code = cmd::CMD_cs_PlayerChangeChannelPrivilege) {
  Send(c, code, TPayload(30).U32(24, target).U8(28, action).U8(29, bit));
}
void ServerPrivilege(TClient& c, uint32_t target, uint8_t action, uint8_t bit) {
  ChannelPrivilege(c, target, action, bit, cmd::CMD_cs_PlayerChangePrivilege);
}
// Player id, action, bit and acting player of a privilege notice.
std::vector<uint32_t> PrivilegeNotice(const TPacket& p) {
  return {GetLE32(p.Data() + 24), p.Data()[28], p.Data()[29], GetLE32(p.Data() + 30)};
}

TEST_F(PlayerCommandsTest, ChannelSwitchChecksPasswordsRoomAndRights) {
  Start();
  const int32_t guarded = AddChannel("Guarded", -1, CHANNEL_SUBCHANNELS, "secret");
  const int32_t inner = AddChannel("Inner", guarded);
  const int32_t full = AddChannel("Full", -1, 0, "", 0);
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& admin = EnterAdmin();
  const int16_t code = cmd::CMD_cs_PlayerChannelSwitch;

  Switch(alice, 999);
  EXPECT_EQ(AwaitError(alice, code), CHANNELERR_NOT_FOUND);
  Switch(alice, inner);  // a sub-channel is guarded by its parent's password
  EXPECT_EQ(AwaitError(alice, code), CHANNELERR_PASSWORD_REQUIRED);
  Switch(alice, inner, "Secret");
  EXPECT_EQ(AwaitError(alice, code), CHANNELERR_WRONG_PASSWORD);
  ASSERT_EQ(LastError.Size(), WrongChannelPasswordErrorSize);
  EXPECT_EQ(GetLE32s(LastError.Data() + 30), inner);
  EXPECT_EQ(GetLE32(LastError.Data() + 8), Id(alice));
  Switch(alice, full);
  EXPECT_EQ(AwaitError(alice, code), CHANNELERR_FULL);
  Settle(alice);
  EXPECT_EQ(Player(alice).ChannelID, 0);
  EXPECT_TRUE(Drain(bob, cmd::CMD_sc_NotifyPlayerSwitchedChannel).empty());

  // On a clan server every player sees the switch.
  Modify(alice, [](TClientObject& p) { p.PlayerFlags = PLAYERFLAG_REQUESTVOICE; });
  Switch(alice, inner, "secret");
  Settle(alice);
  for (TClient* c : {&alice, &bob, &admin}) {
    const auto notices = Drain(*c, cmd::CMD_sc_NotifyPlayerSwitchedChannel);
    ASSERT_EQ(notices.size(), 1u);
    const uint8_t* p = notices[0].Data();
    EXPECT_EQ(notices[0].Size(), NotifyPlayerSwitchedChannelSize);
    EXPECT_EQ(GetLE32(p + 24), Id(alice));
    EXPECT_EQ(GetLE32s(p + 28), 0);
    EXPECT_EQ(GetLE32s(p + 32), inner);
    EXPECT_EQ(GetLE16(p + 36), 0);
    const auto flags = Drain(*c, cmd::CMD_sc_NotifyPlayerFlagsChanged);
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_EQ(GetLE32(flags[0].Data() + 28), 0u) << "the voice request is dropped";
  }

  // A server admin needs neither the password nor room.
  Switch(admin, full);
  Switch(admin, inner);
  Settle(admin);
  EXPECT_EQ(Player(admin).ChannelID, inner);
  EXPECT_EQ(Drain(bob, cmd::CMD_sc_NotifyPlayerSwitchedChannel).size(), 2u);

  // The keep-in-tree flag survives moves within the family only.
  const int32_t other = AddChannel("Other");
  Send(alice, cmd::CMD_cs_PlayerFlagsChanged, TPayload(28).U32(24, PLAYERFLAG_KEEPINTREE));
  Switch(alice, guarded, "secret");
  Settle(alice);
  EXPECT_EQ(Player(alice).PlayerFlags, PLAYERFLAG_KEEPINTREE);
  Switch(alice, inner, "secret");
  Switch(alice, other);
  Settle(alice);
  EXPECT_EQ(Player(alice).PlayerFlags, 0u);
}

TEST_F(PlayerCommandsTest, PublicServerAnnouncesSwitchesAsLeavingAndEntering) {
  Setting("ServerType", 2);
  Start();
  const int32_t room = AddChannel("Room");
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& carol = Enter("carol");
  TClient& dave = Enter("dave");
  Switch(dave, room);
  Settle(dave);
  for (TClient* c : {&alice, &bob, &carol, &dave}) Drain(*c);

  Switch(alice, room);
  Settle(alice);
  EXPECT_EQ(Codes(Drain(alice)), (std::vector<int16_t>{cmd::CMD_sc_NotifyPlayerSwitchedChannel,
                                                       cmd::CMD_sc_NotifyPlayersInSwitchedChannel,
                                                       cmd::CMD_sc_NotifyPlayerFlagsChanged}));
  for (TClient* c : {&bob, &carol}) {
    const auto got = Drain(*c);
    ASSERT_EQ(Codes(got), std::vector<int16_t>{cmd::CMD_sc_NotifyPlayerLeftScope});
    EXPECT_EQ(GetLE32(got[0].Data() + 24), Id(alice));
    EXPECT_EQ(GetLE16(got[0].Data() + 28), LEFT_SWITCHED_CHANNEL);
    EXPECT_EQ(GetLE32(got[0].Data() + 30), 0u);
  }
  const auto entered = Drain(dave);
  ASSERT_EQ(Codes(entered), (std::vector<int16_t>{cmd::CMD_sc_NotifyPlayerEnteredScope,
                                                  cmd::CMD_sc_NotifyPlayerFlagsChanged}));
  const client::TPlayerEntry entry = client::DecodePlayerEntry(entered[0].Data() + 24);
  EXPECT_EQ(entry.PlayerID, Id(alice));
  EXPECT_EQ(entry.ChannelID, room);
  // Those left behind keep their connection and their player.
  EXPECT_FALSE(Player(bob).LeftNotified);
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), 4);

  // The players now in view come ten to a packet.
  const int32_t crowded = AddChannel("Crowded");
  const int32_t ten = AddChannel("Ten");
  WithServer([&](TServerObject& s) {
    s.Players.AssertHeld();  // WithServer holds it
    for (uint32_t i = 0; i < 33; ++i) {
      auto p = std::make_unique<TClientObject>();
      p->PlayerID = 1000 + i;
      p->ChannelID = i < 23 ? crowded : ten;
      p->NickName = "extra" + std::to_string(i);
      s.Players.Items.push_back(std::move(p));
    }
    s.Players.Changed();
  });
  for (int32_t target : {crowded, ten}) {
    Drain(alice);
    Switch(alice, target);
    Settle(alice);
    std::vector<uint32_t> counts;
    std::set<uint32_t> ids;
    for (const TPacket& p : Drain(alice, cmd::CMD_sc_NotifyPlayersInSwitchedChannel)) {
      EXPECT_EQ(p.Size(), NotifyPlayersInSwitchedChannelSize);
      counts.push_back(GetLE32(p.Data() + 24));
      for (uint32_t i = 0; i < counts.back(); ++i)
        ids.insert(client::DecodePlayerEntry(p.Data() + 28 + 46 * i).PlayerID);
    }
    const std::vector<uint32_t> expected =
        target == crowded ? std::vector<uint32_t>{10, 10, 3} : std::vector<uint32_t>{10};
    EXPECT_EQ(counts, expected);
    EXPECT_EQ(ids.size(), target == crowded ? 23u : 10u);
  }
}

TEST_F(PlayerCommandsTest, KicksAndFlags) {
  Start();
  const int32_t room = AddChannel("Room");
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  Modify(alice, [](TClientObject& p) { p.ChannelPrivileges = CHANPRIV_OPERATOR; });
  const auto kick = [](TClient& c, int16_t code, uint32_t target) {
    Send(c, code, TPayload(PlayerKickSize).U32(24, target).Text(28, 29, "bye"));
  };
  kick(bob, cmd::CMD_cs_PlayerKick, Id(alice));
  EXPECT_EQ(AwaitError(bob, cmd::CMD_cs_PlayerKick), PERMERR_OPERATOR);
  kick(bob, cmd::CMD_cs_PlayerKickFromChannel, Id(alice));
  EXPECT_EQ(AwaitError(bob, cmd::CMD_cs_PlayerKickFromChannel), PERMERR_OPERATOR);
  kick(alice, cmd::CMD_cs_PlayerKick, 4711);
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerKick), PLAYERERR_NOT_FOUND);

  Send(bob, cmd::CMD_cs_PlayerFlagsChanged, TPayload(28).U32(24, 0x80000004u));
  const auto flags = Await(alice, cmd::CMD_sc_NotifyPlayerFlagsChanged);
  ASSERT_TRUE(flags);
  EXPECT_EQ(GetLE32(flags->Data() + 24), Id(bob));
  EXPECT_EQ(GetLE32(flags->Data() + 28), 0x80000004u) << "stored unmasked";

  Switch(bob, room);
  Settle(bob);
  kick(alice, cmd::CMD_cs_PlayerKickFromChannel, Id(bob));
  Settle(alice);
  const auto kicked = Drain(bob, cmd::CMD_sc_NotifyPlayerKickedFromChannel);
  ASSERT_EQ(kicked.size(), 1u);
  const uint8_t* k = kicked[0].Data();
  EXPECT_EQ(GetLE32(k + 24), Id(bob));
  EXPECT_EQ(GetLE32s(k + 28), room);
  EXPECT_EQ(GetLE32s(k + 32), 0);
  EXPECT_EQ(GetTextN(k + 38, 29), "bye");
  EXPECT_EQ(Player(bob).ChannelID, 0);

  // A player who does not answer yet is told once, however often kicked.
  TClient ghost;
  ghost.Open("127.0.0.1", uint16_t(Port));
  ASSERT_EQ(Join(ghost, "ghost"), 1);
  const uint32_t ghostID = Id(ghost);
  kick(alice, cmd::CMD_cs_PlayerKick, ghostID);
  kick(alice, cmd::CMD_cs_PlayerKick, ghostID);
  Settle(alice);
  const auto left = Drain(bob, cmd::CMD_sc_NotifyPlayerLeftScope);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(GetLE32(left[0].Data() + 24), ghostID);
  EXPECT_EQ(GetLE16(left[0].Data() + 28), LEFT_KICKED);
  EXPECT_EQ(GetLE32(left[0].Data() + 30), Id(alice));
  EXPECT_EQ(GetTextN(left[0].Data() + 34, 29), "bye");
  const auto own = ghost.WaitCommand(cmd::CMD_sc_NotifyPlayerLeftScope, 2000);
  ASSERT_TRUE(own);
  EXPECT_EQ(GetLE16(own->Data() + 28), LEFT_KICKED);
  // Its acknowledgement closes the connection and the player goes.
  EXPECT_TRUE(PumpAll(
      [&] {
        ghost.Pump(1);
        return PlayerCount() == 2;
      },
      3000));
  kick(alice, cmd::CMD_cs_PlayerKick, ghostID);
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerKick), PLAYERERR_NOT_FOUND);
}

TEST_F(PlayerCommandsTest, VoiceRequestsAndChannelPrivileges) {
  Start();
  const int32_t moderated = AddChannel("Quiet", -1, CHANNEL_MODERATED | CHANNEL_SUBCHANNELS);
  const int32_t below = AddChannel("Below", moderated);
  AddAccount("reg", "pw");
  TClient& reg = Enter("reg", "reg", "pw");
  TClient& alice = Enter("alice");
  TClient& admin = EnterAdmin();
  const auto request = [](TClient& c) {
    Send(c, cmd::CMD_cs_PlayerRequestVoice, TPayload(54).Text(24, 29, "please"));
  };
  const int16_t priv = cmd::CMD_cs_PlayerChangeChannelPrivilege;

  request(alice);
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerRequestVoice), VOICEERR_NOT_MODERATED);
  Switch(alice, moderated);
  request(alice);
  const auto asked = Await(reg, cmd::CMD_sc_NotifyPlayerRequestedVoice);
  ASSERT_TRUE(asked);
  EXPECT_EQ(GetLE32(asked->Data() + 24), Id(alice));
  EXPECT_EQ(GetTextN(asked->Data() + 28, 29), "please");
  request(alice);
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerRequestVoice), VOICEERR_ALREADY_REQUESTED);

  // Rights and the refusals of grants.
  ChannelPrivilege(reg, Id(alice), PRIVACTION_GRANT, 2);
  EXPECT_EQ(AwaitError(reg, priv), PERMERR_OPERATOR);
  ChannelPrivilege(admin, 4711, PRIVACTION_GRANT, 2);
  EXPECT_EQ(AwaitError(admin, priv), PLAYERERR_NOT_FOUND);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 4);
  EXPECT_EQ(AwaitError(admin, priv), PRIVERR_AUTO_NEEDS_REGISTERED);

  // Granted voice ends the request.
  Settle(admin);
  Drain(reg);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 2);
  Settle(admin);
  const auto seen = Drain(reg);
  ASSERT_EQ(Codes(seen), (std::vector<int16_t>{cmd::CMD_sc_NotifyPlayerFlagsChanged,
                                               cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged}));
  EXPECT_EQ(GetLE32(seen[0].Data() + 28), 0u);
  EXPECT_EQ(PrivilegeNotice(seen[1]), (std::vector<uint32_t>{Id(alice), 0, 2, Id(admin)}));
  EXPECT_EQ(Player(alice).ChannelPrivileges, CHANPRIV_VOICE);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 2);
  EXPECT_EQ(AwaitError(admin, priv), PRIVERR_HOLDS_VOICE);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 1);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 1);
  EXPECT_EQ(AwaitError(admin, priv), PRIVERR_HOLDS_OPERATOR);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 0);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_GRANT, 0);
  EXPECT_EQ(AwaitError(admin, priv), PRIVERR_HOLDS_ADMIN);
  ChannelPrivilege(admin, Id(alice), PRIVACTION_REVOKE, 1);
  ChannelPrivilege(admin, Id(alice), 7, 2);  // neither grant nor revoke
  Settle(admin);
  EXPECT_EQ(Player(alice).ChannelPrivileges, CHANPRIV_ADMIN | CHANPRIV_VOICE);
  EXPECT_EQ(PrivilegeNotice(Drain(reg, cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged).back()),
            (std::vector<uint32_t>{Id(alice), 7, 2, Id(admin)}));

  // Auto-voice is stored for the family and gives voice at once and on entry.
  Switch(reg, moderated);
  Settle(reg);
  Drain(reg);
  ChannelPrivilege(admin, Id(reg), PRIVACTION_GRANT, 4);
  Settle(admin);
  const auto autoVoice = Drain(reg, cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged);
  ASSERT_EQ(autoVoice.size(), 2u);
  EXPECT_EQ(PrivilegeNotice(autoVoice[0]), (std::vector<uint32_t>{Id(reg), 0, 4, Id(admin)}));
  EXPECT_EQ(PrivilegeNotice(autoVoice[1]), (std::vector<uint32_t>{Id(reg), 1, 2, 0}));
  EXPECT_EQ(WithServer([&](TServerObject& s) { return s.Channels->GetUserAttrib(below, "reg"); }),
            CHANPRIV_AUTOVOICE);
  Switch(reg, 0);
  Switch(reg, below);
  Settle(reg);
  const auto moves = Drain(reg, cmd::CMD_sc_NotifyPlayerSwitchedChannel);
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(GetLE16(moves[0].Data() + 36), 0);
  EXPECT_EQ(GetLE16(moves[1].Data() + 36), CHANPRIV_AUTOVOICE | CHANPRIV_VOICE);
}

TEST_F(PlayerCommandsTest, ServerPrivilegesAndRegistration) {
  Start();
  AddAccount("reg", "pw");
  TClient& reg = Enter("reg", "reg", "pw");
  TClient& alice = Enter("alice");
  TClient& boss = EnterAdmin("boss");
  TZeveViraUsers users(*Manager.Database());
  const int16_t priv = cmd::CMD_cs_PlayerChangePrivilege;
  const auto registerAs = [](TClient& c, const std::string& login) {
    Send(c, cmd::CMD_cs_PlayerRegister, TPayload(84).Text(24, 29, login).Text(54, 29, "pw"));
  };

  // Channel admins (anyone who made a temporary channel) stay out.
  Modify(alice, [](TClientObject& p) { p.ChannelPrivileges = CHANPRIV_ADMIN; });
  ServerPrivilege(alice, Id(alice), PRIVACTION_GRANT, 0);
  EXPECT_EQ(AwaitError(alice, priv), PERMERR_SERVER_ADMIN);
  ServerPrivilege(alice, Id(boss), PRIVACTION_REVOKE, 2);
  EXPECT_EQ(AwaitError(alice, priv), PERMERR_SERVER_ADMIN);
  EXPECT_EQ(Player(alice).Priviliges, 0);
  EXPECT_TRUE(users.GetUser(Section, "boss", false));
  ServerPrivilege(boss, 4711, PRIVACTION_GRANT, 0);
  EXPECT_EQ(AwaitError(boss, priv), PLAYERERR_NOT_FOUND);

  // Register type "admin": only with the allow-register privilege.
  registerAs(alice, "alice");
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerRegister), PERMERR_REGISTER);
  ServerPrivilege(boss, Id(alice), PRIVACTION_GRANT, 1);
  const auto allowed = Await(reg, cmd::CMD_sc_NotifyPlayerPrivilegesChanged);
  ASSERT_TRUE(allowed);
  EXPECT_EQ(PrivilegeNotice(*allowed), (std::vector<uint32_t>{Id(alice), 0, 1, Id(boss)}));
  registerAs(alice, "reg");
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerRegister), REGISTERERR_ADD_FAILED);
  EXPECT_EQ(Player(alice).LogInName, "");
  registerAs(alice, "alice");
  const auto registered = Await(reg, cmd::CMD_sc_NotifyPlayerPrivilegesChanged);
  ASSERT_TRUE(registered);
  EXPECT_EQ(PrivilegeNotice(*registered), (std::vector<uint32_t>{Id(alice), 1, 2, 0}));
  EXPECT_EQ(Player(alice).Priviliges, SERVERPRIV_REGISTERED);
  const auto account = users.GetUser(Section, "alice", false);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->LogInPassWord, "pw");
  EXPECT_EQ(account->RegisteredBy, "alice");
  registerAs(alice, "alice2");
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_PlayerRegister), REGISTERERR_ALREADY_REGISTERED);

  // Grants are stored with the account; revoking "registered" deletes it.
  ServerPrivilege(boss, Id(alice), PRIVACTION_GRANT, 0);
  Settle(boss);
  EXPECT_EQ(users.GetUser(Section, "alice", false)->Priviliges & SERVERPRIV_ADMIN,
            SERVERPRIV_ADMIN);
  Drain(reg);
  ServerPrivilege(boss, Id(reg), PRIVACTION_REVOKE, 2);
  Settle(boss);
  const auto revoked = Drain(reg, cmd::CMD_sc_NotifyPlayerPrivilegesChanged);
  ASSERT_EQ(revoked.size(), 2u);
  EXPECT_EQ(PrivilegeNotice(revoked[0]), (std::vector<uint32_t>{Id(reg), 3, 0, Id(boss)}));
  EXPECT_EQ(PrivilegeNotice(revoked[1]), (std::vector<uint32_t>{Id(reg), 2, 2, Id(boss)}));
  EXPECT_FALSE(users.GetUser(Section, "reg", false));

  // Accounts made by a server admin.
  const auto adminRegister = [](TClient& c, const std::string& login, uint8_t isAdmin) {
    Send(c, cmd::CMD_cs_PlayerAdminRegister,
         TPayload(85).Text(24, 29, login).Text(54, 29, "pw2").U8(84, isAdmin));
  };
  adminRegister(reg, "someone", 0);
  EXPECT_EQ(AwaitError(reg, cmd::CMD_cs_PlayerAdminRegister), PERMERR_SERVER_ADMIN);
  adminRegister(boss, "helper", 7);
  const auto ok = Await(boss, cmd::CMD_sc_PlayerAdminRegisteredOK);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Size(), CommandHeaderSize);
  const auto helper = users.GetUser(Section, "helper", false);
  ASSERT_TRUE(helper);
  EXPECT_EQ(helper->Priviliges, SERVERPRIV_ADMIN);
  EXPECT_EQ(helper->RegisteredBy, "boss");
  EXPECT_EQ(helper->LogInPassWord, "pw2");
  adminRegister(boss, "helper", 0);
  EXPECT_EQ(AwaitError(boss, cmd::CMD_cs_PlayerAdminRegister), REGISTERERR_ADD_FAILED);
}

TEST_F(PlayerCommandsTest, RegisterTypeAnyone) {
  Setting("ServerFlags", 3);
  Start();
  TClient& alice = Enter("alice");
  Send(alice, cmd::CMD_cs_PlayerRegister, TPayload(84).Text(24, 29, "alice").Text(54, 29, "x"));
  EXPECT_TRUE(Await(alice, cmd::CMD_sc_NotifyPlayerPrivilegesChanged));
  EXPECT_TRUE(TZeveViraUsers(*Manager.Database()).GetUser(Section, "alice", false));
}

// A command shorter than its layout fails to read: the handler's edge logs
// it and nothing else happens.
TEST_F(PlayerCommandsTest, ShortCommandsAreLoggedAndChangeNothing) {
  CaptureLog();
  Start();
  TClient& admin = EnterAdmin();
  TClient& bob = Enter("bob");
  const std::pair<int16_t, const char*> handlers[] = {
      {cmd::CMD_cs_ChannelCreate, "CMD_cs_ChannelCreate"},
      {cmd::CMD_cs_ChannelChangePassword, "CMD_cs_ChannelChangePassword"},
      {cmd::CMD_cs_ChannelChangeProperties, "CMD_cs_ChannelChangeProperties"},
      {cmd::CMD_cs_ChannelChangeName, "CMD_cs_ChannelChangeName"},
      {cmd::CMD_cs_ChannelChangeTopic, "CMD_cs_ChannelChangeTopic"},
      {cmd::CMD_cs_ChannelChangeDescription, "CMD_cs_ChannelChangeDescription"},
      {cmd::CMD_cs_ChannelDestroy, "CMD_cs_ChannelDestroy"},
      {cmd::CMD_cs_ChannelChangeMaxUsers, "CMD_cs_ChannelChangeMaxUsers"},
      {cmd::CMD_cs_ChannelChangeAll, "CMD_cs_ChannelChangeAll"},
      {cmd::CMD_cs_ChannelChangeOrder, "CMD_cs_ChannelChangeOrder"},
      {cmd::CMD_cs_PlayerKick, "CMD_cs_PlayerKick"},
      {cmd::CMD_cs_PlayerKickFromChannel, "CMD_cs_PlayerKickFromChannel"},
      {cmd::CMD_cs_PlayerChannelSwitch, "CMD_cs_PlayerChannelSwitch"},
      {cmd::CMD_cs_PlayerFlagsChanged, "CMD_cs_PlayerFlagsChanged"},
      {cmd::CMD_cs_PlayerRequestVoice, "CMD_cs_PlayerRequestVoice"},
      {cmd::CMD_cs_PlayerChangeChannelPrivilege, "CMD_cs_PlayerChangeChannelPrivilege"},
      {cmd::CMD_cs_PlayerChangePrivilege, "CMD_cs_PlayerChangePrivilege"},
      {cmd::CMD_cs_PlayerRegister, "CMD_cs_PlayerRegister"},
      {cmd::CMD_cs_PlayerAdminRegister, "CMD_cs_PlayerAdminRegister"},
      {cmd::CMD_cs_InfoRequestPlayerConnectionInfoOnId,
       "CMD_cs_InfoRequestPlayerConnectionInfoOnId"},
      {cmd::CMD_cs_InfoSendText, "CMD_cs_InfoSendText"},
  };
  const size_t lengths[] = {226, 58, 32, 58, 58, 128, 28, 30, 230, 30, 58,
                            58,  58, 28, 54, 30, 30,  84, 85, 28,  288};
  Settle(admin);
  Drain(admin);
  Drain(bob);
  for (size_t i = 0; i < std::size(handlers); ++i) {
    // A command that would work (channel 0, player bob, a name), one byte
    // short.
    TPayload payload(lengths[i]);
    payload.U32(24, handlers[i].first == cmd::CMD_cs_PlayerKick ? Id(bob) : 0);
    if (lengths[i] > 29) payload.U8(28, 1);
    payload.Bytes.pop_back();
    Send(admin, handlers[i].first, payload);
  }
  // A bit number outside 0 to 15 does not read either.
  Send(admin, cmd::CMD_cs_PlayerChangeChannelPrivilege,
       TPayload(30).U32(24, Id(bob)).U8(28, 0).U8(29, 16));
  Settle(admin);
  EXPECT_TRUE(Drain(admin).empty());
  EXPECT_TRUE(Drain(bob).empty());
  EXPECT_EQ(PlayerCount(), 2u);
  EXPECT_EQ(ChannelCount(), 1u);
  const std::string log = LogText();
  const std::string prefix = "SP: " + std::to_string(Port) + " ";
  for (const auto& [code, name] : handlers) {
    EXPECT_NE(log.find(prefix + name + " Exception: Stream read error"), std::string::npos) << name;
  }
  EXPECT_NE(log.find(prefix + "CMD_cs_PlayerChangeChannelPrivilege Exception: Privilege bit"),
            std::string::npos);
}

}  // namespace
}  // namespace vx::testing
