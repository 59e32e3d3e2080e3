// End-to-end: what the server manager does to the files of a working folder.
#include <gtest/gtest.h>

#include "ProcessHarness.h"
#include "domain/zevevira_users_u.h"
#include "host/ZeveVira.h"

namespace vx::testing {
namespace {

std::unique_ptr<TClientObject> ReadAccount(const std::string& dbPath, const std::string& server,
                                           const std::string& login) {
  TZeveVira db;
  db.SetFileName(dbPath);
  db.SetOpenFlag(TFBOpenFlag::ReadOnly);
  db.SetActive(true);
  if (!db.Active()) return nullptr;
  auto user = TZeveViraUsers(db).GetUser(server, login, false);
  db.OnError = nullptr;
  return user;
}

TEST(ServerManagerE2E, FreshInstallationCreatesEverything) {
  TScratchDir dir;
  const pid_t pid = StartDaemon(dir.Path, {});
  ASSERT_GT(pid, 0);
  const std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("[Servers]\n0=server_cfg Default\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("[server_cfg Default]\nServerName=Vorlantix Server\n"), std::string::npos);
  EXPECT_NE(ini.find("ServerUDPPort=8767\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir.File("server.db")));

  ASSERT_TRUE(StopDaemon(pid));
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find(",WARNING,Info,SERVER,\tDefault Server created\n"), std::string::npos);
  EXPECT_NE(log.find(",WARNING,Info,SERVER,\tDefault Administrator account created\n"),
            std::string::npos);
  const std::string marker = "LoginName: admin LoginPw: ";
  const size_t at = log.find(marker);
  ASSERT_NE(at, std::string::npos) << log;
  const std::string password =
      log.substr(at + marker.size(), log.find('\n', at) - at - marker.size());
  ASSERT_EQ(password.size(), 16u);
  EXPECT_EQ(password.find_first_not_of("abcdefghijklmnopqrstuvwxyz1234567890"), std::string::npos);
  // Line breaks inside a message never split a log line.
  EXPECT_NE(log.find("\tServer version: 2.0.18.31 Linux  OK\n"), std::string::npos);

  // The shutdown sequence, in order, then the footer.
  const size_t started = log.find("\tServer startup finished\n");
  const size_t initialized = log.find("\tServer shutdown initialized\n");
  const size_t finished = log.find("\tServer shutdown finished\n");
  const size_t footer = log.find("--------------- log ended at ");
  EXPECT_LT(started, initialized);
  EXPECT_LT(initialized, finished);
  EXPECT_LT(finished, footer);
  EXPECT_NE(footer, std::string::npos);

  auto admin = ReadAccount(dir.File("server.db"), "server_cfg Default", "admin");
  ASSERT_TRUE(admin);
  EXPECT_EQ(admin->LogInPassWord, password);
  EXPECT_EQ(admin->Priviliges, 9);
  EXPECT_EQ(admin->RegisteredBy, "Server");
}

TEST(ServerManagerE2E, ConfiguredServersAndAdminPasswordFromTheCommandLine) {
  TScratchDir dir;
  {
    std::ofstream ini(dir.File("server.ini"));
    ini << "[Servers]\n0=alpha\n1=alpha\n2=beta\n4=gamma\n[alpha]\nServerUDPPort=9871\n"
           "[beta]\nServerUDPPort=9873\n[gamma]\nServerUDPPort=9872\n";
  }
  const pid_t pid = StartDaemon(dir.Path, {"-adminpw=  Secret  "});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(StopDaemon(pid));
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_EQ(CountOf(log, "\tStarting server with port: 9871\n"), 1u) << log;
  EXPECT_EQ(CountOf(log, ",ERROR,All,SERVER,\tunable to register server\n"), 1u);
  EXPECT_EQ(CountOf(log, "9872"), 0u) << "numbers after a gap are not read";
  EXPECT_EQ(CountOf(log, "Default Server created"), 0u);

  EXPECT_EQ(CountOf(log, "\tStarting server with port: 9873\n"), 1u);
  for (const char* server : {"alpha", "beta"}) {
    auto admin = ReadAccount(dir.File("server.db"), server, "admin");
    ASSERT_TRUE(admin) << server;
    EXPECT_EQ(admin->LogInPassWord, "Secret") << "trimmed";
    EXPECT_EQ(admin->Priviliges, 9);
  }
  EXPECT_FALSE(ReadAccount(dir.File("server.db"), "gamma", "admin"));
}

TEST(ServerManagerE2E, FreshInstallationTakesTheGivenPassword) {
  TScratchDir dir;
  const pid_t pid = StartDaemon(dir.Path, {"-ADMINPW= my pw "});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(StopDaemon(pid));
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find("\tLoginName: admin LoginPw: my pw\n"), std::string::npos) << log;
  auto admin = ReadAccount(dir.File("server.db"), "server_cfg Default", "admin");
  ASSERT_TRUE(admin);
  EXPECT_EQ(admin->LogInPassWord, "my pw");
}

}  // namespace
}  // namespace vx::testing
