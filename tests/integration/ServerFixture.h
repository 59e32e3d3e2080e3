// Runs one virtual server in-process on a free UDP port of 127.0.0.1, with
// its own configuration file and database in a scratch folder, for tests
// that talk to it with the protocol client.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../support/WaitUntil.h"
#include "client/Client.h"
#include "domain/channelobject_u.h"
#include "domain/zevevira_users_u.h"
#include "host/CommandLine.h"
#include "host/IniFile.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "server/serverobject_u.h"
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
    if (LogCaptured) ReleaseLogFile();
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
  client::TClient& NewClient(client::TClientSettings settings = {}) {
    Clients.push_back(std::make_unique<client::TClient>(settings));
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
      for (auto& c : Clients) {
        if (c->IsOpen()) c->Pump(2);  // closed ones play silent clients
      }
    }
  }
  void PumpFor(int ms) {
    PumpAll([] { return false; }, ms);
  }

  // Logs in with the request and walks the login steps; the reply's result.
  int32_t Join(client::TClient& c, client::TLoginRequest request, client::TLoginStep3 step3 = {}) {
    // Deadlines generous enough for a loaded sanitizer build; a login that
    // works takes milliseconds.
    const std::optional<client::TLoginReply> reply = c.Login(request, 10000);
    if (!reply) return 0;
    if (reply->Result != 1) return reply->Result;
    EXPECT_TRUE(c.EnterServer(step3, 10000));
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

  // Waits (bounded) until the listener has loaded the channel tree, so that
  // channels added by a test come after the stored or default ones.
  void WaitChannelsLoaded() {
    const bool loaded = WaitUntil(
        [&] {
          TLockGuard<TChannels> lock(*Server->Channels);
          return Server->Channels->Count() > 0;
        },
        std::chrono::seconds(5), std::chrono::milliseconds(1));
    if (!loaded) FAIL() << "the channel tree was not loaded";
  }

  // Adds a channel to the running server's tree; its id or the error code.
  int32_t AddChannel(const std::string& name, int32_t parent = -1, uint16_t flags = 0,
                     const std::string& password = "", uint16_t maxUsers = 100) {
    WaitChannelsLoaded();
    auto rec = std::make_unique<TChannelRec>();
    rec->Name = name;
    rec->Topic = name + " topic";
    rec->Description = name + " description";
    rec->Parent = parent;
    rec->Flags = flags;
    rec->Password = password;
    rec->MaxUsers = maxUsers;
    TLockGuard<TChannels> lock(*Server->Channels);
    return Server->Channels->AddChannel(std::move(rec));
  }

  // Runs fn on the player's record under the server's locks (player list,
  // then channels); false when there is no such player.
  bool WithPlayer(uint32_t playerID, const std::function<void(TClientObject&)>& fn) {
    TLockGuard<TMutex> players(Server->Players.Lock);
    TLockGuard<TChannels> channels(*Server->Channels);
    for (auto& p : Server->Players.Items) {
      if (p && p->PlayerID == playerID) {
        fn(*p);
        Server->Players.Changed();
        return true;
      }
    }
    return false;
  }
  // Moves the player into the channel, as a channel switch would.
  bool MovePlayer(uint32_t playerID, int32_t channelID) {
    return WithPlayer(playerID, [channelID](TClientObject& p) { p.ChannelID = channelID; });
  }
  size_t PlayerCount() {
    TLockGuard<TMutex> players(Server->Players.Lock);
    return Server->Players.Items.size();
  }
  // A copy of the player's record; PlayerID 0 when there is none.
  TClientObject PlayerRecord(uint32_t playerID) {
    TClientObject copy;
    WithPlayer(playerID, [&copy](TClientObject& p) { copy = p; });
    return copy;
  }

  // Silence limits of the connections added from now on (ms).
  void SetTimeouts(int32_t loginMs, int32_t connectedMs, int32_t closingMs) {
    Server->PacketBuffer->SetDefaultTimeouts({loginMs, connectedMs, closingMs});
  }

  // Opens the process log in the scratch folder (all types and depths).
  void CaptureLog() {
    CreateLogFile((Dir / "server.log").string(), (Dir / "server.ini").string());
    LogCaptured = true;
  }
  std::string LogText() const {
    std::ifstream in(Dir / "server.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // How often the text occurs in the log.
  size_t LogCount(const std::string& what) const {
    const std::string log = LogText();
    size_t n = 0;
    for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
    return n;
  }

  // The datagrams of the command code that the client received, each
  // Sequence once (resends left out), in order of arrival.
  static std::vector<std::vector<uint8_t>> ArrivedCommands(const client::TClient& c, int16_t code) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint32_t> seen;
    for (const client::TLogEntry& e : c.Log()) {
      if (e.Outgoing || !e.Valid || e.Class != TPacketClass::Command || e.Code != code) continue;
      const uint32_t sequence = GetLE32(e.Bytes.data() + 12);
      if (std::find(seen.begin(), seen.end(), sequence) != seen.end()) continue;
      seen.push_back(sequence);
      out.push_back(e.Bytes);
    }
    return out;
  }

  std::filesystem::path Dir;
  TServerManager Manager;
  std::unique_ptr<TIniFile> Ini;
  std::shared_ptr<TServerObject> Server;
  int32_t Port = 0;
  std::vector<std::unique_ptr<client::TClient>> Clients;
  bool LogCaptured = false;
};

}  // namespace vx::testing
