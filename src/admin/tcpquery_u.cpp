#include "admin/tcpquery_u.h"

#include <charconv>
#include <cmath>
#include <mutex>

#include "admin/serveradmin_u.h"
#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/channelobject_u.h"
#include "domain/clientobject_u.h"
#include "domain/permissions_u.h"
#include "domain/textinfo_u.h"
#include "domain/zevevira_users_u.h"
#include "host/CommandLine.h"
#include "host/logdebug.h"
#include "server/serverobject_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

constexpr const char* LogCategory = "TCPQUERY";
constexpr uint16_t SuperServerAdminPrivilege = 0x08;

const char* const HelpLines[][2] = {
    {"help", "this helpfile"},
    {"sl", "serverlist"},
    {"pl", "playerlist"},
    {"cl", "channellist"},
    {"ver", "version"},
    {"sel", "select"},
    {"si", "server information"},
    {"msg", "message to server"},
    {"msgall", "message to all servers"},
    {"start", "start server"},
    {"stop", "stop server"},
    {"restart", "restarts a server"},
    {"addserver", "adds a server"},
    {"set", "set a server variable"},
    {"login", "login to server"},
    {"adduser", "adds a user to server"},
    {"deluser", "deletes a user from server"},
    {"changeuserpw", "changes password of a user"},
    {"changeuserrights", "changes rights of a user"},
    {"listuser", "display online users of a server"},
    {"quit", "close connection"},
};

std::string Error(std::string_view message) {
  return "ERROR, " + std::string(message);
}

const std::string OkReply = "OK";
const std::string NewLine = "\r\n";

// The reply to an account change: "OK" once it is on disk, the command's
// own refusal, or the failed save (logged with its reason by the writer).
std::string AccountReply(const TAccountResult& result, std::string_view refused) {
  if (result) return OkReply;
  return Error(result.Status == TAccountStatus::NotSaved ? "unable to save user" : refused);
}

// Decimal with an optional sign, nothing else; false when it is no int32.
bool ParseInt(std::string_view text, int32_t& value) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string Join(const std::vector<std::string>& params, size_t from) {
  std::string text;
  for (size_t i = from; i < params.size(); ++i) {
    if (i > from) text += ' ';
    text += params[i];
  }
  return text;
}

// A value shown inside a reply line: line breaks would split the line (and
// could forge further reply lines), so they become blanks.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

// A value in a TAB separated column: TABs become blanks as well.
std::string Column(std::string_view text) {
  std::string out = OneLine(text);
  for (char& c : out) {
    if (c == '\t') c = ' ';
  }
  return out;
}

// Whole seconds from then to now, rounded; 0 when it cannot be computed.
int64_t SecondsSince(TDateTime then, TDateTime now) {
  const double seconds = std::nearbyint((now.Value - then.Value) * MsPerDay / 1000.0);
  if (!std::isfinite(seconds) || std::fabs(seconds) > 9.0e15) return 0;
  return int64_t(seconds);
}

const char* CodecFlag(bool allowed) {
  return allowed ? "-1" : "0";
}

}  // namespace

TTCPQuery::TTCPQuery(TServerManager& manager)
    : Manager(manager),
      Server(CommandTable(),
             TLineServer::THooks{[this](const std::string& ip) -> std::unique_ptr<TLineSession> {
                                   try {
                                     return NewSession(ip);
                                   } catch (const std::exception&) {
                                     Log(LMTERROR, LMDALL, LogCategory,
                                         "TTCPQuery.OnConnect: unable to initialize object");
                                     return nullptr;
                                   }
                                 },
                                 [](TLineSession& session) {
                                   try {
                                     auto& s = static_cast<TQuerySession&>(session);
                                     s.SelectedServer.reset();
                                     s.Servers.clear();
                                   } catch (const std::exception&) {
                                     Log(LMTERROR, LMDALL, LogCategory,
                                         "TTCPQuery.OnDisconnect: unable to deinitialize object");
                                   }
                                 },
                                 [](const std::exception&) {}},
             "[VX]") {}

TTCPQuery::~TTCPQuery() {
  Stop();
}

bool TTCPQuery::Start(int32_t port, const std::string& bindAddress) {
  if (port < 0 || port > 65535 || !Server.Start(uint16_t(port), TrimText(bindAddress))) {
    Log(LMTERROR, LMDALL, LogCategory, "TTCPQuery.Create: unable to initialize communication ");
    return false;
  }
  return true;
}

void TTCPQuery::Stop() {
  Server.Stop();
}

std::unique_ptr<TQuerySession> TTCPQuery::NewSession(const std::string& peerAddress) {
  auto session = std::make_unique<TQuerySession>();
  session->Servers = Snapshot();
  session->PeerAddress = peerAddress;
  return session;
}

bool TTCPQuery::ProcessLine(TQuerySession& session, std::string_view line, std::string& output) {
  return Server.HandleLine(session, line, output);
}

std::vector<TLineCommand> TTCPQuery::CommandTable() {
  using TMember = std::string (TTCPQuery::*)(TQuerySession&, const TParams&);
  auto bind = [this](TMember member) -> TLineHandler {
    return [this, member](TLineSession& session, const TParams& params) {
      return (this->*member)(static_cast<TQuerySession&>(session), params);
    };
  };
  return {
      {"sl", bind(&TTCPQuery::CmdServerList)},
      {"pl", bind(&TTCPQuery::CmdPlayerList)},
      {"cl", bind(&TTCPQuery::CmdChannelList)},
      {"ver", bind(&TTCPQuery::CmdVersion)},
      {"sel", bind(&TTCPQuery::CmdSelect)},
      {"si", bind(&TTCPQuery::CmdServerInfo)},
      {"msg", bind(&TTCPQuery::CmdMessage)},
      {"msgall", bind(&TTCPQuery::CmdMessageAll)},
      {"start", bind(&TTCPQuery::CmdStart)},
      {"stop", bind(&TTCPQuery::CmdStop)},
      {"restart", bind(&TTCPQuery::CmdRestart)},
      {"addserver", bind(&TTCPQuery::CmdAddServer)},
      {"set", bind(&TTCPQuery::CmdSet)},
      {"login", bind(&TTCPQuery::CmdLogin)},
      {"adduser", bind(&TTCPQuery::CmdAddUser)},
      {"deluser", bind(&TTCPQuery::CmdDelUser)},
      {"changeuserpw", bind(&TTCPQuery::CmdChangeUserPw)},
      {"changeuserrights", bind(&TTCPQuery::CmdChangeUserRights)},
      {"listuser", bind(&TTCPQuery::CmdListUser)},
      {"help", bind(&TTCPQuery::CmdHelp)},
      {"quit", nullptr},
  };
}

// ---------------------------------------------------------------------------
// Servers as sessions see them

TQueryServerRef TTCPQuery::RefOf(const std::shared_ptr<TServerObject>& server) const {
  return {server->ConfigName, server};
}

std::vector<TQueryServerRef> TTCPQuery::Snapshot() const {
  std::vector<TQueryServerRef> servers;
  for (const auto& [name, server] : Manager.ServerList()) servers.push_back({name, server});
  return servers;
}

std::shared_ptr<TServerObject> TTCPQuery::Resolve(const TQueryServerRef& ref) const {
  std::shared_ptr<TServerObject> server = ref.Server.lock();
  if (!server || Manager.FindServerByName(ref.Name) != server) return nullptr;
  return server;
}

TTCPQuery::TLookup TTCPQuery::Lookup(TQuerySession& session, const TParams& params) const {
  if (session.SelectedServer) {
    if (auto server = Resolve(*session.SelectedServer)) return {server, {}};
    return {nullptr, Error("serverport not found")};
  }
  if (params.empty()) return {nullptr, Error("paramcount invalid")};
  int32_t port = 0;
  if (!ParseInt(params[0], port)) return {nullptr, Error("convert error")};
  if (port <= 0) return {nullptr, Error("invalid server port")};
  for (const TQueryServerRef& ref : session.Servers) {
    auto server = Resolve(ref);
    if (server && server->Settings()->ServerUDPPort == port) return {server, {}};
  }
  return {nullptr, Error("serverport not found")};
}

std::shared_ptr<TServerObject> TTCPQuery::Selected(const TQuerySession& session) const {
  return session.SelectedServer ? Resolve(*session.SelectedServer) : nullptr;
}

void TTCPQuery::SendText(TServerObject& server, const std::string& text) {
  TClientObject sender;
  sender.NickName = "SERVER";
  TLockGuard<TMutex> players(server.Players.Lock);
  if (!server.PacketBuffer) return;
  CMD_sc_NotifyTextMessage(server, sender, text, 255, -1);
}

// ---------------------------------------------------------------------------
// Commands

std::string TTCPQuery::CmdServerList(TQuerySession& s, const TParams&) {
  std::shared_lock state(*ServerStateLock);
  std::string reply;
  for (const TQueryServerRef& ref : s.Servers) {
    if (auto server = Resolve(ref))
      reply += std::to_string(server->Settings()->ServerUDPPort) + NewLine;
  }
  return reply + OkReply;
}

std::string TTCPQuery::CmdPlayerList(TQuerySession& s, const TParams& p) {
  std::shared_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  TServerObject& server = *found.Server;
  const TDateTime now = TDateTime::Now();
  std::string reply;
  TLockGuard<TMutex> players(server.Players.Lock);
  const TCustomPacketBuffer* buffer = server.PacketBuffer.get();
  for (const auto& player : server.Players.Items) {
    if (!player) continue;
    uint32_t connectionID = 0, packetsSent = 0, bytesSent = 0, packetsReceived = 0,
             bytesReceived = 0;
    std::string peerIP;
    uint16_t peerPort = 0, packetLoss = 0, averagePing = 0;
    if (buffer != nullptr) {
      buffer->GetConnectionInfo(player->PlayerID, connectionID, packetsSent, bytesSent,
                                packetsReceived, bytesReceived, peerIP, peerPort, packetLoss,
                                averagePing);
    }
    const std::string columns[] = {
        std::to_string(player->PlayerID),
        std::to_string(player->ChannelID),
        std::to_string(packetsSent),
        std::to_string(bytesSent),
        std::to_string(packetsReceived),
        std::to_string(bytesReceived),
        std::to_string(packetLoss),
        std::to_string(averagePing),
        std::to_string(SecondsSince(player->LoginTime, now)),
        std::to_string(SecondsSince(player->LastActivity, now)),
        std::to_string(player->ChannelPrivileges),
        std::to_string(player->Priviliges),
        std::to_string(player->PlayerFlags),
        s.LoggedIn ? Column(peerIP) : std::string("0.0.0.0"),
        Column(player->NickName),
        Column(player->LogInName),
    };
    for (const std::string& column : columns) reply += column + '\t';
    reply += NewLine;
  }
  return reply + OkReply;
}

std::string TTCPQuery::CmdChannelList(TQuerySession& s, const TParams& p) {
  std::shared_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  std::string reply;
  if (TChannels* channels = found.Server->Channels.get()) {
    std::scoped_lock lock(*channels);
    for (const auto& c : channels->Channels()) {
      if (!c) continue;
      reply += std::to_string(c->ChannelID) + '\t' + std::to_string(c->Codec) + '\t' +
               std::to_string(c->Parent) + '\t' + std::to_string(c->Order) + '\t' +
               std::to_string(c->MaxUsers) + '\t' + Column(c->Name) + '\t' +
               std::to_string(c->Flags) + '\t' + (c->Password.empty() ? "0" : "1") + '\t' +
               Column(c->Topic) + NewLine;
    }
  }
  return reply + OkReply;
}

std::string TTCPQuery::CmdVersion(TQuerySession&, const TParams&) {
  return VersionText() + " " + TServerManager::PlatformText() + NewLine + OkReply;
}

std::string TTCPQuery::CmdSelect(TQuerySession& s, const TParams& p) {
  s.SelectedServer.reset();
  std::shared_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  s.SelectedServer = RefOf(found.Server);
  return OkReply;
}

std::string TTCPQuery::CmdServerInfo(TQuerySession& s, const TParams& p) {
  std::shared_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  TServerObject& server = *found.Server;
  uint32_t packetsSent = 0, packetsReceived = 0;
  int64_t bytesSent = 0, bytesReceived = 0;
  size_t users = 0, channels = 0;
  {
    TLockGuard<TMutex> players(server.Players.Lock);
    users = server.Players.Items.size();
    if (server.PacketBuffer) {
      server.PacketBuffer->GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
    }
    if (server.Channels) {
      TLockGuard<TChannels> lock(*server.Channels);
      channels = server.Channels->Count();
    }
  }
  const auto settings = server.Settings();
  const std::pair<const char*, std::string> lines[] = {
      {"server_id=", OneLine(server.ConfigName)},
      {"server_name=", OneLine(settings->ServerName)},
      {"server_platform=", OneLine(settings->ServerPlatform)},
      {"server_welcomemessage=", OneLine(settings->ServerWelcomeMessage)},
      {"server_webpost_linkurl=", OneLine(settings->WebPost_LinkURL)},
      {"server_password=", settings->ServerPassword.empty() ? "0" : "1"},
      {"server_udpport=", std::to_string(settings->ServerUDPPort)},
      {"server_maxusers=", std::to_string(settings->ServerMaxUsers)},
      {"server_codeccelp51=", CodecFlag(settings->AllowCodecCelp51)},
      {"server_codeccelp63=", CodecFlag(settings->AllowCodecCelp63)},
      {"server_codecgsm148=", CodecFlag(settings->AllowCodecGSM148)},
      {"server_codecgsm164=", CodecFlag(settings->AllowCodecGSM164)},
      {"server_codecwindowscelp52=", CodecFlag(settings->AllowCodecWindowsCELP52)},
      {"server_packetssend=", std::to_string(packetsSent)},
      {"server_bytessend=", std::to_string(bytesSent)},
      {"server_packetsreceived=", std::to_string(packetsReceived)},
      {"server_bytesreceived=", std::to_string(bytesReceived)},
      {"server_uptime=", std::to_string(SecondsSince(server.StartTime, TDateTime::Now()))},
      {"server_currentusers=", std::to_string(users)},
      {"server_currentchannels=", std::to_string(channels)},
  };
  std::string reply;
  for (const auto& [key, value] : lines) reply += key + value + NewLine;
  return reply + OkReply;
}

std::string TTCPQuery::CmdMessage(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  SendText(*found.Server, CutText(Join(p, 0), 255));
  return OkReply;
}

std::string TTCPQuery::CmdMessageAll(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  const std::string text = CutText(Join(p, 0), 255);
  std::string reply;
  std::shared_lock state(*ServerStateLock);
  for (const TQueryServerRef& ref : s.Servers) {
    // A server stopped since the snapshot was taken is skipped, as "sl" skips it.
    auto server = Resolve(ref);
    if (!server) continue;
    try {
      SendText(*server, text);
      reply += OkReply + NewLine;
    } catch (const std::exception&) {
      // One server failing does not stop the message to the others.
    }
  }
  return reply + OkReply;
}

std::string TTCPQuery::CmdStart(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  return found.Server ? OkReply : found.Error;
}

std::string TTCPQuery::CmdStop(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::unique_lock state(*ServerStateLock);
  TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  const std::string name = found.Server->ConfigName;
  found.Server.reset();
  StopServer(Manager, name);
  return OkReply;
}

std::string TTCPQuery::CmdRestart(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::unique_lock state(*ServerStateLock);
  const TLookup found = Lookup(s, p);
  if (!found.Server) return found.Error;
  if (RestartServer(Manager, found.Server->ConfigName) != TServerAdminResult::Done) {
    return Error("unable to initialize server");
  }
  return OkReply;
}

std::string TTCPQuery::CmdAddServer(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  if (p.size() < 2) return Error("paramcount invalid");
  int32_t port = 0;
  if (!ParseInt(p[1], port) || port <= 0 || port > 65535) return Error("parameters invalid");
  std::unique_lock state(*ServerStateLock);
  std::shared_ptr<TServerObject> server;
  switch (AddServer(Manager, p[0], port, &server)) {
    case TServerAdminResult::Done:
      break;
    case TServerAdminResult::PortRunning:
      return Error("serverport already running");
    case TServerAdminResult::SaveFailed:
      return Error("unable to save server");
    case TServerAdminResult::StartFailed:
      return Error("unable to initialize server");
    default:
      return Error("parameters invalid");
  }
  s.Servers = Snapshot();
  s.SelectedServer = RefOf(server);
  return OkReply;
}

std::string TTCPQuery::CmdSet(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::unique_lock state(*ServerStateLock);
  const std::shared_ptr<TServerObject> server = Selected(s);
  if (!server) return Error("no server selected");
  if (p.size() < 2) return Error("paramcount invalid");
  const std::string& variable = p[0];
  // The new settings replace the old as a whole; the state lock keeps
  // other changes of settings out meanwhile.
  auto settings = std::make_shared<TServerSettings>(*server->Settings());
  if (SameTextAscii(variable, "maxuser")) {
    int32_t maxUsers = 0;
    if (!ParseInt(p[1], maxUsers) || maxUsers < 0 || maxUsers > 65535) {
      return Error("convert error");
    }
    settings->ServerMaxUsers = uint16_t(maxUsers);
  } else if (SameTextAscii(variable, "serverpassword")) {
    settings->ServerPassword = p[1] == "#CLEAR#" ? std::string() : CutText(p[1], 29);
  } else if (SameTextAscii(variable, "servername")) {
    settings->ServerName = CutText(Join(p, 1), 29);
  } else if (SameTextAscii(variable, "serverwelcomemsg")) {
    settings->ServerWelcomeMessage = CutText(Join(p, 1), 255);
  } else if (SameTextAscii(variable, "webpostlinkurl")) {
    settings->WebPost_LinkURL = CutText(p[1], 255);
  } else {
    return Error("parameters invalid");
  }
  server->ReplaceSettings(std::move(settings));
  server->SaveSettings(nullptr);
  Manager.RestartServers(server->ConfigName);
  if (Manager.FindServerByName(server->ConfigName) != server) {
    return Error("unable to initialize server");
  }
  return OkReply;
}

std::string TTCPQuery::CmdLogin(TQuerySession& s, const TParams& p) {
  s.LoggedIn = false;
  if (p.size() != 2) return Error("paramcount invalid");
  const std::string name = CutText(p[0], 29);
  // Guesses from an address that failed too often are answered late, in
  // turn with its other connections, or refused unchecked (after the
  // longest wait) once too many wait.
  const auto now = TLoginThrottle::TClock::now();
  const auto answerAt = Throttle->ReserveAnswer(s.PeerAddress, now);
  if (answerAt == TLoginThrottle::Refused) {
    LogFmt(LMTWARNING, LMDALL, LogCategory,
           "TTCPQuery.Login: login of %1 from %2 refused, too many failed logins",
           {name, s.PeerAddress});
    Server.WaitUntil(now + Throttle->GetLimits().MaxDelay);
    return Error("invalid login");
  }
  if (!Server.WaitUntil(answerAt)) return Error("invalid login");
  if (TZeveVira* database = Manager.Database()) {
    TZeveViraUsers users(*database);
    for (const auto& entry : Manager.ServerList()) {
      const auto account = users.GetUser(entry.first, p[0], false);
      if (account && account->LogInPassWord == p[1] &&
          (account->Priviliges & SuperServerAdminPrivilege) != 0) {
        s.LoggedIn = true;
        LogFmt(LMTWARNING, LMDINFO, LogCategory, "TTCPQuery.Login: %1 logged in from %2",
               {name, s.PeerAddress});
        return OkReply;
      }
    }
  }
  Throttle->RecordFailure(s.PeerAddress, TLoginThrottle::TClock::now());
  LogFmt(LMTWARNING, LMDALL, LogCategory, "TTCPQuery.Login: invalid login of %1 from %2",
         {name, s.PeerAddress});
  return Error("invalid login");
}

std::string TTCPQuery::CmdAddUser(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const std::shared_ptr<TServerObject> server = Selected(s);
  if (!server) return Error("no server selected");
  if (p.size() < 4) return Error("paramcount invalid");
  TClientObject account;
  account.LogInName = CutText(p[0], 29);
  account.LogInPassWord = CutText(p[1], 29);
  account.Priviliges = uint16_t((p[2] == "1" ? SERVERPRIV_ADMIN : 0) |
                                (p[3] == "1" ? SuperServerAdminPrivilege : 0));
  account.RegisteredBy = "Server";
  TZeveVira* database = Manager.Database();
  if (database == nullptr) return Error("duplicate user");
  return AccountReply(TZeveViraUsers(*database).AddUser(server->ConfigName, account),
                      "duplicate user");
}

std::string TTCPQuery::CmdDelUser(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const std::shared_ptr<TServerObject> server = Selected(s);
  if (!server) return Error("no server selected");
  if (p.empty()) return Error("paramcount invalid");
  TZeveVira* database = Manager.Database();
  if (database == nullptr) return Error("user not found");
  return AccountReply(TZeveViraUsers(*database).DeleteUser(server->ConfigName, p[0]),
                      "user not found");
}

std::string TTCPQuery::CmdChangeUserPw(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const std::shared_ptr<TServerObject> server = Selected(s);
  if (!server) return Error("no server selected");
  if (p.size() < 3) return Error("paramcount invalid");
  if (p[1] != p[2]) return Error("password dont match");
  TZeveVira* database = Manager.Database();
  if (database == nullptr) return Error("user not found");
  TZeveViraUsers users(*database);
  auto account = users.GetUser(server->ConfigName, p[0], false);
  if (!account) return Error("user not found");
  account->LogInPassWord = CutText(p[1], 29);
  return AccountReply(users.StoreUser(server->ConfigName, *account), "user not found");
}

std::string TTCPQuery::CmdChangeUserRights(TQuerySession& s, const TParams& p) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const std::shared_ptr<TServerObject> server = Selected(s);
  if (!server) return Error("no server selected");
  if (p.size() < 3) return Error("paramcount invalid");
  TZeveVira* database = Manager.Database();
  if (database == nullptr) return Error("user not found");
  TZeveViraUsers users(*database);
  auto account = users.GetUser(server->ConfigName, p[0], false);
  if (!account) return Error("user not found");
  uint16_t rights = account->Priviliges;
  rights = uint16_t(p[1] == "1" ? rights | SERVERPRIV_ADMIN : rights & ~SERVERPRIV_ADMIN);
  rights = uint16_t(p[2] == "1" ? rights | SuperServerAdminPrivilege
                                : rights & ~SuperServerAdminPrivilege);
  account->Priviliges = rights;
  return AccountReply(users.StoreUser(server->ConfigName, *account), "user not found");
}

std::string TTCPQuery::CmdListUser(TQuerySession& s, const TParams&) {
  if (!s.LoggedIn) return Error("not logged in");
  std::shared_lock state(*ServerStateLock);
  const std::shared_ptr<TServerObject> server = Selected(s);
  if (!server) return Error("no server selected");
  TZeveVira* database = Manager.Database();
  if (database == nullptr) return Error("no users avaible");
  const auto names = TZeveViraUsers(*database).ListUsers(server->ConfigName);
  if (!names) return Error("no users avaible");
  std::string reply;
  for (const std::string& name : *names) reply += OneLine(name) + NewLine;
  return reply + OkReply;
}

std::string TTCPQuery::CmdHelp(TQuerySession&, const TParams&) {
  std::string reply = "command overview: " + NewLine;
  for (const auto& [word, description] : HelpLines) {
    std::string line = word;
    line.resize(20, ' ');
    reply += line + ": " + description + NewLine;
  }
  return reply + OkReply;
}

}  // namespace vx
