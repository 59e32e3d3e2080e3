// Datagrams into a virtual server with players logged in, the way its event
// loop would hand them over, but without sockets or threads: each input
// starts a fresh server (a few channels, an account database) with three
// players who logged in through the real handshake, one of them a server
// admin. The input is one byte of server settings
//
//   bit 0     a public server (players see their channel family only)
//   bit 1     room for four players instead of eight
//
// then a list of datagrams, each
//
//   length (2 bytes, little-endian)  control (1 byte)  bytes (length)
//
// whose control bits may write valid ids, sequence and checksum into it, so
// that every handler is reached behind the buffer's checks:
//
//   bits 0-1  whose ids: 0 the first player in the list, 1 the second,
//             2 the newest, 3 none: both ids 0 (a new login request)
//   bit 2     write ConnectionID and PlayerID
//   bit 3     write the Sequence the connection expects next
//   bit 4     seal the checksum (commands and maintenance packets)
//   bit 5     before it is taken in, the player's connection times out
//   bit 6     the players acknowledge every command the server sends
//   bit 7     it comes from one of a few other addresses
//
// After every datagram the server is driven until it has nothing to do; at
// the end every player must still have a connection, and an id of its own.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Packets.h"
#include "common/TextN.h"
#include "domain/channelobject_u.h"
#include "domain/loginhandshake_u.h"
#include "domain/permissions_u.h"
#include "domain/udplistener_u.h"
#include "domain/zevevira_users_u.h"
#include "host/ZeveVira.h"
#include "server/serverobject_u.h"
#include "transport/PacketBuffers.h"

namespace {

using namespace vx;

constexpr const char* ServerKey = "server_cfg Fuzz";
constexpr size_t MaxDatagrams = 256;
constexpr size_t MaxDatagramSize = 2048;

enum : uint8_t {
  CtlWho = 0x03,
  CtlIds = 0x04,
  CtlSequence = 0x08,
  CtlSeal = 0x10,
  CtlTimeout = 0x20,
  CtlAck = 0x40,
  CtlOtherAddress = 0x80,
};

// The database file, in memory where the system offers a place for it.
const std::string& DatabasePath() {
  static const std::string path = [] {
    const std::filesystem::path dir =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    return (dir / ("vx-datagram-fuzz-" + std::to_string(getpid()) + ".db")).string();
  }();
  return path;
}

TServerManager& Manager() {
  static TServerManager manager;
  return manager;
}

// The database of one input: new, with the admin account, and gone (file
// included) when the input is done, so that no input sees what an earlier
// one stored and no file outlives the process (libFuzzer ends it without
// destructors). Closing a database saves it: the file goes after that.
class TDatabaseScope {
 public:
  TDatabaseScope() {
    std::filesystem::remove(DatabasePath());
    auto db = std::make_unique<TZeveVira>();
    db->SetFileName(DatabasePath());
    db->SetActive(true);
    TClientObject op;
    op.LogInName = op.NickName = "op";
    op.LogInPassWord = "pw";
    op.Priviliges = SERVERPRIV_ADMIN;
    TZeveViraUsers(*db).AddUser(ServerKey, op);
    Manager().SetDatabase(std::move(db));
  }
  ~TDatabaseScope() {
    Manager().SetDatabase(nullptr);
    std::filesystem::remove(DatabasePath());
  }
  TDatabaseScope(const TDatabaseScope&) = delete;
  TDatabaseScope& operator=(const TDatabaseScope&) = delete;
};

class THarness {
 public:
  explicit THarness(uint8_t settings) : Server(std::make_shared<TServerObject>(Manager())) {
    Server->ConfigName = ServerKey;
    Server->EditSettings([&](TServerSettings& s) {
      s.ServerType = (settings & 1) ? SERVERTYPE_PUBLIC : SERVERTYPE_CLAN;
      s.ServerMaxUsers = (settings & 2) ? 4 : 8;
      s.ServerFlags = SERVERFLAG_ANYONE_REGISTERS | SERVERFLAG_ANYONE_CREATES_CHANNELS;
    });
    Server->Channels = std::make_unique<TChannels>(ServerKey);
    TChannels& channels = *Server->Channels;
    channels.CreateDefaultChannel();
    const int32_t lobby = AddChannel("Lobby", -1, CHANNEL_SUBCHANNELS, "");
    AddChannel("Corner", lobby, 0, "");
    AddChannel("Quiet", -1, CHANNEL_MODERATED | CHANNEL_UNREGISTERED, "");
    AddChannel("Locked", -1, CHANNEL_PASSWORD, "secret");
    Server->PacketBuffer = std::make_unique<TCustomPacketBuffer>();
    Server->Listener = std::make_unique<TVXUDPListener>(*Server);
    LogIn("op", "op", "pw", 0);
    LogIn("bob", "", "", 1);
    LogIn("eve", "", "", 2);
  }
  void Feed(const uint8_t* data, size_t size, uint8_t ctl) {
    auto packet = std::make_unique<TPacket>(data, size);
    const TClientObject* who = nullptr;
    const auto& items = Server->Players.Items;
    const size_t pick = ctl & CtlWho;
    if (pick != CtlWho && !items.empty())
      who = items[pick == 2 ? items.size() - 1 : pick % items.size()].get();
    const uint32_t playerID = who ? who->PlayerID : 0;
    uint8_t* p = packet->Data();
    if ((ctl & CtlIds) && size >= 12) {
      PutLE32(p + 4, who ? who->ConnectionID : 0);
      PutLE32(p + 8, playerID);
    }
    if (ctl & CtlSequence) {
      const TPacketClass cls = packet->Class();
      Server->PacketBuffer->InspectConnection(GetLE32(p + 8), [&](const TSingleConnection& c) {
        if (cls == TPacketClass::Command) PutLE32(p + 12, c.CommandExpected);
        if (cls == TPacketClass::Maintenance) PutLE32(p + 12, c.MaintenanceExpected);
      });
    }
    if ((ctl & CtlSeal) && (packet->IsCommand() || packet->IsMaintenance())) packet->SealChecksum();
    if (ctl & CtlOtherAddress) {
      packet->SetPeer(Network + std::to_string(100 + size % 4), uint16_t(6000 + size % 7));
    } else {
      const uint32_t n = who ? who->PlayerID % 8 : 9;
      packet->SetPeer(Network + std::to_string(n), uint16_t(5000 + n));
    }
    if ((ctl & CtlTimeout) && playerID != 0)
      Server->PacketBuffer->SetConnectionTimeouts(playerID, TConnectionTimeouts{0, 0, 0});
    Server->PacketBuffer->ReceivePacket(std::move(packet));
    Drive((ctl & CtlAck) != 0);
  }

  // Every player has a connection of its own: a player left without one
  // would hold a place on the server for good.
  void CheckPlayers() const {
    std::vector<uint32_t> ids;
    for (const auto& c : Server->Players.Items) {
      if (!Server->PacketBuffer->InspectConnection(c->PlayerID, [](const TSingleConnection&) {}))
        std::abort();
      ids.push_back(c->PlayerID);
    }
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) std::abort();
  }

 private:
  int32_t AddChannel(const char* name, int32_t parent, uint16_t flags, const char* password) {
    auto rec = std::make_unique<TChannelRec>();
    rec->Name = name;
    rec->Parent = parent;
    rec->Flags = flags;
    rec->Password = password;
    rec->MaxUsers = 4;
    return Server->Channels->AddChannel(std::move(rec));
  }

  // Events to the listener and the packets due out, until nothing is left;
  // with acknowledge, every command sent is acknowledged by its player.
  void Drive(bool acknowledge) {
    TCustomPacketBuffer& buffer = *Server->PacketBuffer;
    for (int round = 0; round < 64; ++round) {
      bool busy = false;
      uint32_t playerID = 0, waitMs = 0;
      TReceiveEvent event{};
      std::unique_ptr<TPacket> packet;
      for (int i = 0; i < 256 && buffer.TryReceive(playerID, event, packet, waitMs); ++i) {
        Server->Listener->Handle(playerID, event, std::move(packet));
        busy = true;
      }
      Sent.clear();
      buffer.TakeDue(Sent, 1024);
      for (const auto& out : Sent) {
        if (out->IsMaintenance() && out->MaintenanceHeader().Type() == MAINT_LOGINREPLY)
          LastReply = *out;
        if (!acknowledge || !out->IsCommand()) continue;
        auto ack = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_ACK, AckPacketSize));
        TAckHeader h = ack->AckHeader();
        h.SetResendCount(out->CommandHeader().ResendCount());
        h.SetConnectionID(out->CommandHeader().ConnectionID());
        h.SetPlayerID(out->CommandHeader().PlayerID());
        h.SetSequence(out->CommandHeader().Sequence());
        ack->SetPeer(out->PeerAddress, out->PeerPort);
        buffer.ReceivePacket(std::move(ack));
        busy = true;
      }
      if (!busy && Sent.empty()) return;
    }
  }

  // The whole handshake: the request, the reply's ids, step 3, and the
  // acknowledged channel list, player list and step 6.
  void LogIn(const char* nick, const char* login, const char* password, uint32_t n) {
    TPacket request = TPacket::WithMagic(MAGIC_MAINTENANCE, LoginRequestSize);
    uint8_t* p = request.Data();
    PutLE16(p + 2, MAINT_LOGINREQUEST);
    PutLE32(p + 12, 1);
    PutTextN(p + 20, 29, "fuzz");
    PutLE16(p + 84, 20);
    PutTextN(p + 90, 29, login);
    PutTextN(p + 120, 29, password);
    PutTextN(p + 150, 29, nick);
    request.SealChecksum();
    Feed(request.Data(), request.Size(), CtlWho);
    const uint32_t connectionID = GetLE32(LastReply.Data() + 108);
    const uint32_t playerID = GetLE32(LastReply.Data() + 112);
    if (GetLE32(LastReply.Data() + 88) != uint32_t(LOGIN_ACCEPTED)) std::abort();
    TPacket step3 = TPacket::WithMagic(MAGIC_COMMAND, LoginStep3Size);
    step3.CommandHeader().SetCode(5);
    step3.CommandHeader().SetConnectionID(connectionID);
    step3.CommandHeader().SetPlayerID(playerID);
    step3.CommandHeader().SetSequence(1);
    step3.SealChecksum();
    Feed(step3.Data(), step3.Size(), uint8_t(n | CtlAck));
  }

  // The addresses of one input are its own: the login throttle is
  // process-wide, and failed logins of earlier inputs must not hold back
  // this input's logins.
  static std::string FreshNetwork() {
    static uint32_t inputs = 0;
    ++inputs;
    return "10." + std::to_string((inputs >> 8) & 255) + "." + std::to_string(inputs & 255) + ".";
  }

  const std::string Network = FreshNetwork();
  std::shared_ptr<TServerObject> Server;
  std::vector<std::unique_ptr<TPacket>> Sent;
  TPacket LastReply = TPacket::WithMagic(MAGIC_MAINTENANCE, LoginReplySize);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  TDatabaseScope database;  // outlives the server
  THarness harness(data[0]);
  ++data;
  --size;
  for (size_t n = 0; n < MaxDatagrams && size >= 3; ++n) {
    const size_t length = std::min<size_t>({GetLE16(data), size - 3, MaxDatagramSize});
    const uint8_t ctl = data[2];
    harness.Feed(data + 3, length, ctl);
    data += 3 + length;
    size -= 3 + length;
  }
  harness.CheckPlayers();
  return 0;
}
