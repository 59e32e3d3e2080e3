#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "admin/administration_u.h"
#include "domain/zevevira_users_u.h"
#include "host/CommandLine.h"
#include "host/IniFile.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "server/serverobject_u.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx {
namespace {

// A UDP port that nothing on this machine uses right now.
int32_t FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Whether a UDP socket can be bound to the port on every address.
bool PortIsFree(int32_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return free;
}

int32_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

class ServerManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    Dir = std::filesystem::temp_directory_path() / ("vx-manager-" + std::to_string(rd()));
    std::filesystem::create_directories(Dir);
    ProcessSettings() = TCommandLine{};
    ProcessSettings().IniPath = (Dir / "server.ini").string();
    auto db = std::make_unique<TZeveVira>();
    db->SetFileName((Dir / "server.db").string());
    db->SetActive(true);
    Manager.SetDatabase(std::move(db));
    Ini = std::make_unique<TIniFile>(ProcessSettings().IniPath);
  }
  void TearDown() override {
    Manager.StopServers("");
    Manager.SetDatabase(nullptr);
    ProcessSettings() = TCommandLine{};
    std::filesystem::remove_all(Dir);
  }
  std::shared_ptr<TServerObject> StartServer(const std::string& section, int32_t port = -1) {
    auto server = std::make_shared<TServerObject>(Manager);
    if (!server->Start(section, port, Ini.get())) return nullptr;
    return server;
  }
  std::string Slurp(const std::string& name) {
    std::ifstream in(Dir / name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::filesystem::path Dir;
  TServerManager Manager;
  std::unique_ptr<TIniFile> Ini;
};

TEST_F(ServerManagerTest, EmptySectionStartsWithDefaultsAndIsWrittenInFull) {
  // The defaults of a section without keys.
  TServerObject fresh(Manager);
  fresh.ConfigName = "server_cfg Default";
  ASSERT_TRUE(fresh.LoadSettings(*Ini, -1));
  EXPECT_EQ(fresh.Settings()->ServerName, "Vorlantix Server");
  EXPECT_EQ(fresh.Settings()->ServerUDPPort, 8767);
  EXPECT_EQ(fresh.Settings()->ServerMaxUsers, 12);
  EXPECT_EQ(fresh.Settings()->ServerType, 1);
  EXPECT_EQ(fresh.Settings()->ServerFlags, 2);
  EXPECT_EQ(fresh.Settings()->SectionName, "server_cfg Default");
  EXPECT_EQ(fresh.Settings()->ServerPlatform, "Linux");
  EXPECT_EQ(fresh.NextPlayerID, 1);
  EXPECT_EQ(fresh.DefaultCodec(), 3);

  // Started with a given port, which wins over the default for a new section.
  const int32_t port = FreeUdpPort();
  auto server = StartServer("server_cfg Default", port);
  ASSERT_TRUE(server);
  EXPECT_EQ(server->Settings()->ServerUDPPort, port);
  EXPECT_EQ(server->Settings()->ServerType, 0x05) << "0x04 is set while running";

  TIniFile check(ProcessSettings().IniPath);
  ASSERT_TRUE(check.Load());
  const std::vector<std::string> keys = check.ReadSection("server_cfg Default");
  const std::vector<std::string> expected = {
      "ServerName",       "ServerType",       "ServerWelcomeMessage", "ServerMaxUsers",
      "ServerUDPPort",    "ServerPassword",   "ServerFlags",          "AllowCodecCelp51",
      "AllowCodecCelp63", "AllowCodecGSM148", "AllowCodecGSM164",     "AllowCodecWindowsCELP52",
      "WebPost_LinkURL"};
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(check.ReadString("server_cfg Default", "ServerType", ""), "1")
      << "the file keeps the type as read";
  EXPECT_EQ(check.ReadString("server_cfg Default", "ServerWelcomeMessage", ""),
            "[Welcome to Vorlantix, check https://vorlantix.org/]")
      << "players are sent to the project, not to the administration port";

  // A second server on the same port cannot take it.
  auto clash = std::make_shared<TServerObject>(Manager);
  EXPECT_FALSE(clash->Start("clash", port, Ini.get()));
  EXPECT_EQ(Manager.FindServerByName("clash"), nullptr);
}

TEST_F(ServerManagerTest, SettingsAreReadCutAndCheckedFromTheSection) {
  Ini->WriteString("s", "ServerName", std::string(40, 'n'));
  Ini->WriteInteger("s", "ServerType", 9);
  const int32_t port = FreeUdpPort();
  Ini->WriteInteger("s", "ServerUDPPort", port);
  Ini->WriteString("s", "ServerPassword", "secret");
  Ini->WriteBool("s", "AllowCodecCelp51", false);
  Ini->WriteBool("s", "AllowCodecCelp63", false);
  Ini->WriteBool("s", "AllowCodecGSM164", false);
  Ini->WriteBool("s", "AllowCodecWindowsCELP52", false);
  auto server = StartServer("s");
  ASSERT_TRUE(server);
  EXPECT_EQ(server->Settings()->ServerName, std::string(29, 'n'));
  EXPECT_EQ(server->Settings()->ServerType, 0x05) << "0x08 cleared, 0x04 set";
  EXPECT_EQ(server->Settings()->ServerUDPPort, port);
  EXPECT_EQ(server->Settings()->ServerPassword, "secret");
  EXPECT_EQ(server->DefaultCodec(), 2) << "only GSM 14.8 permitted";
  TIniFile check(ProcessSettings().IniPath);
  ASSERT_TRUE(check.Load());
  EXPECT_EQ(check.ReadString("s", "ServerName", ""), std::string(29, 'n')) << "written back cut";
  EXPECT_EQ(check.ReadInteger("s", "ServerType", 0), 9);

  server->EditSettings([&](TServerSettings& s) { s.AllowCodecGSM148 = false; });
  EXPECT_EQ(server->DefaultCodec(), -1) << "none permitted";
}

TEST_F(ServerManagerTest, MaxUsersOutOfRangeFailsOnlyThatServer) {
  const std::string log = (Dir / "server.log").string();
  CreateLogFile(log, ProcessSettings().IniPath);
  Ini = std::make_unique<TIniFile>(ProcessSettings().IniPath);
  ASSERT_TRUE(Ini->Load());
  Ini->WriteInteger("big", "ServerMaxUsers", 70000);
  Ini->WriteInteger("neg", "ServerMaxUsers", -1);
  Ini->WriteInteger("ok", "ServerMaxUsers", 65535);
  Ini->WriteInteger("ok", "ServerUDPPort", FreeUdpPort());
  EXPECT_FALSE(StartServer("big"));
  EXPECT_FALSE(StartServer("neg"));
  auto ok = StartServer("ok");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Settings()->ServerMaxUsers, 65535);
  ReleaseLogFile();
  EXPECT_EQ(Manager.FindServerByName("big"), nullptr) << "a failed start stays unregistered";
  EXPECT_EQ(Manager.ServerList().size(), 1u);
  EXPECT_NE(Slurp("server.log")
                .find(",ERROR,All,SERVER,\tserver big: ServerMaxUsers 70000 is out of range"),
            std::string::npos)
      << Slurp("server.log");
}

TEST_F(ServerManagerTest, RegistryFindRestartAndStop) {
  const int32_t portB = FreeUdpPort();
  Ini->WriteInteger("a", "ServerUDPPort", FreeUdpPort());
  Ini->WriteInteger("b", "ServerUDPPort", portB);
  Ini->WriteInteger("c", "ServerUDPPort", FreeUdpPort());
  ASSERT_TRUE(Ini->Save());
  auto a = StartServer("a");
  auto b = StartServer("b");
  auto c = StartServer("c");
  ASSERT_TRUE(a && b && c);

  // One server per section name, compared exactly.
  auto duplicate = std::make_shared<TServerObject>(Manager);
  EXPECT_FALSE(duplicate->Start("a", -1, Ini.get()));
  EXPECT_EQ(Manager.FindServerByName("a"), a);
  EXPECT_EQ(Manager.FindServerByName("A"), nullptr);
  EXPECT_EQ(Manager.FindServerByPort(portB), b);
  EXPECT_EQ(Manager.FindServerByPort(1), nullptr);

  auto names = [&] {
    std::vector<std::string> out;
    for (const auto& [name, server] : Manager.ServerList()) out.push_back(name);
    return out;
  };
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "c"}));

  // A restart re-reads the section and moves the server to the end.
  TIniFile edit(ProcessSettings().IniPath);
  ASSERT_TRUE(edit.Load());
  edit.WriteString("a", "ServerName", "Renamed");
  ASSERT_TRUE(edit.Save());
  const TDateTime startedBefore = a->StartTime;
  Manager.RestartServers("a");
  EXPECT_EQ(names(), (std::vector<std::string>{"b", "c", "a"}));
  EXPECT_EQ(a->Settings()->ServerName, "Renamed");
  EXPECT_GE(a->StartTime.Value, startedBefore.Value);
  Manager.RestartServers("unknown");
  EXPECT_EQ(names(), (std::vector<std::string>{"b", "c", "a"}));
  Manager.RestartServers("");
  EXPECT_EQ(names().size(), 3u) << "every server restarted";

  Manager.StopServers("c");
  EXPECT_EQ(Manager.FindServerByName("c"), nullptr);
  EXPECT_EQ(names().size(), 2u);
  Manager.StopServers("");
  EXPECT_TRUE(Manager.ServerList().empty());
}

TEST_F(ServerManagerTest, AdminPasswordIsSetOrTheAccountCreated) {
  TZeveViraUsers users(*Manager.Database());
  Manager.SetAdminPassword("one", std::string(40, 'p'));
  auto admin = users.GetUser("one", "admin", false);
  ASSERT_TRUE(admin);
  EXPECT_EQ(admin->Priviliges, 9);
  EXPECT_EQ(admin->LogInPassWord, std::string(29, 'p'));
  EXPECT_EQ(admin->NickName, "admin");
  EXPECT_EQ(admin->RegisteredBy, "Server");

  admin->Priviliges = 0;
  admin->NickName = "boss";
  ASSERT_TRUE(users.StoreUser("one", *admin));
  Manager.SetAdminPassword("one", "newpw");
  admin = users.GetUser("one", "admin", false);
  EXPECT_EQ(admin->Priviliges, 9);
  EXPECT_EQ(admin->LogInPassWord, "newpw");
  EXPECT_EQ(admin->NickName, "boss") << "an existing account keeps its other values";
}

TEST(RandomPassword, UsesTheAlphabetAndDiffers) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz1234567890";
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string pw = RandomPassword(5);
    ASSERT_EQ(pw.size(), 5u);
    for (char c : pw) EXPECT_NE(alphabet.find(c), std::string::npos) << pw;
    seen.insert(pw);
  }
  EXPECT_GT(seen.size(), 15u) << "passwords are not derived from the clock";
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// The whole startup in-process: which administration objects it creates
// follows "Main Config" and "WebPost".
TEST(ServerManagerStartup, CreatesOnlyTheConfiguredInterfaces) {
  std::random_device rd;
  const auto dir = std::filesystem::temp_directory_path() / ("vx-startup-" + std::to_string(rd()));
  std::filesystem::create_directories(dir);
  for (bool enabled : {false, true}) {
    const std::string ini = (dir / "server.ini").string();
    {
      std::ofstream out(ini);
      out << "[Main Config]\nHTTPServer Port=0\nHTTPServer Enabled=1\nTCPQueryPort="
          << (enabled ? FreeTcpPort() : 0) << "\n[WebPost]\nEnabled=" << (enabled ? 1 : 0)
          << "\n[Servers]\n0=s\n[s]\nServerUDPPort=" << FreeUdpPort() << "\n";
    }
    ProcessArguments() = {"-ini=" + ini, "-db=" + (dir / "server.db").string(),
                          "-log=" + (dir / "server.log").string()};
    TServerManager manager;
    manager.ShutdownWaitMs = 0;
    TAdminServices& admin = InstallAdministration(manager);
    ASSERT_TRUE(manager.Startup());
    EXPECT_EQ(admin.WebInterfaceObject(), nullptr) << "port 0 starts no web interface";
    EXPECT_EQ(admin.TCPQueryObject() != nullptr, enabled);
    EXPECT_EQ(admin.WebPostObject() != nullptr, enabled) << "no poster thread when disabled";
    EXPECT_EQ(manager.ServerList().size(), 1u);
    manager.Shutdown();
    EXPECT_EQ(admin.WebPostObject(), nullptr);
    EXPECT_EQ(admin.TCPQueryObject(), nullptr);
    TIniFile check(ini);
    ASSERT_TRUE(check.Load());
    EXPECT_EQ(check.ReadString("Main Config", "HTTPServer Port", ""), "0");
    EXPECT_EQ(check.ReadString("Main Config", "HTTPServer Enabled", ""), "1")
        << "written back unchanged";
  }
  ProcessArguments().clear();
  ProcessSettings() = TCommandLine{};
  std::filesystem::remove_all(dir);
}

TEST(ServerManagerStartup, RemovesTheTemporaryFilesOfUnfinishedSaves) {
  std::random_device rd;
  const auto dir = std::filesystem::temp_directory_path() / ("vx-startup-" + std::to_string(rd()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "server.ini")
      << "[Main Config]\nHTTPServer Enabled=0\nTCPQueryPort=0\n"
      << "[WebPost]\nEnabled=0\n[Servers]\n0=s\n[s]\nServerUDPPort=" << FreeUdpPort() << "\n";
  const std::vector<std::string> stale = {"server.db.tmp4242-7", "server.ini.tmp-Ab12Cd"};
  const std::vector<std::string> kept = {"server.db.tmp", "server.db.bak", "other.db.tmp1-2"};
  for (const auto& name : stale) std::ofstream(dir / name) << "half";
  for (const auto& name : kept) std::ofstream(dir / name) << "mine";
  ProcessArguments() = {"-ini=" + (dir / "server.ini").string(),
                        "-db=" + (dir / "server.db").string(),
                        "-log=" + (dir / "server.log").string()};
  TServerManager manager;
  manager.ShutdownWaitMs = 0;
  ASSERT_TRUE(manager.Startup());
  for (const auto& name : stale) EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
  std::ifstream in(dir / "server.log");
  const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_NE(log.find("removed the temporary file of an unfinished save: " +
                     (dir / "server.db.tmp4242-7").string()),
            std::string::npos)
      << log;
  manager.Shutdown();
  ProcessArguments().clear();
  ProcessSettings() = TCommandLine{};
  std::filesystem::remove_all(dir);
}

// Starting and stopping every server together writes the same server
// sections and stores the same channels as starting and stopping them one
// by one (which saves the configuration file once per server).
TEST(ServerManagerStartup, ManyServersTogetherWriteWhatOneByOneWrites) {
  constexpr int ServerCount = 24;
  std::random_device rd;
  const auto root = std::filesystem::temp_directory_path() / ("vx-many-" + std::to_string(rd()));
  std::string config =
      "[Main Config]\nHTTPServer Enabled=0\nTCPQueryPort=0\n[WebPost]\nEnabled=0\n";
  config += "[Servers]\n";
  for (int i = 0; i < ServerCount; ++i)
    config += std::to_string(i) + "=s" + std::to_string(i) + "\n";
  // Ports below the range the system hands out for port 0, so that no other
  // test running beside this one is given one of them between the check
  // here and the two starts below.
  std::vector<int32_t> ports;
  for (int attempt = 0; attempt < 100 && ports.size() < size_t(ServerCount); ++attempt) {
    ports.clear();
    const int32_t base = 20000 + int32_t(rd() % 12000);
    for (int32_t port = base; port < base + ServerCount && PortIsFree(port); ++port)
      ports.push_back(port);
  }
  ASSERT_EQ(ports.size(), size_t(ServerCount));
  for (int i = 0; i < ServerCount; ++i) {
    config +=
        "[s" + std::to_string(i) + "]\nServerUDPPort=" + std::to_string(ports[size_t(i)]) + "\n";
    if (i % 3 == 0) config += "ServerName=server " + std::to_string(i) + "\nServerMaxUsers=7\n";
  }
  auto prepare = [&](const char* name) {
    const auto dir = root / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "server.ini") << config;
    ProcessSettings() = TCommandLine{};
    ProcessArguments() = {"-ini=" + (dir / "server.ini").string(),
                          "-db=" + (dir / "server.db").string(),
                          "-log=" + (dir / "server.log").string()};
    return dir;
  };
  // What a file holds for each server: its section, and its stored channels.
  auto servers = [&](const std::filesystem::path& dir) {
    TIniFile ini((dir / "server.ini").string());
    EXPECT_TRUE(ini.Load());
    TZeveVira db;
    db.SetFileName((dir / "server.db").string());
    db.SetOpenFlag(TFBOpenFlag::ReadOnly);
    db.SetActive(true);
    std::vector<std::string> out;
    for (int i = 0; i < ServerCount; ++i) {
      const std::string section = "s" + std::to_string(i);
      std::string text = section + ":";
      for (const std::string& key : ini.ReadSection(section))
        text += " " + key + "=" + ini.ReadString(section, key, "");
      text += " | " + db.ReadString("\\Servers\\" + section + "\\Channels\\0\\Name", "-");
      out.push_back(text);
    }
    db.OnError = nullptr;
    return out;
  };

  const auto together = prepare("together");
  {
    TServerManager manager;
    manager.ShutdownWaitMs = 0;
    ASSERT_TRUE(manager.Startup());
    EXPECT_EQ(manager.ServerList().size(), size_t(ServerCount));
    manager.Shutdown();
  }
  const auto oneByOne = prepare("one-by-one");
  {
    TServerManager manager;
    auto db = std::make_unique<TZeveVira>();
    db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
    db->SetFileName((oneByOne / "server.db").string());
    db->SetActive(true);
    manager.SetDatabase(std::move(db));
    ParseCommandLine(ProcessArguments(), ProcessSettings());
    std::vector<std::shared_ptr<TServerObject>> started;
    for (int i = 0; i < ServerCount; ++i) {
      started.push_back(std::make_shared<TServerObject>(manager));
      EXPECT_TRUE(started.back()->Start("s" + std::to_string(i), -1, nullptr));
    }
    for (int i = ServerCount; i-- > 0;) manager.StopServers("s" + std::to_string(i));
    manager.Database()->Writer().Commit();
    manager.SetDatabase(nullptr);
  }
  const auto a = servers(together);
  const auto b = servers(oneByOne);
  EXPECT_EQ(a, b);
  EXPECT_NE(a.front().find("ServerName=server 0"), std::string::npos) << a.front();
  EXPECT_NE(a.front().find("| Default"), std::string::npos) << a.front();
  ProcessArguments().clear();
  ProcessSettings() = TCommandLine{};
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace vx
