#include "domain/channelobject_u.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/ByteOrder.h"
#include "host/logdebug.h"

namespace vx {
namespace {

std::unique_ptr<TChannelRec> Channel(const std::string& name, uint16_t flags = 0,
                                     int32_t parent = -1, const std::string& password = "") {
  auto rec = std::make_unique<TChannelRec>();
  rec->Name = name;
  rec->Flags = flags;
  rec->Parent = parent;
  rec->Password = password;
  rec->MaxUsers = 10;
  return rec;
}

void AddPlayer(TPlayerList& players, int32_t channelId) {
  players.push_back(std::make_unique<TClientObject>());
  players.back()->PlayerID = uint32_t(players.size());
  players.back()->ChannelID = channelId;
}

using TAnnounced = std::vector<std::pair<int32_t, uint32_t>>;

class ChannelsTest : public ::testing::Test {
 protected:
  int32_t Add(const std::string& name, uint16_t flags = 0, int32_t parent = -1) {
    return Channels.AddChannel(Channel(name, flags, parent));
  }
  TChannelDestroyedAnnounce Recorder() {
    return [this](int32_t id, uint32_t player) { Announced.emplace_back(id, player); };
  }

  TManualClock Clock{TDateTime{45000.5}};
  TClockOverride ClockGuard{Clock};
  TChannels Channels{"server_cfg Test"};
  TPlayerList Players;
  TAnnounced Announced;
};

TEST(ChannelRecTest, WireRecordLayout) {
  TChannelRec rec;
  rec.ChannelID = 0x01020304;
  rec.Flags = 0x1A;
  rec.Codec = 3;
  rec.Parent = -1;
  rec.Name = "Lobby";
  rec.Topic = "Talk";
  rec.Description = std::string(120, 'd');  // cut to 99 on the wire
  rec.Order = 0x0506;
  rec.MaxUsers = 0x0708;
  rec.Password = "never sent";
  std::array<uint8_t, ChannelWireRecordSize + 1> wire;
  wire.fill(0xEE);
  rec.WriteWireRecord(wire.data());

  EXPECT_EQ(GetLE32(&wire[0]), 0x01020304u);
  EXPECT_EQ(GetLE16(&wire[4]), 0x1A);
  EXPECT_EQ(GetLE16(&wire[6]), 3);
  EXPECT_EQ(GetLE32s(&wire[8]), -1);
  EXPECT_EQ(wire[12], 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&wire[13]), 5), "Lobby");
  for (size_t i = 18; i < 42; ++i) EXPECT_EQ(wire[i], 0) << "name filler at " << i;
  EXPECT_EQ(wire[42], 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&wire[43]), 4), "Talk");
  EXPECT_EQ(wire[72], 99);
  EXPECT_EQ(wire[171], 'd');
  EXPECT_EQ(GetLE16(&wire[172]), 0x0506);
  EXPECT_EQ(GetLE16(&wire[174]), 0x0708);
  EXPECT_EQ(wire[176], 0xEE) << "nothing written past the record";
}

TEST_F(ChannelsTest, AddChannelRefusalsLeaveListAndRecordAlone) {
  const int32_t top = Add("Top", CHANNEL_SUBCHANNELS);
  const int32_t plain = Add("Plain");
  const int32_t sub = Add("Sub", 0, top);
  ASSERT_EQ(sub, 2);

  struct TCase {
    std::string Name;
    int32_t Parent;
    std::string Password;
    int32_t Expected;
  };
  for (const TCase& c : {TCase{"X", sub, "", CHANNELERR_PARENT_IS_SUBCHANNEL},
                         TCase{"X", plain, "", CHANNELERR_PARENT_NO_SUBCHANNELS},
                         TCase{"X", top, "pw", CHANNELERR_SUBCHANNEL_PASSWORD},
                         TCase{"X", 99, "", CHANNELERR_PARENT_NOT_FOUND},
                         TCase{"tOP", -1, "", CHANNELERR_NAME_EXISTS},
                         TCase{"SUB", -1, "", CHANNELERR_NAME_EXISTS},  // a sub-channel's name
                         TCase{"sub", top, "", CHANNELERR_NAME_EXISTS}}) {
    auto rec = Channel(c.Name, CHANNEL_DEFAULT, c.Parent, c.Password);
    EXPECT_EQ(Channels.AddChannel(std::move(rec)), c.Expected) << c.Name << " below " << c.Parent;
    ASSERT_NE(rec, nullptr) << "a refused record stays with the caller";
    EXPECT_EQ(rec->Name, c.Name);
    EXPECT_EQ(rec->Flags, CHANNEL_DEFAULT);
    EXPECT_TRUE(Channels.ChangedChannels().empty());
  }
  EXPECT_EQ(Channels.Count(), 3u);
  EXPECT_EQ(Channels.GetDefaultChannelID(), -1);

  // A sub-channel may take a top-level name, and the same name below another parent.
  const int32_t other = Add("Other", CHANNEL_SUBCHANNELS);
  EXPECT_GE(Add("Plain", 0, top), 0);
  EXPECT_GE(Add("Sub", 0, other), 0);
  EXPECT_EQ(Channels.FindChannelByName("sub", other)->Parent, other);
  EXPECT_EQ(Channels.FindChannelByName("sub", -1)->ChannelID, sub) << "first in list order";
}

TEST_F(ChannelsTest, AddChannelNormalisesTheRecord) {
  const int32_t top = Channels.AddChannel(Channel(std::string(40, 'n'), CHANNEL_SUBCHANNELS));
  Channels.GetChannelByID(top)->Codec = CODEC_GSM148;
  auto rec = Channel("Sub", CHANNEL_UNREGISTERED | CHANNEL_SUBCHANNELS | CHANNEL_PASSWORD, top);
  rec->Codec = CODEC_CELP51;
  rec->Created = TDateTime{1.0};
  const int32_t sub = Channels.AddChannel(std::move(rec));
  EXPECT_EQ(rec, nullptr);

  const TChannelRec* stored = Channels.GetChannelByID(sub);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->Flags, 0)
      << "registered below a registered parent, no sub-channels, no password";
  EXPECT_EQ(stored->Codec, CODEC_GSM148);
  EXPECT_EQ(stored->Created, Clock.Now());
  EXPECT_EQ(stored->LastChanged, Clock.Now());
  EXPECT_EQ(Channels.GetChannelByID(top)->Name, std::string(29, 'n'));

  // Below a temporary parent a sub-channel stays temporary.
  const int32_t temp = Add("Temp", CHANNEL_UNREGISTERED | CHANNEL_SUBCHANNELS);
  EXPECT_EQ(Channels.GetChannelByID(Add("TempSub", CHANNEL_UNREGISTERED, temp))->Flags,
            CHANNEL_UNREGISTERED);
  EXPECT_EQ(Channels.GetChannelByID(Channels.AddChannel(Channel("Locked", 0, -1, "pw")))->Flags,
            CHANNEL_PASSWORD);

  // Ids count on and are not reused after a delete.
  ASSERT_EQ(Channels.DeleteChannel(temp), 0);
  EXPECT_EQ(Add("Next"), 5);
}

TEST_F(ChannelsTest, DefaultChannelHandoverAndDelete) {
  Channels.SetDefaultCodec(CODEC_GSM164);
  Channels.SetDefaultCodec(-1);  // a server that permits no codec keeps it
  Channels.CreateDefaultChannel();
  const TChannelRec* def = Channels.GetChannelByID(0);
  ASSERT_NE(def, nullptr);
  EXPECT_EQ(def->Name, "Default");
  EXPECT_EQ(def->Description, "Default Channel");
  EXPECT_EQ(def->Flags, CHANNEL_DEFAULT);
  EXPECT_EQ(def->MaxUsers, 32000);
  EXPECT_EQ(def->Codec, CODEC_GSM164);
  EXPECT_EQ(Channels.DeleteChannel(0), CHANNELERR_IS_DEFAULT);

  const int32_t second = Add("Second", CHANNEL_DEFAULT);
  EXPECT_EQ(Channels.ChangedChannels(), std::vector<int32_t>{0});
  EXPECT_EQ(def->Flags, 0);
  EXPECT_EQ(Channels.GetDefaultChannelID(), second);
  EXPECT_EQ(Channels.DeleteChannel(0), 0);
  EXPECT_EQ(Channels.DeleteChannel(0), CHANNELERR_NOT_FOUND);
  EXPECT_TRUE(Channels.ChangedChannels().empty());

  // A default sub-channel does not go with its parent.
  const int32_t top = Add("Top", CHANNEL_SUBCHANNELS);
  const int32_t sub = Add("Sub", CHANNEL_DEFAULT, top);
  EXPECT_EQ(Channels.GetDefaultChannelID(), sub);
  EXPECT_EQ(Channels.DeleteChannel(top), CHANNELERR_IS_DEFAULT);
  EXPECT_EQ(Channels.Count(), 3u);
}

TEST_F(ChannelsTest, DeletingTopLevelChannelTakesItsSubChannels) {
  const int32_t keep = Add("Keep", CHANNEL_SUBCHANNELS);
  const int32_t top = Add("Top", CHANNEL_SUBCHANNELS);
  const int32_t subA = Add("A", 0, top);
  const int32_t keepSub = Add("K", 0, keep);
  const int32_t subB = Add("B", 0, top);
  const int32_t last = Add("Last");

  EXPECT_EQ(Channels.DeleteChannel(top), 0);
  EXPECT_EQ(Channels.ChangedChannels(), (std::vector<int32_t>{subB, subA, top}));
  for (int32_t gone : {top, subA, subB}) EXPECT_EQ(Channels.GetChannelByID(gone), nullptr);
  std::vector<int32_t> left;
  for (const auto& rec : Channels.Channels()) left.push_back(rec->ChannelID);
  EXPECT_EQ(left, (std::vector<int32_t>{keep, keepSub, last}));
  EXPECT_EQ(Channels.GetChannelByID(last)->Name, "Last");

  // A sub-channel goes alone.
  EXPECT_EQ(Channels.DeleteChannel(keepSub), 0);
  EXPECT_EQ(Channels.ChangedChannels(), std::vector<int32_t>{keepSub});
  Channels.ClearChannels();
  EXPECT_EQ(Channels.Count(), 0u);
  EXPECT_EQ(Channels.GetChannelByID(keep), nullptr);
}

TEST_F(ChannelsTest, UserAttribsLiveOnTheTopLevelChannel) {
  const int32_t top = Add("Top", CHANNEL_SUBCHANNELS);
  const int32_t sub = Add("Sub", 0, top);
  Channels.SetUserAttrib(sub, "Bob", 0x8005);
  EXPECT_EQ(Channels.GetChannelByID(top)->UserAttribs, std::vector<std::string>{"Bob=32773"});
  EXPECT_TRUE(Channels.GetChannelByID(sub)->UserAttribs.empty());
  EXPECT_EQ(Channels.GetUserAttrib(top, "BOB"), 0x8005);
  Channels.SetUserAttrib(top, "bob", 3);  // replaces, whatever the case
  EXPECT_EQ(Channels.GetChannelByID(top)->UserAttribs, std::vector<std::string>{"bob=3"});
  EXPECT_EQ(Channels.GetUserAttrib(sub, "Bob"), 3);

  EXPECT_EQ(Channels.GetUserAttrib(top, "Alice"), 0);
  EXPECT_EQ(Channels.GetUserAttrib(99, "Bob"), 0);
  Channels.SetUserAttrib(99, "Bob", 1);  // no such channel: nothing happens
  Channels.SetUserAttrib(top, "", 1);    // an anonymous player has no entry
  Channels.SetUserAttrib(top, "a=b", 1);
  EXPECT_EQ(Channels.GetChannelByID(top)->UserAttribs.size(), 1u);

  // Loaded lines are not trusted.
  Channels.GetChannelByID(top)->UserAttribs = {"Eve=abc", "Max=70001", "Bobby", "=4"};
  EXPECT_EQ(Channels.GetUserAttrib(top, "Eve"), 0);
  EXPECT_EQ(Channels.GetUserAttrib(top, "Max"), 70001 & 0xFFFF);
  EXPECT_EQ(Channels.GetUserAttrib(top, "Bobby"), 0);
}

TEST_F(ChannelsTest, PlayerCountsAndClearChannelUpForOneChannel) {
  const int32_t reg = Add("Registered", CHANNEL_SUBCHANNELS);
  const int32_t temp = Add("Temp", CHANNEL_UNREGISTERED | CHANNEL_SUBCHANNELS);
  const int32_t tempSub = Add("TempSub", CHANNEL_UNREGISTERED, temp);
  const int32_t tempSub2 = Add("TempSub2", CHANNEL_UNREGISTERED, temp);
  AddPlayer(Players, tempSub);
  AddPlayer(Players, tempSub);

  EXPECT_EQ(GetPlayersInChannel(Players, tempSub), 2);
  EXPECT_EQ(GetPlayersInChannel(Players, temp), 0);
  EXPECT_EQ(CheckChannelTreeForPlayers(Channels, Players, temp), CHANNELERR_HAS_PLAYERS);
  EXPECT_EQ(CheckChannelTreeForPlayers(Channels, Players, tempSub2), 0);
  EXPECT_EQ(CheckChannelTreeForPlayers(Channels, Players, 99), 0);

  ClearChannelUp(Channels, Players, temp, 7, Recorder());      // a player in a sub-channel
  ClearChannelUp(Channels, Players, tempSub2, 7, Recorder());  // sub-channels go with the parent
  ClearChannelUp(Channels, Players, reg, 7, Recorder());       // registered
  ClearChannelUp(Channels, Players, 99, 7, Recorder());
  EXPECT_TRUE(Announced.empty());
  EXPECT_EQ(Channels.Count(), 4u);

  Players.clear();
  ClearChannelUp(Channels, Players, temp, 7, Recorder());
  EXPECT_EQ(Announced, (TAnnounced{{tempSub2, 7}, {tempSub, 7}, {temp, 7}}));
  EXPECT_EQ(Channels.Count(), 1u);
}

TEST_F(ChannelsTest, ClearChannelUpSweepsFromTheEnd) {
  const int32_t a = Add("A", CHANNEL_UNREGISTERED);
  const int32_t busy = Add("Busy", CHANNEL_UNREGISTERED | CHANNEL_SUBCHANNELS);
  const int32_t busySub = Add("BusySub", CHANNEL_UNREGISTERED, busy);
  const int32_t def = Add("Def", CHANNEL_UNREGISTERED | CHANNEL_DEFAULT);
  const int32_t reg = Add("Reg");
  const int32_t b = Add("B", CHANNEL_UNREGISTERED | CHANNEL_SUBCHANNELS);
  const int32_t bSub = Add("BSub", CHANNEL_UNREGISTERED, b);
  AddPlayer(Players, busySub);
  AddPlayer(Players, 1234);  // a player whose channel is gone changes nothing

  ClearChannelUp(Channels, Players, -1, 7, Recorder());
  EXPECT_EQ(Announced, (TAnnounced{{bSub, 0}, {b, 0}, {a, 0}}));
  std::vector<int32_t> left;
  for (const auto& rec : Channels.Channels()) left.push_back(rec->ChannelID);
  EXPECT_EQ(left, (std::vector<int32_t>{busy, busySub, def, reg}));
}

TEST_F(ChannelsTest, ClearChannelUpSweepStopsAfter1001Passes) {
  for (int i = 0; i < 1100; ++i) ASSERT_EQ(Add("T" + std::to_string(i), CHANNEL_UNREGISTERED), i);
  ClearChannelUp(Channels, Players, -1, 0, Recorder());
  ASSERT_EQ(Announced.size(), 1001u);
  EXPECT_EQ(Announced.front().first, 1099);
  EXPECT_EQ(Announced.back().first, 99);
  EXPECT_EQ(Channels.Count(), 99u);
}

TEST_F(ChannelsTest, ClearChannelUpLogsAFaultAndStops) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vx_chan_log_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  CreateLogFile((dir / "server.log").string(), (dir / "server.ini").string());

  Add("A", CHANNEL_UNREGISTERED);
  Add("B", CHANNEL_UNREGISTERED);
  int calls = 0;
  ClearChannelUp(Channels, Players, -1, 0, [&](int32_t, uint32_t) {
    ++calls;
    throw std::runtime_error("send failed");
  });
  ReleaseLogFile();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(Channels.Count(), 1u) << "the sweep ends at the fault";

  std::ifstream in(dir / "server.log");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("UDP Listener,\tClearChannelUp Exception: send failed"),
            std::string::npos)
      << text.str();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vx
