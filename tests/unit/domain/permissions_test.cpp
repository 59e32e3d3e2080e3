#include "domain/permissions_u.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

class PermissionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    T = Add("T", CHANNEL_SUBCHANNELS);
    S = Add("S", 0, T);
    Sibling = Add("Sibling", 0, T);
    U = Add("U", CHANNEL_SUBCHANNELS);
    USub = Add("USub", 0, U);
  }
  int32_t Add(const std::string& name, uint16_t flags, int32_t parent = -1,
              const std::string& password = "", uint16_t maxUsers = 10) {
    auto rec = std::make_unique<TChannelRec>();
    rec->Name = name;
    rec->Flags = flags;
    rec->Parent = parent;
    rec->Password = password;
    rec->MaxUsers = maxUsers;
    return Channels.AddChannel(std::move(rec));
  }
  TClientObject* Player(int32_t channelId, uint16_t chanPriv = 0, uint16_t serverPriv = 0) {
    Players.push_back(std::make_unique<TClientObject>());
    Players.back()->ChannelID = channelId;
    Players.back()->ChannelPrivileges = chanPriv;
    Players.back()->Priviliges = serverPriv;
    return Players.back().get();
  }
  const TChannelRec* Chan(int32_t id) const { return Channels.GetChannelByID(id); }

  TChannels Channels{"server_cfg Test"};
  TPlayerList Players;
  int32_t T = 0, S = 0, Sibling = 0, U = 0, USub = 0;
};

TEST_F(PermissionsTest, RightsTests) {
  TClientObject p;
  EXPECT_FALSE(IsServerAdmin(p) || HasChannelAdminRights(p) || HasOperatorRights(p));
  p.ChannelPrivileges = CHANPRIV_VOICE | CHANPRIV_AUTOOPERATOR;
  p.Priviliges = SERVERPRIV_ALLOWREGISTER | SERVERPRIV_REGISTERED;
  EXPECT_FALSE(IsServerAdmin(p) || HasChannelAdminRights(p) || HasOperatorRights(p));
  p.ChannelPrivileges = CHANPRIV_OPERATOR;
  EXPECT_TRUE(HasOperatorRights(p));
  EXPECT_FALSE(HasChannelAdminRights(p));
  p.ChannelPrivileges = CHANPRIV_ADMIN;
  EXPECT_TRUE(HasOperatorRights(p) && HasChannelAdminRights(p));
  p.ChannelPrivileges = 0;
  p.Priviliges = SERVERPRIV_ADMIN;
  EXPECT_TRUE(IsServerAdmin(p) && HasOperatorRights(p) && HasChannelAdminRights(p));
}

TEST_F(PermissionsTest, ChannelJoin) {
  EXPECT_EQ(CheckChannelJoin(Channels, Players, 99, ""), CHANNELERR_NOT_FOUND);
  EXPECT_EQ(CheckChannelJoin(Channels, Players, T, "anything"), CHANNELJOIN_OK);

  const int32_t closed = Add("Closed", 0, -1, "", 0);
  EXPECT_EQ(CheckChannelJoin(Channels, Players, closed, ""), CHANNELERR_FULL);
  const int32_t two = Add("Two", 0, -1, "", 2);
  Player(two);
  EXPECT_EQ(CheckChannelJoin(Channels, Players, two, ""), CHANNELJOIN_OK);
  Player(two);
  EXPECT_EQ(CheckChannelJoin(Channels, Players, two, ""), CHANNELERR_FULL);

  const int32_t locked = Add("Locked", CHANNEL_SUBCHANNELS, -1, "Secret");
  const int32_t lockedSub = Add("LockedSub", 0, locked);
  for (int32_t id : {locked, lockedSub}) {
    EXPECT_EQ(CheckChannelJoin(Channels, Players, id, ""), CHANNELERR_PASSWORD_REQUIRED);
    EXPECT_EQ(CheckChannelJoin(Channels, Players, id, "secret"), CHANNELJOIN_WRONG_PASSWORD);
    EXPECT_EQ(CheckChannelJoin(Channels, Players, id, "Secret"), CHANNELJOIN_OK);
  }
}

TEST_F(PermissionsTest, SpeakingOnPublicServerAndInModeratedChannels) {
  const TServerRules open{SERVERTYPE_CLAN, 0};
  const TServerRules pub{SERVERTYPE_PUBLIC, 0};
  TClientObject* inS = Player(S);
  EXPECT_FALSE(CheckPlayerCanSpeakToChannel(pub, Channels, nullptr, Chan(S)));
  EXPECT_FALSE(CheckPlayerCanSpeakToChannel(pub, Channels, inS, nullptr));
  for (int32_t target : {S, T, Sibling}) {
    EXPECT_TRUE(CheckPlayerCanSpeakToChannel(pub, Channels, inS, Chan(target))) << target;
  }
  for (int32_t target : {U, USub}) {
    EXPECT_FALSE(CheckPlayerCanSpeakToChannel(pub, Channels, inS, Chan(target))) << target;
    EXPECT_TRUE(CheckPlayerCanSpeakToChannel(open, Channels, inS, Chan(target))) << target;
  }
  // From a top-level channel: the other top-level channels share its parent -1.
  TClientObject* inT = Player(T);
  EXPECT_TRUE(CheckPlayerCanSpeakToChannel(pub, Channels, inT, Chan(U)));
  EXPECT_FALSE(CheckPlayerCanSpeakToChannel(pub, Channels, inT, Chan(S)));
  TClientObject* lost = Player(1234);
  EXPECT_FALSE(CheckPlayerCanSpeakToChannel(pub, Channels, lost, Chan(T)));

  const int32_t moderated = Add("Moderated", CHANNEL_MODERATED);
  TClientObject* listener = Player(moderated);
  EXPECT_FALSE(CheckPlayerCanSpeakToChannel(open, Channels, listener, Chan(moderated)));
  for (uint16_t priv : {CHANPRIV_VOICE, CHANPRIV_OPERATOR, CHANPRIV_ADMIN}) {
    listener->ChannelPrivileges = priv;
    EXPECT_TRUE(CheckPlayerCanSpeakToChannel(open, Channels, listener, Chan(moderated)));
  }
  listener->ChannelPrivileges = CHANPRIV_AUTOVOICE;
  EXPECT_FALSE(CheckPlayerCanSpeakToChannel(open, Channels, listener, Chan(moderated)));
  listener->Priviliges = SERVERPRIV_ADMIN;
  EXPECT_TRUE(CheckPlayerCanSpeakToChannel(open, Channels, listener, Chan(moderated)));
}

TEST_F(PermissionsTest, ClientInView) {
  const TServerRules clan{SERVERTYPE_CLAN | SERVERTYPE_PUBLIC, 0};
  const TServerRules other{SERVERTYPE_PUBLIC, 0};
  TClientObject* inT = Player(T);
  TClientObject* inS = Player(S);
  TClientObject* inUSub = Player(USub);
  TClientObject* lost = Player(1234);
  EXPECT_TRUE(CheckClientInView(clan, Channels, inT, inUSub));
  EXPECT_TRUE(CheckClientInView(clan, Channels, nullptr, inT));
  EXPECT_TRUE(CheckClientInView(other, Channels, inS, inT));
  EXPECT_TRUE(CheckClientInView(other, Channels, inT, inS));
  EXPECT_FALSE(CheckClientInView(other, Channels, inS, inUSub));
  EXPECT_FALSE(CheckClientInView(other, Channels, inT, nullptr));
  EXPECT_FALSE(CheckClientInView(other, Channels, lost, lost));
}

TEST_F(PermissionsTest, RegisterAndChannelCreationModes) {
  TClientObject player;
  TClientObject chanAdmin;
  chanAdmin.ChannelPrivileges = CHANPRIV_ADMIN;
  TClientObject admin;
  admin.Priviliges = SERVERPRIV_ADMIN;
  const TServerRules adminMode{SERVERTYPE_CLAN, 0};
  const TServerRules anyoneMode{SERVERTYPE_CLAN,
                                SERVERFLAG_ANYONE_REGISTERS | SERVERFLAG_ANYONE_CREATES_CHANNELS};

  EXPECT_FALSE(MayRegisterAccount(adminMode, player));
  EXPECT_TRUE(MayRegisterAccount(anyoneMode, player));
  player.Priviliges = SERVERPRIV_ALLOWREGISTER;
  EXPECT_TRUE(MayRegisterAccount(adminMode, player));
  player.Priviliges = 0;

  const uint16_t temp = CHANNEL_UNREGISTERED;
  EXPECT_EQ(CheckChannelCreateRights(anyoneMode, player, -1, temp), 0);
  EXPECT_EQ(CheckChannelCreateRights(anyoneMode, player, -1, 0), PERMERR_SERVER_ADMIN);
  EXPECT_EQ(CheckChannelCreateRights(anyoneMode, player, -1, temp | CHANNEL_DEFAULT),
            PERMERR_SERVER_ADMIN);
  EXPECT_EQ(CheckChannelCreateRights(anyoneMode, player, T, temp), PERMERR_CHANNEL_ADMIN);
  EXPECT_EQ(CheckChannelCreateRights(anyoneMode, chanAdmin, T, temp), 0);
  EXPECT_EQ(CheckChannelCreateRights(adminMode, chanAdmin, -1, temp), PERMERR_SERVER_ADMIN);
  EXPECT_EQ(CheckChannelCreateRights(adminMode, player, T, temp), PERMERR_CHANNEL_ADMIN);
  EXPECT_EQ(CheckChannelCreateRights(adminMode, chanAdmin, T, temp), 0);
  EXPECT_EQ(CheckChannelCreateRights(adminMode, admin, -1, CHANNEL_DEFAULT), 0);
}

}  // namespace
}  // namespace vx
