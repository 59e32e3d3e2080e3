// Channel commands over real UDP: creation and destruction with their rights
// and notices, single-value changes, properties with the moves of the
// default flag, change-all, and channels kept across a restart.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "CommandsFixture.h"

namespace vx::testing {
namespace {

using client::TClient;
using ChannelCommandsTest = CommandsFixture;

struct TNewChannel {
  uint16_t Flags = CHANNEL_UNREGISTERED;
  uint16_t Codec = 0;
  int32_t Parent = -1;
  std::string Name = "New";
  std::string Password = {};
};

void Create(TClient& c, const TNewChannel& n) {
  Send(c, cmd::CMD_cs_ChannelCreate,
       TPayload(ChannelCreateSize)
           .U16(24, n.Flags)
           .U16(26, n.Codec)
           .U32(28, uint32_t(n.Parent))
           .Text(32, 29, n.Name)
           .Text(62, 29, n.Name + " topic")
           .Text(92, 99, "about " + n.Name)
           .Text(192, 29, n.Password)
           .U16(222, 4)
           .U16(224, 50));
}
void Destroy(TClient& c, int32_t id) {
  Send(c, cmd::CMD_cs_ChannelDestroy, TPayload(28).U32(24, uint32_t(id)));
}
void Properties(TClient& c, int32_t id, uint16_t flags, uint16_t codec = 0) {
  Send(c, cmd::CMD_cs_ChannelChangeProperties,
       TPayload(32).U32(24, uint32_t(id)).U16(28, flags).U16(30, codec));
}

struct TAll {
  int32_t ID = 0;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  std::string Name = {}, Topic = {}, Description = {};
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
  std::string Password = {};
};
void ChangeAll(TClient& c, const TAll& a) {
  Send(c, cmd::CMD_cs_ChannelChangeAll,
       TPayload(ChannelChangeAllSize)
           .U32(24, uint32_t(a.ID))
           .U16(28, a.Flags)
           .U16(30, a.Codec)
           .U32(32, 12345)  // parent: ignored
           .Text(36, 29, a.Name)
           .Text(66, 29, a.Topic)
           .Text(96, 99, a.Description)
           .U16(196, a.Order)
           .U16(198, a.MaxUsers)
           .Text(200, 29, a.Password));
}

// Channel id, flags, codec and changer of a properties notice.
std::vector<uint32_t> PropertiesNotice(const TPacket& p) {
  return {GetLE32(p.Data() + 24), GetLE16(p.Data() + 28), GetLE16(p.Data() + 30),
          GetLE32(p.Data() + 32)};
}

TEST_F(ChannelCommandsTest, CreateChecksRightsAndMovesTheCreator) {
  Setting("AllowCodecGSM164", int64_t(0));
  Start();
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& admin = EnterAdmin();
  const int16_t code = cmd::CMD_cs_ChannelCreate;
  const std::pair<TNewChannel, int32_t> refused[] = {
      {{.Flags = 0}, PERMERR_SERVER_ADMIN},
      {{.Flags = CHANNEL_UNREGISTERED | CHANNEL_DEFAULT}, PERMERR_SERVER_ADMIN},
      {{.Codec = CODEC_GSM164}, CHANNELERR_CODEC_NOT_ALLOWED},
      {{.Codec = 9, .Parent = 0}, PERMERR_CHANNEL_ADMIN},
      {{.Name = "dEFAULT"}, CHANNELERR_NAME_EXISTS},
  };
  for (const auto& [request, error] : refused) {
    Create(alice, request);
    EXPECT_EQ(AwaitError(alice, code), error) << request.Name;
  }
  Create(admin, {.Flags = CHANNEL_SUBCHANNELS, .Name = "Top"});
  ASSERT_TRUE(Await(bob, cmd::CMD_sc_NotifyChannelCreated));
  const int32_t top = 1;
  Create(admin, {.Flags = 0, .Parent = top, .Name = "Sub"});
  ASSERT_TRUE(Await(bob, cmd::CMD_sc_NotifyChannelCreated));
  const std::pair<TNewChannel, int32_t> refusedToAdmin[] = {
      {{.Parent = 77}, CHANNELERR_PARENT_NOT_FOUND},
      {{.Parent = 2}, CHANNELERR_PARENT_IS_SUBCHANNEL},
      {{.Parent = 0}, CHANNELERR_PARENT_NO_SUBCHANNELS},
      {{.Parent = top, .Password = "pw"}, CHANNELERR_SUBCHANNEL_PASSWORD},
  };
  for (const auto& [request, error] : refusedToAdmin) {
    Create(admin, request);
    EXPECT_EQ(AwaitError(admin, code), error);
  }
  EXPECT_EQ(ChannelCount(), 3u);

  // A temporary top-level channel: everyone learns of it, the creator moves
  // in and becomes its channel admin.
  Settle(admin);
  Drain(bob);
  Create(alice, {.Codec = CODEC_CELP63, .Name = "Mine"});
  Settle(alice);
  const auto created = Drain(bob, cmd::CMD_sc_NotifyChannelCreated);
  ASSERT_EQ(created.size(), 1u);
  ASSERT_EQ(created[0].Size(), NotifyChannelCreatedSize);
  const client::TChannelEntry entry = client::DecodeChannelSlot(created[0].Data() + 24);
  EXPECT_EQ(entry.Name, "Mine");
  EXPECT_EQ(entry.Topic, "Mine topic");
  EXPECT_EQ(entry.Description, "about Mine");
  EXPECT_EQ(entry.Flags, CHANNEL_UNREGISTERED);
  EXPECT_EQ(entry.Codec, CODEC_CELP63);
  EXPECT_EQ(entry.Parent, -1);
  EXPECT_EQ(entry.Order, 4);
  EXPECT_EQ(entry.MaxUsers, 50);
  EXPECT_EQ(GetLE32(created[0].Data() + 200), Id(alice));
  const int32_t mine = entry.ChannelID;
  const auto moved = Drain(bob, cmd::CMD_sc_NotifyPlayerSwitchedChannel);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(GetLE32s(moved[0].Data() + 32), mine);
  const auto granted = Drain(bob, cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged);
  ASSERT_EQ(granted.size(), 1u);
  EXPECT_EQ(granted[0].Data()[28], PRIVACTION_SERVER_GRANT);
  EXPECT_EQ(granted[0].Data()[29], 0);
  EXPECT_EQ(GetLE32(granted[0].Data() + 30), 0u);
  EXPECT_EQ(Player(alice).ChannelID, mine);
  EXPECT_EQ(Player(alice).ChannelPrivileges, CHANPRIV_ADMIN);

  // Leaving it empty removes it.
  Send(alice, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, 0));
  const auto gone = Await(bob, cmd::CMD_sc_NotifyChannelDestroyed);
  ASSERT_TRUE(gone);
  EXPECT_EQ(int16_t(GetLE16(gone->Data() + 24)), mine);
  EXPECT_EQ(GetLE32(gone->Data() + 26), Id(alice));
}

TEST_F(ChannelCommandsTest, CreateInAdminModeAndTheDefaultFlag) {
  Setting("ServerFlags", int64_t(0));
  Start();
  const int32_t top = AddChannel("Top", -1, CHANNEL_SUBCHANNELS);
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& admin = EnterAdmin();
  Create(alice, {});
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_ChannelCreate), PERMERR_SERVER_ADMIN);
  Create(alice, {.Parent = top});
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_ChannelCreate), PERMERR_CHANNEL_ADMIN);
  Modify(alice, [](TClientObject& p) { p.ChannelPrivileges = CHANPRIV_ADMIN; });
  Create(alice, {.Parent = top, .Name = "Side"});
  const auto side = Await(bob, cmd::CMD_sc_NotifyChannelCreated);
  ASSERT_TRUE(side);
  EXPECT_EQ(GetLE16(side->Data() + 28), 0) << "below a registered parent it is registered";
  EXPECT_EQ(Player(alice).ChannelID, 0) << "sub-channels do not move the creator";

  // A new default channel takes the flag: the old one is announced first.
  Settle(alice);
  Drain(bob);
  Create(admin, {.Flags = CHANNEL_DEFAULT, .Name = "Hall"});
  Settle(admin);
  const auto seen = Drain(bob);
  ASSERT_EQ(Codes(seen), (std::vector<int16_t>{cmd::CMD_sc_NotifyChannelPropertiesChanged,
                                               cmd::CMD_sc_NotifyChannelCreated}));
  EXPECT_EQ(PropertiesNotice(seen[0]), (std::vector<uint32_t>{0, 0, Channel(0).Codec, Id(admin)}));
  EXPECT_EQ(WithServer([](TServerObject& s) { return s.Channels->GetDefaultChannelID(); }),
            client::DecodeChannelSlot(seen[1].Data() + 24).ChannelID);
}

TEST_F(ChannelCommandsTest, DestroyCountsTheWholeTree) {
  Start();
  const int32_t top = AddChannel("Top", -1, CHANNEL_SUBCHANNELS);
  const int32_t first = AddChannel("First", top);
  const int32_t second = AddChannel("Second", top);
  const int32_t lone = AddChannel("Lone", top);
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& admin = EnterAdmin();
  const int16_t code = cmd::CMD_cs_ChannelDestroy;
  Send(bob, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, uint32_t(second)));
  Settle(bob);

  Destroy(alice, 99);
  EXPECT_EQ(AwaitError(alice, code), CHANNELERR_NOT_FOUND);
  Destroy(alice, top);
  EXPECT_EQ(AwaitError(alice, code), PERMERR_SERVER_ADMIN);
  Destroy(alice, first);
  EXPECT_EQ(AwaitError(alice, code), PERMERR_CHANNEL_ADMIN);
  Destroy(admin, top);  // empty itself, but a sub-channel holds bob
  EXPECT_EQ(AwaitError(admin, code), CHANNELERR_HAS_PLAYERS);
  Destroy(admin, second);
  EXPECT_EQ(AwaitError(admin, code), CHANNELERR_HAS_PLAYERS);
  const int32_t hall = AddChannel("Hall", -1, CHANNEL_DEFAULT);  // empty
  Destroy(admin, hall);
  EXPECT_EQ(AwaitError(admin, code), CHANNELERR_IS_DEFAULT);
  EXPECT_EQ(ChannelCount(), 6u);
  EXPECT_EQ(Channel(second).ChannelID, second);

  // A channel admin removes a sub-channel.
  Modify(alice, [](TClientObject& p) { p.ChannelPrivileges = CHANPRIV_ADMIN; });
  Destroy(alice, lone);
  const auto one = Await(bob, cmd::CMD_sc_NotifyChannelDestroyed);
  ASSERT_TRUE(one);
  EXPECT_EQ(GetLE16(one->Data() + 24), lone);
  EXPECT_EQ(GetLE32(one->Data() + 26), Id(alice));

  Send(bob, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, 0));
  Settle(bob);
  Destroy(admin, top);
  Settle(admin);
  std::vector<uint32_t> ids;
  for (const TPacket& p : Drain(bob, cmd::CMD_sc_NotifyChannelDestroyed)) {
    ids.push_back(GetLE16(p.Data() + 24));
    EXPECT_EQ(GetLE32(p.Data() + 26), Id(admin));
  }
  EXPECT_EQ(ids, (std::vector<uint32_t>{uint32_t(second), uint32_t(first), uint32_t(top)}));
  EXPECT_EQ(ChannelCount(), 2u);
}

TEST_F(ChannelCommandsTest, SingleValueChangesReachThePlayersInView) {
  Setting("ServerType", int64_t(0));  // players see their own channel family only
  Start();
  const int32_t room = AddChannel("Room", -1, CHANNEL_SUBCHANNELS);
  const int32_t inner = AddChannel("Inner", room);
  const int32_t other = AddChannel("Other");
  TClient& alice = Enter("alice");
  TClient& bob = Enter("bob");
  TClient& carol = Enter("carol");
  Send(carol, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, uint32_t(other)));
  Settle(carol);
  Modify(alice, [](TClientObject& p) { p.ChannelPrivileges = CHANPRIV_OPERATOR; });
  const auto text = [](TClient& c, int16_t code, int32_t id, size_t n, const std::string& v) {
    Send(c, code, TPayload(24 + 4 + n + 1).U32(24, uint32_t(id)).Text(28, n, v));
  };
  text(carol, cmd::CMD_cs_ChannelChangeName, room, 29, "Mine");
  EXPECT_EQ(AwaitError(carol, cmd::CMD_cs_ChannelChangeName), PERMERR_OPERATOR);
  text(alice, cmd::CMD_cs_ChannelChangeTopic, 42, 29, "x");
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_ChannelChangeTopic), CHANNELERR_NOT_FOUND);

  // An operator of his own channel changes another one.
  Settle(carol);
  for (TClient* c : {&alice, &bob, &carol}) Drain(*c);
  text(alice, cmd::CMD_cs_ChannelChangeName, room, 29, "Other");  // duplicates are allowed
  text(alice, cmd::CMD_cs_ChannelChangeTopic, room, 29, "Talk");
  text(alice, cmd::CMD_cs_ChannelChangeDescription, room, 99, std::string(120, 'd'));
  Send(alice, cmd::CMD_cs_ChannelChangeMaxUsers, TPayload(30).U32(24, room).U16(28, 7));
  Send(alice, cmd::CMD_cs_ChannelChangeOrder, TPayload(30).U32(24, room).U16(28, 3));
  Settle(alice);
  const auto seen = Drain(bob);
  ASSERT_EQ(Codes(seen),
            (std::vector<int16_t>{
                cmd::CMD_sc_NotifyChannelNameChanged, cmd::CMD_sc_NotifyChannelTopicChanged,
                cmd::CMD_sc_NotifyChannelDescriptionChanged,
                cmd::CMD_sc_NotifyChannelMaxUsersChanged, cmd::CMD_sc_NotifyChannelOrderChanged}));
  const std::vector<size_t> sizes{62, 62, 132, 34, 34};
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].Size(), sizes[i]);
    EXPECT_EQ(GetLE32s(seen[i].Data() + 24), room);
    EXPECT_EQ(GetLE32(seen[i].Data() + sizes[i] - 4), Id(alice));
  }
  EXPECT_EQ(GetTextN(seen[0].Data() + 28, 29), "Other");
  EXPECT_EQ(GetTextN(seen[2].Data() + 28, 99), std::string(99, 'd'));
  EXPECT_EQ(GetLE16(seen[3].Data() + 28), 7);
  EXPECT_TRUE(Drain(carol).empty()) << "carol sits in another channel family";
  const TChannelRec changed = Channel(room);
  EXPECT_EQ(changed.Name, "Other");
  EXPECT_EQ(changed.Topic, "Talk");
  EXPECT_EQ(changed.MaxUsers, 7);
  EXPECT_EQ(changed.Order, 3);

  // Passwords: the sender is told, everyone sees the flag.
  text(alice, cmd::CMD_cs_ChannelChangePassword, inner, 29, "pw");
  EXPECT_EQ(AwaitError(alice, cmd::CMD_cs_ChannelChangePassword), CHANNELERR_SUBCHANNEL_PASSWORD);
  text(alice, cmd::CMD_cs_ChannelChangePassword, room, 29, "pw");
  const auto reply = Await(alice, cmd::CMD_sc_ChannelPasswordChanged);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Size(), ChannelPasswordChangedSize);
  EXPECT_EQ(GetLE32s(reply->Data() + 24), room);
  const auto flagged = Await(carol, cmd::CMD_sc_NotifyChannelPropertiesChanged);
  ASSERT_TRUE(flagged);
  EXPECT_EQ(PropertiesNotice(*flagged),
            (std::vector<uint32_t>{uint32_t(room), CHANNEL_SUBCHANNELS | CHANNEL_PASSWORD, 0,
                                   Id(alice)}));
  EXPECT_EQ(Channel(room).Password, "pw");
  text(alice, cmd::CMD_cs_ChannelChangePassword, room, 29, "");
  Settle(alice);
  EXPECT_EQ(Channel(room).Flags, CHANNEL_SUBCHANNELS);
  EXPECT_TRUE(Drain(bob, cmd::CMD_sc_ChannelPasswordChanged).empty());
}

TEST_F(ChannelCommandsTest, PropertiesAndChangeAll) {
  Start();
  const int32_t quiet = AddChannel("Quiet", -1, CHANNEL_MODERATED | CHANNEL_SUBCHANNELS);
  const int32_t below = AddChannel("Below", quiet);
  TClient& admin = EnterAdmin();
  TClient& bob = Enter("bob");
  TClient& carol = Enter("carol");
  const int16_t props = cmd::CMD_cs_ChannelChangeProperties;
  Properties(carol, quiet, 0);
  EXPECT_EQ(AwaitError(carol, props), PERMERR_OPERATOR);
  Properties(admin, below, 0);
  EXPECT_EQ(AwaitError(admin, props), CHANNELERR_SUBCHANNEL_PROPERTIES);
  Properties(admin, 99, 0);
  EXPECT_EQ(AwaitError(admin, props), CHANNELERR_NOT_FOUND);
  Properties(admin, 0, 0);
  EXPECT_EQ(AwaitError(admin, props), CHANNELERR_IS_DEFAULT);

  // No longer moderated: requests, operators and voice in it lapse.
  Send(bob, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, uint32_t(quiet)));
  Settle(bob);
  Modify(bob, [](TClientObject& p) {
    p.ChannelPrivileges = CHANPRIV_OPERATOR | CHANPRIV_VOICE;
    p.PlayerFlags = PLAYERFLAG_REQUESTVOICE;
  });
  Drain(bob);
  Properties(admin, quiet, CHANNEL_SUBCHANNELS, 2);
  Settle(admin);
  const auto lapsed = Drain(bob);
  ASSERT_EQ(Codes(lapsed), (std::vector<int16_t>{cmd::CMD_sc_NotifyChannelPropertiesChanged,
                                                 cmd::CMD_sc_NotifyPlayerFlagsChanged,
                                                 cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged,
                                                 cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged}));
  EXPECT_EQ(PropertiesNotice(lapsed[0]),
            (std::vector<uint32_t>{uint32_t(quiet), CHANNEL_SUBCHANNELS, 2, Id(admin)}));
  EXPECT_EQ(lapsed[2].Data()[28], PRIVACTION_SERVER_REVOKE);
  EXPECT_EQ(lapsed[2].Data()[29], 1);
  EXPECT_EQ(lapsed[3].Data()[29], 2);
  EXPECT_EQ(Player(bob).ChannelPrivileges, 0);
  EXPECT_EQ(Player(bob).PlayerFlags, 0u);

  // The default flag moves: the former default channel is announced first.
  Drain(carol);
  Properties(admin, quiet, CHANNEL_SUBCHANNELS | CHANNEL_DEFAULT, 2);
  Settle(admin);
  const auto moved = Drain(carol, cmd::CMD_sc_NotifyChannelPropertiesChanged);
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_EQ(PropertiesNotice(moved[0]), (std::vector<uint32_t>{0, 0, Channel(0).Codec, Id(admin)}));
  EXPECT_EQ(PropertiesNotice(moved[1])[1], CHANNEL_SUBCHANNELS | CHANNEL_DEFAULT);

  // Change-all: refusals.
  const int16_t all = cmd::CMD_cs_ChannelChangeAll;
  ChangeAll(carol, {.ID = 99});
  EXPECT_EQ(AwaitError(carol, all), CHANNELERR_NOT_FOUND);
  ChangeAll(carol, {.ID = quiet, .Flags = CHANNEL_SUBCHANNELS});
  EXPECT_EQ(AwaitError(carol, all), CHANNELERR_IS_DEFAULT);
  ChangeAll(carol, {.ID = 0, .Flags = CHANNEL_DEFAULT});
  EXPECT_EQ(AwaitError(carol, all), PERMERR_SERVER_ADMIN);
  ChangeAll(carol, {.ID = 0});
  EXPECT_EQ(AwaitError(carol, all), PERMERR_OPERATOR);
  // A password on a sub-channel would be refused when the tree is loaded.
  ChangeAll(admin, {.ID = below, .Name = "Below", .Password = "pw"});
  EXPECT_EQ(AwaitError(admin, all), CHANNELERR_SUBCHANNEL_PASSWORD);
  EXPECT_EQ(Channel(below).Password, "");

  // Each changed value is announced, in a fixed order, properties last.
  Settle(admin);
  Drain(carol);
  TAll lobby{.ID = 0,
             .Flags = 0,
             .Codec = 1,
             .Name = "Lobby",
             .Topic = "T",
             .Description = "D",
             .Order = 5,
             .MaxUsers = 9,
             .Password = "pw"};
  ChangeAll(admin, lobby);
  Settle(admin);
  const auto changes = Drain(carol);
  EXPECT_EQ(
      Codes(changes),
      (std::vector<int16_t>{
          cmd::CMD_sc_NotifyChannelNameChanged, cmd::CMD_sc_NotifyChannelDescriptionChanged,
          cmd::CMD_sc_NotifyChannelMaxUsersChanged, cmd::CMD_sc_NotifyChannelOrderChanged,
          cmd::CMD_sc_NotifyChannelTopicChanged, cmd::CMD_sc_NotifyChannelPropertiesChanged}));
  EXPECT_EQ(PropertiesNotice(changes.back()),
            (std::vector<uint32_t>{0, CHANNEL_PASSWORD, 1, Id(admin)}));
  // The password flag with an empty password keeps the password.
  lobby.Flags = CHANNEL_PASSWORD;
  lobby.Password = "";
  ChangeAll(admin, lobby);
  Settle(admin);
  EXPECT_TRUE(Drain(carol).empty());
  EXPECT_EQ(Channel(0).Password, "pw");
  lobby.Flags = 0;
  ChangeAll(admin, lobby);
  Settle(admin);
  const auto cleared = Drain(carol);
  ASSERT_EQ(Codes(cleared), std::vector<int16_t>{cmd::CMD_sc_NotifyChannelPropertiesChanged});
  EXPECT_EQ(Channel(0).Password, "");
  EXPECT_EQ(Channel(0).Flags, 0);
  EXPECT_EQ(Channel(0).Name, "Lobby");
}

TEST_F(ChannelCommandsTest, RegisteredChannelsAndPrivilegesSurviveARestart) {
  AddAccount("reg", "pw");
  Start();
  TClient& admin = EnterAdmin("boss");
  TClient& reg = Enter("reg", "reg", "pw");
  TClient& alice = Enter("alice");
  Create(admin, {.Flags = CHANNEL_SUBCHANNELS, .Name = "Beta"});
  Create(admin, {.Flags = 0, .Parent = 1, .Name = "Sub"});
  Create(admin, {.Flags = 0, .Name = "alpha"});
  Create(alice, {.Name = "Temp"});
  Settle(alice);
  Send(reg, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, 1));
  Settle(reg);
  Send(admin, cmd::CMD_cs_PlayerChangeChannelPrivilege,
       TPayload(30).U32(24, Id(reg)).U8(28, PRIVACTION_GRANT).U8(29, 3));
  Settle(admin);
  ASSERT_EQ(ChannelCount(), 5u);

  // Stop while the players keep answering: each is told, reason 4.
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    Manager.StopServers("");
    stopped = true;
  });
  PumpAll([&] { return stopped.load(); }, 5000);
  stopper.join();
  for (TClient* c : {&admin, &reg, &alice}) {
    const auto left = Drain(*c, cmd::CMD_sc_NotifyPlayerLeftScope);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(GetLE32(left[0].Data() + 24), Id(*c));
    EXPECT_EQ(GetLE16(left[0].Data() + 28), LEFT_SERVER_STOPPED);
    EXPECT_EQ(GetLE32(left[0].Data() + 30), 0u);
  }

  EXPECT_EQ(PlayerCount(), 0u);
  Clients.clear();
  Start();
  TClient& again = Enter("reg", "reg", "pw");
  std::vector<std::pair<int32_t, std::string>> tree;
  for (const auto& ch : again.Channels()) tree.emplace_back(ch.ChannelID, ch.Name);
  EXPECT_EQ(tree, (std::vector<std::pair<int32_t, std::string>>{
                      {0, "alpha"}, {1, "Beta"}, {2, "Sub"}, {3, "Default"}}));
  EXPECT_EQ(again.Channels()[2].Parent, 1);
  EXPECT_EQ(again.Channels()[3].Flags, CHANNEL_DEFAULT);
  // The stored auto-operator of the family gives operator on entry.
  Send(again, cmd::CMD_cs_PlayerChannelSwitch, TPayload(58).U32(24, 2));
  const auto entered = Await(again, cmd::CMD_sc_NotifyPlayerSwitchedChannel);
  ASSERT_TRUE(entered);
  EXPECT_EQ(GetLE16(entered->Data() + 36), CHANPRIV_AUTOOPERATOR | CHANPRIV_OPERATOR);
  // A registered creator's privileges were stored with bit 0x8000.
  EXPECT_EQ(WithServer([](TServerObject& s) { return s.Channels->GetUserAttrib(3, "boss"); }),
            0x8000);
}

}  // namespace
}  // namespace vx::testing
