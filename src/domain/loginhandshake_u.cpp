#include "domain/loginhandshake_u.h"

#include <sys/random.h>

#include <random>
#include <string_view>
#include <unordered_map>

#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/HandlerContext.h"
#include "domain/ServerState.h"
#include "domain/channelobject_u.h"
#include "domain/guestnames_u.h"
#include "domain/permissions_u.h"
#include "domain/scopenotify_u.h"
#include "domain/zevevira_users_u.h"
#include "host/LoginThrottle.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

// A generator seeded from the operating system, one per thread.
std::mt19937& RandomSource() {
  thread_local std::mt19937 generator = [] {
    std::seed_seq::result_type seeds[8];
    if (getrandom(seeds, sizeof seeds, 0) != ssize_t(sizeof seeds)) {
      std::random_device rd;
      for (auto& s : seeds) s = rd();
    }
    std::seed_seq seq(std::begin(seeds), std::end(seeds));
    return std::mt19937(seq);
  }();
  return generator;
}

void RequireLength(const TPacket& packet, size_t length) {
  if (packet.Size() < length) throw EPacket("Stream read error");
}

uint32_t CodecMask(const TServerSettings& s) {
  return (s.AllowCodecCelp51 ? 0x01u : 0u) | (s.AllowCodecCelp63 ? 0x02u : 0u) |
         (s.AllowCodecGSM148 ? 0x04u : 0u) | (s.AllowCodecGSM164 ? 0x08u : 0u) |
         (s.AllowCodecWindowsCELP52 ? 0x10u : 0u);
}

std::unique_ptr<TPacket> NewLoginReply(uint32_t playerID, int32_t result, uint32_t connectionID) {
  auto reply = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_MAINTENANCE, LoginReplySize));
  auto header = reply->MaintenanceHeader();
  header.SetType(MAINT_LOGINREPLY);
  header.SetPlayerID(playerID);
  PutLE32(reply->Data() + TLoginReplyLayout::Result, uint32_t(result));
  PutLE32(reply->Data() + TLoginReplyLayout::ConnectionID, connectionID);
  PutLE32(reply->Data() + TLoginReplyLayout::PlayerID, playerID);
  return reply;
}

// The login that gives way when a new one finds the server full: among the
// accepted logins whose client has not yet chosen its channel (and so was
// never announced to anyone), the oldest of the address that holds the most
// of them, so that a flood from one address displaces its own requests
// before anyone else's. Null when every player has finished logging in.
TClientObject* UnfinishedToGiveWay(TServerState& server)
    VX_REQUIRES(server.Players.Lock, *server.Channels) {
  std::unordered_map<std::string_view, size_t> perAddress;
  for (const auto& c : server.Players.Items)
    if (c && !c->LoginComplete) ++perAddress[c->LoginAddress];
  TClientObject* chosen = nullptr;
  size_t most = 0;
  for (const auto& c : server.Players.Items) {
    if (!c || c->LoginComplete) continue;
    const size_t n = perAddress[c->LoginAddress];
    if (n > most) {
      most = n;
      chosen = c.get();
    }
  }
  return chosen;
}

// An unfinished login gives its place to a new one: its record goes without
// a word to anyone, as nobody was told of it, and its connection closes
// once its login reply has left.
void GiveWay(TServerState& server, TClientObject* player)
    VX_REQUIRES(server.Players.Lock, *server.Channels) {
  server.PacketBuffer->CloseConnection(player->PlayerID);
  std::erase_if(server.Players.Items, [player](const auto& c) { return c.get() == player; });
  server.Players.Changed();
}

// A guessed password: counted against the address and logged (never the
// password itself).
void LoginFailed(TServerState& server, const TPacket& request, const TClientObject& client) {
  ProcessLoginThrottle().RecordFailure(request.PeerIP(), TLoginThrottle::TClock::now());
  LogFmt(LMTWARNING, LMDALL, "UDP Listener", "SP: %1 failed login of %2 from %3",
         {server.Settings()->ServerUDPPort,
          client.LogInName.empty() ? client.NickName : client.LogInName, request.PeerIP()});
}

}  // namespace

uint32_t GetNewConnectionID(TServerState& server) {
  std::uniform_int_distribution<uint32_t> draw(0, 16777214);
  for (;;) {
    const uint32_t id = draw(RandomSource());
    bool taken = false;
    for (const auto& c : server.Players.Items) {
      if (c && c->ConnectionID == id) {
        taken = true;
        break;
      }
    }
    if (!taken) return id;
  }
}

uint32_t GetNewPlayerID(TServerState& server) {
  if (server.Players.Items.empty()) server.NextPlayerID = 1;
  // A refused login keeps its connection until it times out. Its id is not
  // handed out again before then: connections are found by player id, so
  // the end of the old one would take the new player with it.
  auto inUse = [&server](uint32_t id) {
    return server.PacketBuffer &&
           server.PacketBuffer->InspectConnection(id, [](const TSingleConnection&) {});
  };
  while (inUse(uint32_t(server.NextPlayerID))) ++server.NextPlayerID;
  return uint32_t(server.NextPlayerID++);
}

void CMD_cs_LoginStep1(THandlerContext& l) {
  TPacket& request = *l.CurrentPacket;
  RequireLength(request, LoginRequestShortSize);
  // The answers to an address that failed too often wait: the request is
  // held back in the buffer until its moment. When too many logins of its
  // address wait already it goes unanswered, as if lost on the way: the
  // client tries again later, and a guesser learns nothing.
  if (!request.AnswerReserved) {
    const auto now = TLoginThrottle::TClock::now();
    const auto at = ProcessLoginThrottle().ReserveAnswer(request.PeerIP(), now);
    if (at == TLoginThrottle::Refused) return;
    if (at > now) {
      l.CurrentPacket->AnswerReserved = true;
      l.Server.PacketBuffer->DeferPacket(std::move(l.CurrentPacket), at);
      return;
    }
  }
  // One snapshot of the settings answers the whole login.
  const auto settings = l.Server.Settings();
  const bool full = request.Size() == LoginRequestSize;
  const uint8_t* p = request.Data();
  using In = TLoginRequestLayout;

  auto client = std::make_unique<TClientObject>();
  client->ConnectionID = GetNewConnectionID(l.Server);
  client->ClientName = GetTextN(p + In::ClientName, ShortTextSize);
  client->ClientPlatform = GetTextN(p + In::ClientPlatform, ShortTextSize);
  client->ClientVersionMajor = GetLE16(p + In::ClientVersionMajor);
  client->ClientVersionMinor = GetLE16(p + In::ClientVersionMinor);
  client->ClientVersionRelease = GetLE16(p + In::ClientVersionRelease);
  client->ClientVersionBuild = GetLE16(p + In::ClientVersionBuild);
  client->LoginComplete = false;

  const bool guestNaming = full && p[In::GuestNaming] != 0;
  const bool serverPasswordAlways = full && p[In::ServerPasswordAlways] == 1;
  const std::string password = full ? GetTextN(p + In::PassWord, ShortTextSize) : std::string();

  int32_t verdict = 0;
  bool passwordFailed = false;
  if (client->ClientVersionRelease <= 12) verdict = LOGIN_CLIENT_TOO_OLD;
  if (verdict == 0) {
    if (full) {
      client->LogInName = GetTextN(p + In::LogInName, ShortTextSize);
      client->LogInPassWord = password;
      client->NickName = GetTextN(p + In::NickName, ShortTextSize);
    }
    client->LastActivity = client->LoginTime = TDateTime::Now();
    client->ChannelID = l.Server.Channels->GetDefaultChannelID();
    client->ChannelPrivileges = 0;
    client->Priviliges = 0;
    client->PlayerFlags = 0;
    if (!client->LogInName.empty()) {
      std::unique_ptr<TClientObject> account;
      if (TZeveVira* db = l.Server.Database()) {
        account = TZeveViraUsers(*db).GetUser(l.Server.ConfigName, client->LogInName, true);
      }
      if (!account || account->LogInPassWord != client->LogInPassWord) {
        verdict = LOGIN_BAD_ACCOUNT;
        passwordFailed = true;
      } else {
        client->Priviliges =
            uint16_t((account->Priviliges | SERVERPRIV_REGISTERED) & ~SERVERPRIV_ALLOWREGISTER);
        client->RegisteredBy = account->RegisteredBy;
        client->Created = account->Created;
        client->LastChanged = account->LastChanged;
        client->Logins = account->Logins;
        uint16_t chanPriv = l.Server.Channels->GetUserAttrib(client->ChannelID, client->LogInName);
        if (chanPriv & CHANPRIV_AUTOOPERATOR) chanPriv |= CHANPRIV_OPERATOR;
        if (chanPriv & CHANPRIV_AUTOVOICE) chanPriv |= CHANPRIV_VOICE;
        client->ChannelPrivileges = chanPriv;
      }
    }
    client->PlayerID = GetNewPlayerID(l.Server);
    if (guestNaming) {
      std::string nick = GetGuestPlayerName(client->NickName, l.Server.Players.Items);
      // A numbered long name that does not fit the nickname field would,
      // cut, name a present player again: such a guest becomes "Guest" and
      // a number instead.
      if (nick.size() > TClientObject::TextFieldSize)
        nick = GetGuestPlayerName("", l.Server.Players.Items);
      client->NickName = std::move(nick);
    }
  }

  l.Server.PacketBuffer->AddConnection(client->PlayerID, client->ConnectionID, request.PeerIP(),
                                       request.PeerPort, 1, request.Size());

  if ((client->Priviliges & SERVERPRIV_REGISTERED) == 0 && !settings->ServerPassword.empty() &&
      password != settings->ServerPassword) {
    verdict = LOGIN_BAD_PASSWORD_OR_NAME;
    passwordFailed = true;
  }
  if (passwordFailed) LoginFailed(l.Server, request, *client);
  if (verdict != 0) {
    l.Server.PacketBuffer->Counters.RefuseLogin(verdict);
    l.Server.PacketBuffer->SendPacket(
        NewLoginReply(client->PlayerID, verdict, client->ConnectionID), false);
    return;
  }

  auto reply = NewLoginReply(client->PlayerID, 0, client->ConnectionID);
  uint8_t* r = reply->Data();
  using Out = TLoginReplyLayout;
  PutTextN(r + Out::ServerName, ShortTextSize, settings->ServerName);
  PutTextN(r + Out::ServerPlatform, ShortTextSize, settings->ServerPlatform);
  PutLE16(r + Out::VersionMajor, settings->VersionMajor);
  PutLE16(r + Out::VersionMinor, settings->VersionMinor);
  PutLE16(r + Out::VersionRelease, settings->VersionRelease);
  PutLE16(r + Out::VersionBuild, settings->VersionBuild);
  PutLE32(r + Out::CodecMask, CodecMask(*settings));
  PutLE16(r + Out::ServerType, settings->ServerType);
  PutLE16(r + Out::ServerFlags, settings->ServerFlags);
  PutLE32(r + Out::MaxUsers, settings->ServerMaxUsers);
  PutTextN(r + Out::WelcomeMessage, LongTextSize, settings->ServerWelcomeMessage);

  // Logins that never finish must not keep players out: on a full server
  // the oldest unfinished one gives way to a login that is accepted.
  int32_t result = 0;
  TClientObject* givesWay = nullptr;
  if (l.Server.Players.Items.size() >= settings->ServerMaxUsers) {
    givesWay = UnfinishedToGiveWay(l.Server);
    if (givesWay == nullptr) result = LOGIN_SERVER_FULL;
  }
  if (result == 0 && serverPasswordAlways && !settings->ServerPassword.empty() &&
      password != settings->ServerPassword) {
    result = LOGIN_BAD_PASSWORD_OR_NAME;
    LoginFailed(l.Server, request, *client);
  }
  if (result == 0) result = LOGIN_ACCEPTED;
  if (l.GetClientObject(client->NickName) != nullptr) result = LOGIN_NICKNAME_IN_USE;
  const std::string_view trimmed = TrimTextView(client->NickName);
  if (trimmed.empty()) result = LOGIN_BAD_PASSWORD_OR_NAME;
  if (SameTextAscii(trimmed, "server")) result = LOGIN_BAD_PASSWORD_OR_NAME;
  PutLE32(r + Out::Result, uint32_t(result));
  if (result != LOGIN_ACCEPTED) l.Server.PacketBuffer->Counters.RefuseLogin(result);
  l.Server.PacketBuffer->SendPacket(std::move(reply), false);
  if (result == LOGIN_ACCEPTED) {
    if (client->Priviliges & SERVERPRIV_ADMIN) {
      LogFmt(LMTWARNING, LMDINFO, "UDP Listener", "SP: %1 administrator %2 logged in from %3",
             {settings->ServerUDPPort, client->LogInName, request.PeerIP()});
    }
    client->LoginAddress = request.PeerIP();
    if (givesWay) GiveWay(l.Server, givesWay);
    l.Server.Players.Items.push_back(std::move(client));
    l.Server.Players.Changed();
  }
}

void CMD_cs_LoginStep3(THandlerContext& l) {
  TClientObject* client = l.CurrentClient;
  if (client == nullptr) {
    l.DropClient = true;
    return;
  }
  TPacket& packet = *l.CurrentPacket;
  RequireLength(packet, LoginStep3Size);
  const uint8_t* p = packet.Data();
  using In = TLoginStep3Layout;
  client->LoginStep3Flag = p[In::Flag] == 1;
  if (client->LoginStep3Flag) {
    l.DropClient = true;
    return;
  }
  TChannels& channels = *l.Server.Channels;
  const std::string channelName = GetTextN(p + In::Channel, ShortTextSize);
  const std::string subChannelName = GetTextN(p + In::SubChannel, ShortTextSize);
  const std::string channelPassword = GetTextN(p + In::ChannelPassword, ShortTextSize);
  const TChannelRec* channel = nullptr;
  if (!channelName.empty()) {
    channel = channels.FindChannelByName(channelName, -1);
    if (channel && !subChannelName.empty()) {
      channel = channels.FindChannelByName(subChannelName, channel->ChannelID);
    }
  }
  if (channel && CheckChannelJoin(channels, l.Server.Players.Items, channel->ChannelID,
                                  channelPassword) == CHANNELJOIN_OK) {
    client->ChannelID = channel->ChannelID;
    l.Server.Players.Changed();
  }
  CMD_sc_LoginStep4(l);
  CMD_sc_LoginStep5(l);
  CMD_sc_LoginStep6(l);
}

namespace {

// Fills record lists (TRecordListLayout) of `slots` records of `recordSize`
// bytes, sending each full packet and the last partial one to the current
// player.
class TBatchSender {
 public:
  TBatchSender(THandlerContext& l, int16_t code, size_t slots, size_t recordSize)
      : Listener(l), Code(code), Slots(slots), RecordSize(recordSize) {}
  // The place of the next record.
  uint8_t* Next() {
    if (!Packet) {
      Packet = NewCommandPacket(Code, TRecordListLayout::Slot(Slots, RecordSize),
                                *Listener.CurrentClient);
    }
    return Packet->Data() + TRecordListLayout::Slot(Count, RecordSize);
  }
  // Counts the record just written; a full packet leaves at once.
  void Written() {
    if (++Count == Slots) Flush();
  }
  // Sends the last packet when it holds any record.
  void Finish() {
    if (Packet && Count > 0) Flush();
  }

 private:
  void Flush() {
    PutLE32(Packet->Data() + TRecordListLayout::Count, uint32_t(Count));
    Listener.Server.PacketBuffer->SendPacket(std::move(Packet), false);
    Count = 0;
  }
  THandlerContext& Listener;
  int16_t Code;
  size_t Slots;
  size_t RecordSize;
  size_t Count = 0;
  std::unique_ptr<TPacket> Packet;
};

}  // namespace

void CMD_sc_LoginStep4(THandlerContext& l) {
  TBatchSender batch(l, cmd::CMD_sc_LoginStep4, LoginStep4Slots, ChannelWireRecordSize);
  for (const auto& channel : l.Server.Channels->Channels()) {
    channel->WriteWireRecord(batch.Next());
    batch.Written();
  }
  batch.Finish();
}

void CMD_sc_LoginStep5(THandlerContext& l) {
  const TClientObject& client = *l.CurrentClient;
  const TServerRules rules = RulesOf(l.Server);
  TBatchSender batch(l, cmd::CMD_sc_LoginStep5, LoginStep5Slots, PlayerEntrySize);
  for (const auto& other : l.Server.Players.Items) {
    if (!other || !CheckClientInView(rules, *l.Server.Channels, &client, other.get())) continue;
    // Others whose login is unfinished are announced when it finishes.
    if (!other->LoginComplete && other.get() != &client) continue;
    other->WritePlayerEntry(batch.Next());
    batch.Written();
  }
  batch.Finish();
}

void CMD_sc_LoginStep6(THandlerContext& l) {
  TClientObject& client = *l.CurrentClient;
  l.Server.PacketBuffer->SendPacket(
      NewCommandPacket(cmd::CMD_sc_LoginStep6, LoginStep6Size, client), false);
  NotifyPlayerEnteredScope(l.Server, client.PlayerID);
  client.LoginComplete = true;
}

void CMD_cs_PlayerQuit(THandlerContext& l) {
  NotifyPlayerLeftScope(l.Server, l.CurrentPacket->PlayerID(), LEFT_QUIT, "", 0);
}

}  // namespace vx
