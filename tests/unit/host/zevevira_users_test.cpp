#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "domain/zevevira_users_u.h"
#include "host/TimeTools.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"

namespace vx {

// Raised from the database's error handler; lives in vx so that the log shows
// its bare class name.
class EUsersTestDiskTrouble : public Exception {
 public:
  using Exception::Exception;
};

namespace {

namespace fs = std::filesystem;

std::vector<char> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Offset of an entry record's name (its length field followed by the name).
ptrdiff_t NameOffset(const std::vector<char>& file, const std::string& name) {
  std::string pattern(4, '\0');
  pattern[0] = char(name.size());
  pattern += name;
  auto it = std::search(file.begin(), file.end(), pattern.begin(), pattern.end());
  return it == file.end() ? -1 : it - file.begin();
}

TClientObject Account(const std::string& login) {
  TClientObject user;
  user.LogInName = login;
  user.LogInPassWord = "secret";
  user.NickName = "Boss";
  user.Priviliges = 0x8001;
  user.RegisteredBy = "Server";
  user.Logins = 7;
  return user;
}

class ZeveViraUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("vx_users_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    File = Dir / "server.db";
    Open(Db, TFBOpenFlag::ReadWrite);
  }
  void TearDown() override {
    Db.SetActive(false);
    fs::remove_all(Dir);
  }
  void Open(TZeveVira& db, TFBOpenFlag flag) {
    db.SetFileName(File.string());
    db.SetOpenFlag(flag);
    db.SetActive(true);
    ASSERT_TRUE(db.Active());
  }

  fs::path Dir, File;
  TManualClock Clock{TDateTime{45000.25}};
  TClockOverride ClockGuard{Clock};
  TZeveVira Db;
  TZeveViraUsers Users{Db};
};

TEST_F(ZeveViraUsersTest, AddAndStoreStampTimesKeepOrderAndFoldCase) {
  const std::string key = "\\Servers\\S1\\Users\\admin";
  ASSERT_TRUE(Users.AddUser("S1", Account("admin")));
  ASSERT_NE(Db.GetEntry(key, FBT_NODE), nullptr);
  EXPECT_EQ(Db.ReadFloat(key + "\\Created", 0), 45000.25L);
  EXPECT_EQ(Db.GetEntry(key + "\\LastChanged", FBT_FLOAT), nullptr);
  EXPECT_EQ(Db.ReadInteger(key + "\\Priviliges", 0), 0x8001);
  ASSERT_TRUE(fs::exists(File));  // the store flushed

  Clock.Set(TDateTime{45001.5});
  TClientObject changed = Account("admin");
  changed.NickName = std::string(40, 'n');
  changed.Created = TDateTime{1.0};  // the record's own times are never written
  ASSERT_TRUE(Users.StoreUser("S1", changed));
  EXPECT_EQ(Db.ReadFloat(key + "\\Created", 0), 45000.25L);
  EXPECT_EQ(Db.ReadFloat(key + "\\LastChanged", 0), 45001.5L);

  EXPECT_FALSE(Users.AddUser("S1", Account("Admin")));
  EXPECT_FALSE(Users.StoreUser("S1", Account("nobody")));
  EXPECT_FALSE(Users.AddUser("S1", Account("a\\b")));  // must not reach into other keys
  EXPECT_FALSE(Users.AddUser("S1", Account("")));
  EXPECT_EQ(Db.GetEntry("\\Servers\\S1\\Users\\a", FBT_NODE), nullptr);

  auto user = Users.GetUser("S1", "Admin", false);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->LogInName, "admin");  // stored as first added
  EXPECT_EQ(user->LogInPassWord, "secret");
  EXPECT_EQ(user->NickName, std::string(29, 'n'));
  EXPECT_EQ(user->Priviliges, 0x8001);
  EXPECT_EQ(user->RegisteredBy, "Server");
  EXPECT_EQ(user->Logins, 7);
  EXPECT_EQ(user->Created.Value, 45000.25);
  EXPECT_EQ(user->LastChanged.Value, 45001.5);

  // Values written from outside the store: privileges held as 16 bits, an
  // unrepresentable float reads as 0, an over-long text is cut.
  Db.WriteInteger(key + "\\Priviliges", 0x12345);
  Db.WriteFloat(key + "\\Created", std::numeric_limits<long double>::infinity());
  Db.WriteString(key + "\\LogInPassWord", std::string(100, 'p'));
  user = Users.GetUser("S1", "admin", false);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->Priviliges, 0x2345);
  EXPECT_EQ(user->Created.Value, 0.0);
  EXPECT_EQ(user->LogInPassWord, std::string(29, 'p'));

  // Values lie in the file in the order of first creation.
  Db.Flush();
  const std::vector<char> file = ReadFileBytes(File);
  ptrdiff_t previous = NameOffset(file, "admin");
  ASSERT_GE(previous, 0);
  for (const char* name : {"LogInName", "LogInPassWord", "NickName", "Priviliges", "RegisteredBy",
                           "Logins", "Created", "LastChanged"}) {
    const ptrdiff_t offset = NameOffset(file, name);
    EXPECT_GT(offset, previous) << name;
    previous = offset;
  }
}

TEST_F(ZeveViraUsersTest, CountedLoginChangesDatabaseButNotFile) {
  ASSERT_TRUE(Users.AddUser("S1", Account("bob")));
  const std::vector<char> before = ReadFileBytes(File);

  Clock.Set(TDateTime{45002.0});
  auto user = Users.GetUser("S1", "bob", true);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->Logins, 7);               // the count before this login
  EXPECT_EQ(user->LastChanged.Value, 0.0);  // never stored again so far
  EXPECT_EQ(Db.ReadInteger("\\Servers\\S1\\Users\\bob\\Logins", 0), 8);
  EXPECT_EQ(Db.ReadFloat("\\Servers\\S1\\Users\\bob\\LastChanged", 0), 45002.0L);
  EXPECT_EQ(ReadFileBytes(File), before);  // not flushed

  EXPECT_EQ(Users.GetUser("S1", "bob", false)->Logins, 8);
  EXPECT_EQ(Users.GetUser("S1", "carol", true), nullptr);

  // A counter at its largest value stays there.
  Db.WriteInteger("\\Servers\\S1\\Users\\bob\\Logins", std::numeric_limits<int32_t>::max());
  Users.GetUser("S1", "bob", true);
  EXPECT_EQ(Db.ReadInteger("\\Servers\\S1\\Users\\bob\\Logins", 0),
            std::numeric_limits<int32_t>::max());
  Db.WriteInteger("\\Servers\\S1\\Users\\bob\\Logins", 8);

  ASSERT_TRUE(Db.Flush());
  TZeveVira reloaded;
  Open(reloaded, TFBOpenFlag::ReadOnly);
  EXPECT_EQ(reloaded.ReadInteger("\\Servers\\S1\\Users\\bob\\Logins", 0), 8);
}

TEST_F(ZeveViraUsersTest, ListAndDelete) {
  EXPECT_FALSE(Users.ListUsers("S1").has_value());
  Db.CreateKey("\\Servers\\S1\\Users");
  auto list = Users.ListUsers("S1");
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->empty());

  ASSERT_TRUE(Users.AddUser("S1", Account("bob")));
  ASSERT_TRUE(Users.AddUser("S1", Account("alice")));
  ASSERT_TRUE(Users.AddUser("S2", Account("bob")));  // other server, other account
  Db.WriteInteger("\\Servers\\S1\\Users\\stray",
                  1);  // a value is not an account
  EXPECT_EQ(Users.ListUsers("S1"), (std::vector<std::string>{"bob", "alice"}));

  Users.GetUser("S1", "bob", true);  // gives bob a LastChanged value too
  ASSERT_TRUE(Users.DeleteUser("S1", "BOB"));
  EXPECT_FALSE(Users.DeleteUser("S1", "bob"));
  EXPECT_EQ(Users.ListUsers("S1"), (std::vector<std::string>{"alice"}));

  // The file was rewritten at once: a second database sees the deletion.
  TZeveVira reloaded;
  Open(reloaded, TFBOpenFlag::ReadOnly);
  EXPECT_EQ(reloaded.GetEntry("\\Servers\\S1\\Users\\bob", FBT_NODE), nullptr);
  EXPECT_EQ(reloaded.GetEntry("\\Servers\\S1\\Users\\bob\\LastChanged", FBT_FLOAT), nullptr);
  EXPECT_EQ(reloaded.ReadString("\\Servers\\S1\\Users\\bob\\LogInName", "gone"), "gone");
  EXPECT_NE(reloaded.GetEntry("\\Servers\\S1\\Users\\alice", FBT_NODE), nullptr);
  EXPECT_NE(reloaded.GetEntry("\\Servers\\S2\\Users\\bob", FBT_NODE), nullptr);
}

TEST_F(ZeveViraUsersTest, ClosedDatabaseFailsEveryOperation) {
  ASSERT_TRUE(Users.AddUser("S1", Account("bob")));
  Db.SetActive(false);
  EXPECT_FALSE(Users.ListUsers("S1").has_value());
  EXPECT_EQ(Users.GetUser("S1", "bob", true), nullptr);
  EXPECT_FALSE(Users.StoreUser("S1", Account("bob")));
  EXPECT_FALSE(Users.AddUser("S1", Account("eve")));
  EXPECT_FALSE(Users.DeleteUser("S1", "bob"));
}

TEST_F(ZeveViraUsersTest, ExceptionIsLoggedWithItsClassAndFailsTheOperation) {
  CreateLogFile((Dir / "server.log").string(), (Dir / "server.ini").string());
  Db.SetActive(false);
  Open(Db, TFBOpenFlag::ReadOnly);  // every save fails and reports through OnError
  Db.OnError = [](TZeveVira&, int) { throw EUsersTestDiskTrouble("save failed"); };
  EXPECT_FALSE(Users.AddUser("S1", Account("bob")));
  Db.OnError = nullptr;
  ReleaseLogFile();

  std::ifstream in(Dir / "server.log");
  std::string line, found;
  while (std::getline(in, line))
    if (line.find("USERS") != std::string::npos) found = line;
  EXPECT_NE(found.find(",ERROR,"), std::string::npos) << found;
  EXPECT_NE(found.find(",USERS,\tException: EUsersTestDiskTrouble"), std::string::npos) << found;
}

}  // namespace
}  // namespace vx
