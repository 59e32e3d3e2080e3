// Account changes are confirmed only once they are on disk: a save that
// fails is reported as a failure by the query port, the web interface and
// the UDP registration, and the protocol threads never wait for the disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "CommandsFixture.h"
#include "QueryClient.h"
#include "WebInterfaceClient.h"
#include "admin/tcpquery_u.h"
#include "admin/webinterface_u.h"
#include "host/zevevira_writer_u.h"

namespace vx::testing {
namespace {

namespace fs = std::filesystem;

class PersistenceTest : public CommandsFixture {
 protected:
  // The database lives in a folder of its own, which a test can take away.
  void SetUp() override {
    CommandsFixture::SetUp();
    Manager.SetDatabase(nullptr);
    fs::create_directories(Dir / "data");
    ProcessSettings().DatabasePath = (Dir / "data" / "server.db").string();
    OpenDatabase();
  }

  // The folder becomes a file: no save can create its temporary file there,
  // not even as root.
  void BreakDataFolder() {
    fs::rename(Dir / "data", Dir / "data.away");
    std::ofstream(Dir / "data") << "not a folder";
  }
  void RepairDataFolder() {
    fs::remove(Dir / "data");
    fs::rename(Dir / "data.away", Dir / "data");
  }

  // The account as the file holds it; null when it is not there.
  std::unique_ptr<TClientObject> OnDisk(const std::string& login) {
    TZeveVira disk;
    disk.SetFileName(ProcessSettings().DatabasePath);
    disk.SetOpenFlag(TFBOpenFlag::ReadOnly);
    disk.SetActive(true);
    return TZeveViraUsers(disk).GetUser(Section, login, false);
  }

  static void Register(client::TClient& c, const std::string& login) {
    Send(c, cmd::CMD_cs_PlayerRegister,
         TPayload(PlayerRegisterSize).Text(24, 29, login).Text(54, 29, "pw"));
  }
  static void AdminRegister(client::TClient& c, const std::string& login) {
    Send(c, cmd::CMD_cs_PlayerAdminRegister,
         TPayload(PlayerAdminRegisterSize).Text(24, 29, login).Text(54, 29, "pw"));
  }
};

TEST_F(PersistenceTest, AFailedSaveIsReportedByEveryPathThatChangesAccounts) {
  CaptureLog();
  Setting("ServerFlags", SERVERFLAG_ANYONE_REGISTERS | SERVERFLAG_ANYONE_CREATES_CHANNELS);
  Start();
  AddAccount("boss", "Secret", SERVERPRIV_ADMIN | 8);
  AddAccount("kept", "pw");
  client::TClient& anna = Enter("anna");
  client::TClient& boss = Enter("boss", "boss", "Secret");

  TTCPQuery query(Manager);
  ASSERT_TRUE(query.Start(0, "127.0.0.1"));
  TQueryClient q(query.Port());
  ASSERT_TRUE(q.Greeted());
  ASSERT_EQ(q.Ask("login boss Secret"), Lines{"OK"});
  ASSERT_EQ(q.Ask("sel " + std::to_string(Port)), Lines{"OK"});

  fs::create_directories(Dir / "httpdocs");
  std::ofstream(Dir / "httpdocs" / "login.html") << "LOGIN";
  TWebInterface web(Manager);
  ASSERT_TRUE(web.Start(0, (Dir / "httpdocs").string(), "127.0.0.1"));
  TWebClient w(web.BoundPort());
  w.Get("/login.html");
  ASSERT_EQ(
      w.Post("/LOGIN.VXCMD", "username=boss&password=Secret&serverport=" + std::to_string(Port))
          .Header("Location"),
      "index.html");
  const auto notSaved = [](const std::string& login) {
    return "error_box.html?error_title=error%20occured&error_text=user%20" + login +
           "%20not%20changed%2C%20the%20database%20could%20not%20be%20saved&error_url=index.html";
  };

  BreakDataFolder();
  const Lines unsaved{"ERROR, unable to save user"};
  EXPECT_EQ(q.Ask("adduser ann pw 0 0"), unsaved);
  EXPECT_EQ(q.Ask("changeuserpw kept new new"), unsaved);
  EXPECT_EQ(q.Ask("changeuserrights kept 1 1"), unsaved);
  EXPECT_EQ(q.Ask("deluser kept"), unsaved);
  EXPECT_EQ(w.Post("/ADD_CLIENT.VXCMD", "CLIENTLOGINNAME=web&CLIENTPW1=pw&CLIENTPW2=pw")
                .Header("Location"),
            notSaved("web"));
  EXPECT_EQ(w.Post("/EDIT_CLIENT.VXCMD", "CLIENT=kept&CLIENTPW1=x&CLIENTPW2=x&CLIENTSERVERADMIN=1")
                .Header("Location"),
            notSaved("kept"));
  w.Get("/ASK_DELETE_CLIENT.VXCMD?CLIENT=kept");
  EXPECT_EQ(w.Get("/DELETE_CLIENT.VXCMD").Header("Location"), notSaved("kept"));
  Register(anna, "anna");
  EXPECT_EQ(AwaitError(anna, cmd::CMD_cs_PlayerRegister), REGISTERERR_ADD_FAILED);
  AdminRegister(boss, "viaudp");
  EXPECT_EQ(AwaitError(boss, cmd::CMD_cs_PlayerAdminRegister), REGISTERERR_ADD_FAILED);
  EXPECT_EQ(Player(anna).Priviliges & SERVERPRIV_REGISTERED, 0);
  const std::string log = LogText();
  EXPECT_NE(
      log.find("database not saved: cannot create " + ProcessSettings().DatabasePath + ".tmp"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find(": Not a directory"), std::string::npos);

  // Every change that was not saved was undone: each can be made again.
  RepairDataFolder();
  TZeveViraUsers users(*Manager.Database());
  for (const char* login : {"ann", "web", "viaudp", "anna"})
    EXPECT_FALSE(users.GetUser(Section, login, false)) << login;
  const auto kept = users.GetUser(Section, "kept", false);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->LogInPassWord, "pw");
  EXPECT_EQ(kept->Priviliges, 0);
  EXPECT_EQ(q.Ask("adduser ann pw 0 0"), Lines{"OK"});
  EXPECT_EQ(q.Ask("changeuserpw kept new new"), Lines{"OK"});
  Register(anna, "anna");
  EXPECT_TRUE(Await(anna, cmd::CMD_sc_NotifyPlayerPrivilegesChanged));
  EXPECT_NE(Player(anna).Priviliges & SERVERPRIV_REGISTERED, 0);
  EXPECT_TRUE(OnDisk("ann"));
  EXPECT_TRUE(OnDisk("anna"));
  EXPECT_EQ(OnDisk("kept")->LogInPassWord, "new");
}

TEST_F(PersistenceTest, RegistrationIsAnsweredOnceOnDiskWithoutStallingTheServer) {
  Start();
  client::TClient& boss = EnterAdmin("boss");
  // A slow disk: the writer is held in a save until the test lets it go.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  struct TLetGo {
    std::promise<void>& Release;
    ~TLetGo() {
      try {
        Release.set_value();
      } catch (const std::future_error&) {
      }
    }
  } letGo{release};
  Manager.Database()->Writer().Submit([released](const TSaveResult&) { released.wait(); });

  AdminRegister(boss, "newbie");
  // A later command of the same player is handled while the save waits.
  Send(boss, cmd::CMD_cs_PlayerFlagsChanged, TPayload(28).U32(24, PLAYERFLAG_KEEPINTREE));
  EXPECT_TRUE(Await(boss, cmd::CMD_sc_NotifyPlayerFlagsChanged));
  EXPECT_FALSE(boss.Session().TakeCommand(cmd::CMD_sc_PlayerAdminRegisteredOK));
  EXPECT_FALSE(OnDisk("newbie"));

  release.set_value();
  EXPECT_TRUE(Await(boss, cmd::CMD_sc_PlayerAdminRegisteredOK));
  EXPECT_TRUE(OnDisk("newbie"));

  // A long hold of the database's lock (a large image being taken) does not
  // hold up the server either: the account is added on the writer's thread.
  {
    TLockGuard database(Manager.Database()->Mutex());
    AdminRegister(boss, "later");
    Send(boss, cmd::CMD_cs_PlayerFlagsChanged, TPayload(28).U32(24, 0));
    EXPECT_TRUE(Await(boss, cmd::CMD_sc_NotifyPlayerFlagsChanged));
  }
  EXPECT_TRUE(Await(boss, cmd::CMD_sc_PlayerAdminRegisteredOK));
  EXPECT_TRUE(OnDisk("later"));
}

}  // namespace
}  // namespace vx::testing
