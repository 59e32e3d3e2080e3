// Runs one virtual server in-process on a free UDP port of 127.0.0.1, with
// its own configuration file and database in a scratch folder, for tests
// that talk to it with the protocol client.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/Client.h"
#include "host/CommandLine.h"
#include "host/IniFile.h"
#include "host/ZeveVira.h"
#include "host/serverobject_u.h"
#include "host/zevevira_users_u.h"
#include "transport/PacketBuffers.h"

namespace vx::testing {

inline int32_t FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

class ServerFixture : public ::testing::Test {
 protected:
  static constexpr const char* Section = "server_cfg Test";

  void SetUp() override {
    std::random_device rd;
    Dir = std::filesystem::temp_directory_path() / ("vx-server-" + std::to_string(rd()));
    std::filesystem::create_directories(Dir);
    ProcessSettings() = TCommandLine{};
    ProcessSettings().IniPath = (Dir / "server.ini").string();
    ProcessSettings().DatabasePath = (Dir / "server.db").string();
    Manager.MainConfig.BoundToIp = "127.0.0.1";
    OpenDatabase();
    Ini = std::make_unique<TIniFile>(ProcessSettings().IniPath);
    Port = FreeUdpPort();
    Ini->WriteInteger(Section, "ServerUDPPort", Port);
  }

  void TearDown() override {
    Clients.clear();
    Manager.StopServers("");
    Server.reset();
    Manager.SetDatabase(nullptr);
    ProcessSettings() = TCommandLine{};
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }

  void OpenDatabase() {
    auto db = std::make_unique<TZeveVira>();
    db->SetFileName(ProcessSettings().DatabasePath);
    db->SetActive(true);
    Manager.SetDatabase(std::move(db));
  }

  // Settings of the server's section, written before StartServer.
  void Setting(const char* key, const std::string& value) { Ini->WriteString(Section, key, value); }
  void Setting(const char* key, int64_t value) { Ini->WriteInteger(Section, key, value); }

  void StartServer() {
    Server = std::make_shared<TServerObject>(Manager);
    ASSERT_TRUE(Server->Start(Section, -1, Ini.get()));
  }

  void AddAccount(const std::string& login, const std::string& password, uint16_t privileges = 0) {
    TClientObject account;
    account.LogInName = login;
    account.NickName = login;
    account.LogInPassWord = password;
    account.Priviliges = privileges;
    account.RegisteredBy = "test";
    ASSERT_TRUE(TZeveViraUsers(*Manager.Database()).AddUser(Section, account));
  }

  // A new client with an open socket towards the server.
  client::TClient& NewClient() {
    Clients.push_back(std::make_unique<client::TClient>());
    Clients.back()->Open("127.0.0.1", uint16_t(Port));
    return *Clients.back();
  }

  // Pumps every client (so that all of them acknowledge and ping) until the
  // condition holds or the time is up.
  bool PumpAll(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= end) return done();
      for (auto& c : Clients) c->Pump(2);
    }
  }
  void PumpFor(int ms) {
    PumpAll([] { return false; }, ms);
  }

  // Logs in with the request and walks the login steps; the reply's result.
  int32_t Join(client::TClient& c, client::TLoginRequest request, client::TLoginStep3 step3 = {}) {
    const std::optional<client::TLoginReply> reply = c.Login(request, 3000);
    if (!reply) return 0;
    if (reply->Result != 1) return reply->Result;
    EXPECT_TRUE(c.EnterServer(step3, 3000));
    return reply->Result;
  }
  int32_t Join(client::TClient& c, const std::string& nick) {
    client::TLoginRequest request;
    request.NickName = nick;
    return Join(c, request);
  }

  // Commands with the code that a client received so far (in order).
  static std::vector<TPacket> Received(client::TClient& c, int16_t code) {
    std::vector<TPacket> out;
    while (auto p = c.WaitCommand(code, 0)) out.push_back(std::move(*p));
    return out;
  }

  std::filesystem::path Dir;
  TServerManager Manager;
  std::unique_ptr<TIniFile> Ini;
  std::shared_ptr<TServerObject> Server;
  int32_t Port = 0;
  std::vector<std::unique_ptr<client::TClient>> Clients;
};

}  // namespace vx::testing
