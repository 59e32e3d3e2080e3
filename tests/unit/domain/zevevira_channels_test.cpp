#include "domain/zevevira_channels_u.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/ZeveVira.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

const std::string Key = "server_cfg Test";
const std::string Base = "\\Servers\\server_cfg Test\\Channels\\";

std::unique_ptr<TChannelRec> Channel(const std::string& name, uint16_t flags, int32_t parent = -1) {
  auto rec = std::make_unique<TChannelRec>();
  rec->Name = name;
  rec->Flags = flags;
  rec->Parent = parent;
  rec->MaxUsers = 20;
  return rec;
}

std::vector<std::string> Names(const std::vector<TChannelRec*>& list) {
  std::vector<std::string> names;
  for (const TChannelRec* rec : list) names.push_back(rec->Name);
  return names;
}

class ZeveViraChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("vx_channels_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    File = Dir / "server.db";
    Open(Db);
  }
  void TearDown() override {
    Db.SetActive(false);
    fs::remove_all(Dir);
  }
  void Open(TZeveVira& db, TFBOpenFlag flag = TFBOpenFlag::ReadWrite) {
    db.SetFileName(File.string());
    db.SetOpenFlag(flag);
    db.SetActive(true);
    ASSERT_TRUE(db.Active());
  }
  int32_t Add(const std::string& name, uint16_t flags, int32_t parent = -1) {
    return Channels.AddChannel(Channel(name, flags, parent));
  }
  // Stored channel i as "name/parent", read from the file on disk.
  std::vector<std::string> StoredOnDisk() {
    TZeveVira disk;
    Open(disk);
    std::vector<std::string> stored;
    for (int i = 0; disk.GetEntry(Base + std::to_string(i), FBT_NODE) != nullptr; ++i) {
      const std::string key = Base + std::to_string(i) + "\\";
      stored.push_back(disk.ReadString(key + "Name", "?") + "/" +
                       std::to_string(disk.ReadInteger(key + "Parent", -99)));
    }
    return stored;
  }
  void Store(int index, const std::string& name, uint16_t flags, int32_t parent) {
    const std::string key = Base + std::to_string(index) + "\\";
    Db.WriteString(key + "Name", name);
    Db.WriteInteger(key + "Flags", flags);
    Db.WriteInteger(key + "Parent", parent);
  }

  fs::path Dir, File;
  TZeveVira Db;
  TManualClock Clock{TDateTime{45000.25}};
  TClockOverride ClockGuard{Clock};
  TChannels Channels{Key};
};

TEST_F(ZeveViraChannelsTest, EmptyDatabaseYieldsDefaultChannelStoredAsIndex0) {
  Channels.SetDefaultCodec(CODEC_GSM164);
  EXPECT_TRUE(LoadChannels(Channels, Db));
  ASSERT_EQ(Channels.Count(), 1u);
  const TChannelRec& def = *Channels.Channels()[0];
  EXPECT_EQ(def.ChannelID, 0);
  EXPECT_EQ(def.Name, "Default");
  EXPECT_EQ(def.Flags, CHANNEL_DEFAULT);
  EXPECT_EQ(def.MaxUsers, 32000);

  Clock.AdvanceMs(60000);
  EXPECT_TRUE(SaveChannels(Channels, Db));
  EXPECT_EQ(StoredOnDisk(), std::vector<std::string>{"Default/-1"}) << "flushed to the file";
  EXPECT_EQ(Db.ReadInteger(Base + "0\\Codec", -1), CODEC_GSM164);
  EXPECT_EQ(Db.ReadInteger(Base + "0\\MaxUsers", -1), 32000);
  EXPECT_EQ(double(Db.ReadFloat(Base + "0\\Created", 0)), Clock.Now().Value);
  EXPECT_EQ(Db.GetEntry(Base + "0\\LastChanged", FBT_FLOAT), nullptr);
}

TEST_F(ZeveViraChannelsTest, SaveOrderParentsAndRestart) {
  const int32_t b = Add("Bravo", CHANNEL_SUBCHANNELS);
  Add("Sub", 0, b);
  Add("temp", CHANNEL_UNREGISTERED);
  const int32_t a = Add("alpha", CHANNEL_DEFAULT | CHANNEL_SUBCHANNELS);
  Channels.SetUserAttrib(a, "bob", 0x8001);
  Channels.SetUserAttrib(a, "eve", 2);
  Channels.GetChannelByID(a)->Password = "pw";
  ASSERT_TRUE(SaveChannels(Channels, Db));
  EXPECT_EQ(StoredOnDisk(), (std::vector<std::string>{"alpha/-1", "Bravo/-1", "Sub/1"}));
  EXPECT_EQ(Db.ReadString(Base + "0\\_UserAttribs_\\1", ""), "eve=2");
  EXPECT_EQ(Db.ReadString(Base + "0\\Password", ""), "pw");

  Clock.AdvanceMs(3600000);
  TChannels restarted(Key);
  ASSERT_TRUE(LoadChannels(restarted, Db));
  ASSERT_EQ(restarted.Count(), 3u);
  for (int32_t id = 0; id < 3; ++id) EXPECT_EQ(restarted.Channels()[id]->ChannelID, id);
  const TChannelRec& alpha = *restarted.GetChannelByID(0);
  EXPECT_EQ(alpha.Flags, CHANNEL_DEFAULT | CHANNEL_SUBCHANNELS | CHANNEL_PASSWORD);
  EXPECT_EQ(alpha.UserAttribs, (std::vector<std::string>{"bob=32769", "eve=2"}));
  EXPECT_EQ(alpha.Created, Clock.Now()) << "times are those of the load";
  EXPECT_EQ(alpha.LastChanged, Clock.Now());
  EXPECT_EQ(restarted.GetChannelByID(2)->Parent, 1);
  EXPECT_EQ(restarted.GetUserAttrib(0, "BOB"), 0x8001);
}

TEST_F(ZeveViraChannelsTest, LoadDefaultsCutsAndRangeFaults) {
  const std::string key0 = Base + "0\\";
  Db.CreateKey(Base + "0");  // nothing but the key
  Db.CreateKey(Base + "1");
  Db.WriteInteger(Base + "1\\Parent", -1);
  Db.WriteInteger(Base + "1\\Flags", 0x12348);
  Db.WriteString(Base + "1\\Name", std::string(40, 'x'));
  Db.WriteString(Base + "1\\Description", std::string(140, 'd'));
  Db.WriteString(Base + "1\\_UserAttribs_\\0", "bob=1");
  Db.WriteString(Base + "1\\_UserAttribs_\\2", "lost=1");  // after a gap
  Db.CreateKey(Base + "3");                                // after a gap: never read
  Db.WriteInteger(Base + "3\\Parent", -1);

  EXPECT_TRUE(LoadChannels(Channels, Db));
  // Index 0 has Parent 0 by default: its own index, which has no id yet.
  ASSERT_EQ(Channels.Count(), 1u);
  const TChannelRec& rec = *Channels.Channels()[0];
  EXPECT_EQ(rec.ChannelID, 0);
  EXPECT_EQ(rec.Flags, 0x2348 | CHANNEL_DEFAULT);  // the only one, so the default
  EXPECT_EQ(rec.MaxUsers, 2500);
  EXPECT_EQ(rec.Name, std::string(29, 'x'));
  EXPECT_EQ(rec.Topic, "***ERROR***");
  EXPECT_EQ(rec.Description, std::string(99, 'd'));
  EXPECT_EQ(rec.UserAttribs, std::vector<std::string>{"bob=1"});

  // A value outside its 16-bit field ends the load; what was added stays.
  Db.WriteInteger(Base + "0\\Parent", -1);
  Db.WriteInteger(Base + "1\\Order", 70000);
  TChannels second(Key);
  EXPECT_FALSE(LoadChannels(second, Db));
  ASSERT_EQ(second.Count(), 1u);
  EXPECT_EQ(second.Channels()[0]->Name, "***ERROR***");

  // At the first stored channel: no channel at all, not even the default.
  Db.WriteInteger(Base + "0\\Codec", -1);
  TChannels third(Key);
  EXPECT_FALSE(LoadChannels(third, Db));
  EXPECT_EQ(third.Count(), 0u);
}

TEST_F(ZeveViraChannelsTest, RefusedStoredChannelDoesNotReparentLaterOnes) {
  Store(0, "Alpha", 0, -1);
  Store(1, "Refused", CHANNEL_SUBCHANNELS, 0);  // refused: Alpha has no sub-channels
  Store(2, "Bravo", CHANNEL_SUBCHANNELS, -1);   // gets id 1
  Store(3, "BravoSub", 0, 2);                   // below Bravo, not below id 2
  Store(4, "Orphan", 0, 1);                     // its parent was refused
  Store(5, "Forward", 0, 6);                    // a parent not loaded yet
  Store(6, "Charlie", CHANNEL_SUBCHANNELS, -1);

  EXPECT_TRUE(LoadChannels(Channels, Db));
  std::vector<std::string> loaded;
  for (const auto& rec : Channels.Channels())
    loaded.push_back(rec->Name + "/" + std::to_string(rec->Parent));
  EXPECT_EQ(loaded, (std::vector<std::string>{"Alpha/-1", "Bravo/-1", "BravoSub/1", "Charlie/-1"}));
}

TEST_F(ZeveViraChannelsTest, EqualSortKeysAreAllStoredInListOrder) {
  const int32_t a = Add("A", CHANNEL_SUBCHANNELS);
  Add("A B", 0);
  Add("B", 0, a);  // key "A B", like the top-level channel before it
  Add("zulu", 0);
  Channels.GetChannelByID(Add("other", 0))->Name = "ZULU";  // renamed onto an existing name
  EXPECT_EQ(Names(GetSortedList(Channels)),
            (std::vector<std::string>{"A", "A B", "B", "zulu", "ZULU"}));

  ASSERT_TRUE(SaveChannels(Channels, Db));
  EXPECT_EQ(StoredOnDisk(),
            (std::vector<std::string>{"A/-1", "A B/-1", "B/0", "zulu/-1", "ZULU/-1"}));

  // Names made equal by renaming survive the restart, sub-channels too.
  TChannels restarted(Key);
  ASSERT_TRUE(LoadChannels(restarted, Db));
  EXPECT_EQ(Names(GetSortedList(restarted)),
            (std::vector<std::string>{"A", "A B", "B", "zulu", "ZULU"}));
  const int32_t b2 = restarted.AddChannel(Channel("C", 0, 0));
  ASSERT_GE(b2, 0);
  restarted.GetChannelByID(b2)->Name = "b";
  EXPECT_EQ(restarted.AddChannel(Channel("zulu", 0)), CHANNELERR_NAME_EXISTS)
      << "a new channel still needs a name of its own";
  ASSERT_TRUE(SaveChannels(restarted, Db));
  TChannels again(Key);
  ASSERT_TRUE(LoadChannels(again, Db));
  EXPECT_EQ(Names(GetSortedList(again)),
            (std::vector<std::string>{"A", "A B", "B", "b", "zulu", "ZULU"}));
}

// The default flag may sit on a temporary channel, which is not stored: the
// next start makes the first stored top-level channel the default.
TEST_F(ZeveViraChannelsTest, DefaultOnATemporaryChannelIsNotLostAtTheRestart) {
  const int32_t first = Add("first", CHANNEL_SUBCHANNELS);
  Add("sub", 0, first);
  Add("second", 0);
  const int32_t temp = Add("temp", CHANNEL_UNREGISTERED | CHANNEL_DEFAULT);
  ASSERT_EQ(Channels.GetDefaultChannelID(), temp);
  ASSERT_TRUE(SaveChannels(Channels, Db));

  TChannels restarted(Key);
  ASSERT_TRUE(LoadChannels(restarted, Db));
  ASSERT_EQ(restarted.Count(), 3u);
  const TChannelRec* byDefault = restarted.GetChannelByID(restarted.GetDefaultChannelID());
  ASSERT_NE(byDefault, nullptr);
  EXPECT_EQ(byDefault->Name, "first");
  int defaults = 0;
  for (const auto& rec : restarted.Channels()) defaults += (rec->Flags & CHANNEL_DEFAULT) != 0;
  EXPECT_EQ(defaults, 1);

  // A stored default stays where it is.
  TChannels again(Key);
  Store(0, "first", CHANNEL_SUBCHANNELS, -1);
  Store(1, "second", CHANNEL_DEFAULT, -1);
  Db.DeleteEntry(Db.GetEntry(Base + "2", FBT_NODE));
  ASSERT_TRUE(LoadChannels(again, Db));
  EXPECT_EQ(again.GetChannelByID(again.GetDefaultChannelID())->Name, "second");
}

TEST_F(ZeveViraChannelsTest, RegisteredSubChannelOfTemporaryParentIsNotStored) {
  const int32_t temp = Add("Temp", CHANNEL_UNREGISTERED | CHANNEL_SUBCHANNELS);
  const int32_t sub = Add("Sub", 0, temp);
  Channels.GetChannelByID(sub)->Flags &= uint16_t(~CHANNEL_UNREGISTERED);  // made registered later
  const int32_t reg = Add("Reg", CHANNEL_SUBCHANNELS);
  Add("RegSub", 0, reg);
  ASSERT_TRUE(SaveChannels(Channels, Db));
  EXPECT_EQ(StoredOnDisk(), (std::vector<std::string>{"Reg/-1", "RegSub/0"}));
}

TEST_F(ZeveViraChannelsTest, SaveGuardsAndWritesTheWholeSetOnce) {
  Store(0, "Old", 0, -1);
  Db.Flush();
  EXPECT_TRUE(SaveChannels(Channels, Db)) << "an empty list";
  EXPECT_EQ(StoredOnDisk(), std::vector<std::string>{"Old/-1"});

  Add("One", 0);
  Add("Two", 0);
  EXPECT_FALSE(SaveChannels(Channels, Db, "bad\\key"));
  EXPECT_EQ(StoredOnDisk(), std::vector<std::string>{"Old/-1"});

  // One save for the whole set, so that a kill leaves the old set or the
  // new one: a read-only database reports every save through OnError.
  Db.SetActive(false);
  TZeveVira readOnly;
  Open(readOnly, TFBOpenFlag::ReadOnly);
  int saves = 0;
  readOnly.OnError = [&](TZeveVira&, int code) { saves += code == 4 ? 1 : 0; };
  TSaveResult outcome{true, {}};
  EXPECT_TRUE(SaveChannels(Channels, readOnly, Key, [&](const TSaveResult& r) { outcome = r; }));
  EXPECT_EQ(saves, 1);
  EXPECT_FALSE(outcome.Saved);
  EXPECT_EQ(StoredOnDisk(), std::vector<std::string>{"Old/-1"});
  readOnly.OnError = nullptr;
  readOnly.SetActive(false);

  TZeveVira closed;
  EXPECT_FALSE(SaveChannels(Channels, closed));
  Open(Db);
}

}  // namespace
}  // namespace vx
