// Support for the tests of the player, channel, text and information
// commands: players that log in, command payloads written at their packet
// offsets, waits that pump every client, and access to the running
// server's records under its locks.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ServerFixture.h"
#include "common/TextN.h"
#include "domain/channelcommands_u.h"
#include "domain/channelobject_u.h"
#include "domain/permissions_u.h"
#include "domain/playercommands_u.h"
#include "domain/textinfo_u.h"

namespace vx::testing {

// A command payload; offsets are those of the whole packet (header
// included), as the protocol tables give them.
class TPayload {
 public:
  explicit TPayload(size_t packetSize) : Bytes(packetSize - CommandHeaderSize) {}
  TPayload& U8(size_t offset, uint8_t v) {
    Bytes.at(offset - CommandHeaderSize) = v;
    return *this;
  }
  TPayload& U16(size_t offset, uint16_t v) {
    PutLE16(At(offset, 2), v);
    return *this;
  }
  TPayload& U32(size_t offset, uint32_t v) {
    PutLE32(At(offset, 4), v);
    return *this;
  }
  TPayload& Text(size_t offset, size_t n, const std::string& s) {
    PutTextN(At(offset, n + 1), n, s);
    return *this;
  }
  std::vector<uint8_t> Bytes;

 private:
  uint8_t* At(size_t offset, size_t width) {
    if (offset < CommandHeaderSize || offset - CommandHeaderSize + width > Bytes.size())
      throw std::out_of_range("payload offset");
    return Bytes.data() + offset - CommandHeaderSize;
  }
};

inline void Send(client::TClient& c, int16_t code, const TPayload& payload) {
  c.SendCommand(code, payload.Bytes);
}

class CommandsFixture : public ServerFixture {
 protected:
  // Starts the server and waits until its channel tree is loaded.
  void Start() {
    StartServer();
    WaitChannelsLoaded();
  }

  size_t ChannelCount() {
    TLockGuard<TChannels> lock(*Server->Channels);
    return Server->Channels->Count();
  }

  // A logged-in player; an account login when a login name is given.
  client::TClient& Enter(const std::string& nick, const std::string& login = "",
                         const std::string& password = "") {
    client::TClient& c = NewClient();
    client::TLoginRequest request;
    request.NickName = nick;
    request.LogInName = login;
    request.PassWord = password;
    EXPECT_EQ(Join(c, request), 1) << nick;
    return c;
  }
  // A server admin with an account of its own.
  client::TClient& EnterAdmin(const std::string& nick = "admin") {
    AddAccount(nick, "pw", SERVERPRIV_ADMIN);
    return Enter(nick, nick, "pw");
  }
  static uint32_t Id(client::TClient& c) { return c.LastLoginReply()->PlayerID; }

  TClientObject Player(client::TClient& c) { return PlayerRecord(Id(c)); }
  void Modify(client::TClient& c, const std::function<void(TClientObject&)>& fn) {
    WithPlayer(Id(c), fn);
  }

  // Runs fn with the server's player list and channels locked.
  template <class F>
  auto WithServer(F fn) {
    TLockGuard<TMutex> players(Server->Players.Lock);
    TLockGuard<TChannels> channels(*Server->Channels);
    return fn(*Server);
  }
  TChannelRec Channel(int32_t id) {
    return WithServer([&](TServerObject& s) {
      const TChannelRec* rec = s.Channels->GetChannelByID(id);
      TChannelRec copy;
      copy.ChannelID = -999;  // none
      if (rec != nullptr) copy = *rec;
      return copy;
    });
  }

  // Pumps every client until c holds a command with the code; takes it.
  std::optional<TPacket> Await(client::TClient& c, int16_t code, int timeoutMs = 2000) {
    std::optional<TPacket> found;
    PumpAll([&] { return (found = c.Session().TakeCommand(code)).has_value(); }, timeoutMs);
    return found;
  }
  // Waits for the error answer and checks the request code it names.
  int16_t AwaitError(client::TClient& c, int16_t requestCode, int timeoutMs = 2000) {
    std::optional<TPacket> found;
    PumpAll(
        [&] {
          auto& delivered = c.Session().Delivered();
          for (auto it = delivered.begin(); it != delivered.end(); ++it) {
            if (client::CommandCode(*it) < 0) {
              found = std::move(*it);
              delivered.erase(it);
              return true;
            }
          }
          return false;
        },
        timeoutMs);
    if (!found) return 0;
    // It names the code and the Sequence of the last such request.
    uint32_t sequence = 0;
    for (const client::TLogEntry& e : c.Log()) {
      if (e.Outgoing && e.Class == TPacketClass::Command && e.Code == requestCode)
        sequence = GetLE32(e.Bytes.data() + 12);
    }
    EXPECT_EQ(int16_t(GetLE16(found->Data() + 24)), requestCode);
    EXPECT_EQ(GetLE32(found->Data() + 26), sequence);
    const int16_t error = client::CommandCode(*found);
    LastError = std::move(*found);
    return error;
  }

  // Waits until everything c sent so far was handled and everything the
  // server queued meanwhile has reached its client.
  void Settle(client::TClient& c) {
    c.SendCommand(cmd::CMD_cs_InfoRequestServerInfo);
    EXPECT_TRUE(Await(c, cmd::CMD_sc_ServerInfo));
    PumpAll(
        [&] {
          for (auto& other : Clients) {
            if (!other->Session().Active()) continue;
            bool idle = true;
            Server->PacketBuffer->InspectConnection(
                other->Session().PlayerID(), [&](const TSingleConnection& conn) {
                  idle = !conn.PendingCommand && conn.CommandQueue.Count() == 0;
                });
            if (!idle) return false;
          }
          return true;
        },
        2000);
  }

  // Takes every command c received so far (in order), or those of a code.
  static std::vector<TPacket> Drain(client::TClient& c, std::optional<int16_t> code = {}) {
    std::vector<TPacket> out;
    auto& delivered = c.Session().Delivered();
    for (auto it = delivered.begin(); it != delivered.end();) {
      if (!code || client::CommandCode(*it) == *code) {
        out.push_back(std::move(*it));
        it = delivered.erase(it);
      } else {
        ++it;
      }
    }
    return out;
  }
  static std::vector<int16_t> Codes(const std::vector<TPacket>& packets) {
    std::vector<int16_t> out;
    for (const auto& p : packets) out.push_back(client::CommandCode(p));
    return out;
  }

  TPacket LastError;  // the last error packet AwaitError took
};

}  // namespace vx::testing
