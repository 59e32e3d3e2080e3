// The console's request handling: the action table and what every action
// goes through (form post, form token, rights, log line, notice), the
// markers of its pages, and the live figures document.
#include "admin/webconsole_u.h"

#include <chrono>
#include <mutex>

#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/channelcommands_u.h"
#include "domain/channelobject_u.h"
#include "domain/permissions_u.h"
#include "domain/playercommands_u.h"
#include "domain/zevevira_users_u.h"
#include "host/logdebug.h"
#include "net/HttpEncoding.h"
#include "server/serverobject_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

constexpr const char* LogCategory = "WEBINTERFACE";

// Session variables of the console.
constexpr const char* FormTokenKey = "FormToken";
constexpr const char* NoticeKey = "ConsoleNotice";
constexpr const char* NoticeKindKey = "ConsoleNoticeKind";
constexpr const char* LoginFailedKey = "LoginFailed";

// The navigation markers and the pages that count as theirs.
struct TNavEntry {
  const char* Marker;
  std::vector<const char*> Pages;
};
const TNavEntry Navigation[] = {
    {"%%NAV_OVERVIEW%%", {"/", "/index.html"}},
    {"%%NAV_PLAYERS%%", {"/players.html", "/player.html"}},
    {"%%NAV_CHANNELS%%", {"/channels.html", "/channel_edit.html"}},
    {"%%NAV_SETTINGS%%", {"/settings.html"}},
    {"%%NAV_ACCOUNTS%%", {"/accounts.html", "/client_edit.html"}},
    {"%%NAV_SERVERS%%", {"/servers.html"}},
    {"%%NAV_LOG%%", {"/log.html"}},
};

// Texts from players and the pages may hold anything; a log line stays one line.
std::string OneLogLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

bool Wants(const std::string& upperPage, const char* marker) {
  return upperPage.find(marker) != std::string::npos;
}

}  // namespace

const TWebConsole::TActionEntry TWebConsole::Actions[] = {
    {"PLAYER_KICK.VXCMD", &TWebConsole::ActKick, false, true, "players.html"},
    {"PLAYER_KICK_CHANNEL.VXCMD", &TWebConsole::ActKickFromChannel, false, true, "players.html"},
    {"PLAYER_MOVE.VXCMD", &TWebConsole::ActMove, false, true, "players.html"},
    {"PLAYER_PRIVILEGE.VXCMD", &TWebConsole::ActPrivilege, false, true, "players.html"},
    {"CHANNEL_CREATE.VXCMD", &TWebConsole::ActChannelCreate, false, true, "channels.html"},
    {"CHANNEL_CHANGE.VXCMD", &TWebConsole::ActChannelChange, false, true, "channels.html"},
    {"CHANNEL_DELETE.VXCMD", &TWebConsole::ActChannelDelete, false, true, "channels.html"},
    {"SERVER_ADD.VXCMD", &TWebConsole::ActServerAdd, true, false, "servers.html"},
    {"SERVER_START.VXCMD", &TWebConsole::ActServerStart, true, false, "servers.html"},
    {"SERVER_STOP.VXCMD", &TWebConsole::ActServerStop, true, false, "servers.html"},
    {"SERVER_RESTART.VXCMD", &TWebConsole::ActServerRestart, true, false, "servers.html"},
};

TWebConsole::TWebConsole(TServerManager& manager, std::function<std::shared_mutex&()> settingsLock)
    : Manager(manager),
      SettingsLock(std::move(settingsLock)),
      Live([this](const std::string& section, TTrafficSample& sample) {
        return TakeProbe(section, sample);
      }) {}

TWebConsole::~TWebConsole() = default;

std::string RefusalText(int32_t errorCode) {
  switch (errorCode) {
    case PLAYERERR_NOT_FOUND:
      return "no player with that id is online";
    case CHANNELERR_NOT_FOUND:
      return "there is no channel with that id";
    case CHANNELERR_PARENT_NOT_FOUND:
      return "the parent channel does not exist";
    case CHANNELERR_CODEC_NOT_ALLOWED:
      return "the server does not allow that codec";
    case CHANNELERR_HAS_PLAYERS:
      return "players are still in the channel";
    case CHANNELERR_NAME_EXISTS:
      return "a channel with that name exists there already";
    case CHANNELERR_PARENT_NO_SUBCHANNELS:
      return "the parent channel does not take sub-channels";
    case CHANNELERR_IS_DEFAULT:
      return "the default channel can be neither deleted nor lose its default flag";
    case CHANNELERR_SUBCHANNEL_PASSWORD:
      return "a sub-channel cannot have a password";
    case CHANNELERR_PARENT_IS_SUBCHANNEL:
      return "a sub-channel cannot have sub-channels";
    case CHANNELERR_SUBCHANNEL_PROPERTIES:
      return "the properties of a sub-channel cannot be changed";
    case PERMERR_SERVER_ADMIN:
      return "only a server administrator may do this";
    case PERMERR_OPERATOR:
      return "this needs channel operator, channel administrator or server administrator rights";
    case PERMERR_CHANNEL_ADMIN:
      return "this needs channel administrator or server administrator rights";
    case PRIVERR_HOLDS_ADMIN:
      return "the player is channel administrator already";
    case PRIVERR_HOLDS_OPERATOR:
      return "the player is channel operator already";
    case PRIVERR_HOLDS_VOICE:
      return "the player has voice already";
    case PRIVERR_AUTO_NEEDS_REGISTERED:
      return "automatic privileges are for registered players only";
    default:
      return "refused with error " + std::to_string(errorCode);
  }
}

bool TWebConsole::HandleRequest(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (!request.Session) return false;
  std::string command = UpperCaseAscii(request.Document);
  if (!command.empty()) command.erase(0, 1);
  if (command == "LIVE.VXCMD") {
    ServeLiveFigures(request, response);
    return true;
  }
  for (const TActionEntry& entry : Actions) {
    if (command == entry.Name) {
      RunAction(entry, request, response);
      return true;
    }
  }
  return false;
}

void TWebConsole::RunAction(const TActionEntry& entry, THTTPRequestInfo& request,
                            THTTPResponseInfo& response) {
  THTTPSession& session = *request.Session;
  response.Redirect(entry.Back);
  const auto tell = [&](const TOutcome& outcome) {
    LogAction(request, session, entry.Name, outcome.Done, outcome.Words);
    SetNotice(session, outcome.Done,
              outcome.Done ? outcome.Words : "Nothing was changed: " + outcome.Words + ".");
    if (!outcome.Back.empty()) response.Redirect(outcome.Back);
  };
  const auto refuse = [&](const std::string& words) { tell({false, words, {}}); };
  try {
    if (request.Command != "POST") return refuse("actions are sent as form posts");
    // Another site cannot know the token, so it cannot make the browser act.
    if (!FormTokenMatches(session, request.Param("csrf"))) {
      return refuse("the form was out of date or did not come from these pages; please try again");
    }
    std::shared_ptr<TServerObject> server;
    TRights rights;
    {
      std::shared_lock settings(SettingsLock());
      server = SessionServer(session);
      rights = RightsOf(session, server.get());
    }
    if (entry.SuperAdmin && !rights.SuperAdmin) {
      return refuse("this needs the super server administrator right");
    }
    if (entry.NeedsServer && !server) return refuse("your selected server is invalid");
    TActionContext context{request, session, std::move(server), rights, ActorOf(session, rights)};
    tell((this->*entry.Run)(context));
  } catch (const std::exception& e) {
    LogWebException(entry.Name, e);
    SetNotice(session, false, "The action failed; see the log.");
  }
}

std::shared_ptr<TServerObject> TWebConsole::SessionServer(const THTTPSession& session) {
  const std::string id = session.Value("serverid");
  return id.empty() ? nullptr : Manager.FindServerByName(id);
}

TWebConsole::TRights TWebConsole::RightsOf(const THTTPSession& session,
                                           const TServerObject* server) {
  TRights rights;
  rights.SuperAdmin = session.Value("superadmin") == "1";
  TZeveVira* database = Manager.Database();
  if (server != nullptr && database != nullptr) {
    const auto account =
        TZeveViraUsers(*database).GetUser(server->ConfigName, session.Value("username"), false);
    rights.ServerAdmin = account && (account->Priviliges & SERVERPRIV_ADMIN) != 0;
  }
  return rights;
}

TClientObject TWebConsole::ActorOf(const THTTPSession& session, const TRights& rights) {
  TClientObject actor;
  actor.PlayerID = 0;  // no player: the notices name nobody as the actor
  actor.ChannelID = -1;
  actor.LogInName = CutText(session.Value("username"), TClientObject::TextFieldSize);
  actor.NickName = actor.LogInName;
  actor.Priviliges = rights.ServerAdmin ? SERVERPRIV_ADMIN : 0;
  return actor;
}

std::string TWebConsole::FormToken(THTTPSession& session) {
  std::scoped_lock guard(session);
  std::string token = session.Value(FormTokenKey);
  if (token.empty()) {
    token = THTTPSessionList::NewSessionID();
    session.SetValue(FormTokenKey, token);
  }
  return token;
}

bool TWebConsole::FormTokenMatches(THTTPSession& session, std::string_view token) {
  const std::string expected = session.Value(FormTokenKey);
  if (expected.empty() || token.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(token[i] ^ expected[i]);
  }
  return difference == 0;
}

void TWebConsole::SetNotice(THTTPSession& session, bool ok, const std::string& text) {
  std::scoped_lock guard(session);
  session.SetValue(NoticeKey, text);
  session.SetValue(NoticeKindKey, ok ? "ok" : "error");
}

std::string TWebConsole::TakeNotice(THTTPSession& session) {
  std::scoped_lock guard(session);
  const std::string text = session.Value(NoticeKey);
  if (text.empty()) return {};
  const bool ok = session.Value(NoticeKindKey) == "ok";
  session.SetValue(NoticeKey, "");
  session.SetValue(NoticeKindKey, "");
  const std::string kind = ok ? "notice-ok\" role=\"status" : "notice-error\" role=\"alert";
  return "<div class=\"notice " + kind + "\">" + HTMLEscape(text) + "</div>";
}

void TWebConsole::NoteLoginFailed(THTTPSession& session, bool failed) {
  session.SetValue(LoginFailedKey, failed ? "1" : "");
}

void TWebConsole::LogAction(const THTTPRequestInfo& request, const THTTPSession& session,
                            std::string_view action, bool done, std::string_view words) {
  LogFmt(done ? LMTALL : LMTWARNING, LMDIMPORTANT, LogCategory, "%1 from %2: %3 %4: %5",
         {OneLogLine(session.Value("username")), request.RemoteIP, action,
          done ? "done" : "refused", OneLogLine(words)});
}

bool TWebConsole::ReadSample(TServerObject& server, TTrafficSample& sample) {
  TLockGuard<TMutex> players(server.Players.Lock);
  if (!server.PacketBuffer) return false;
  sample.TimeMs = UnixNowMs();
  sample.Players = uint32_t(server.Players.Items.size());
  server.PacketBuffer->GetTotals(sample.PacketsSent, sample.PacketsReceived, sample.BytesSent,
                                 sample.BytesReceived);
  return true;
}

bool TWebConsole::TakeProbe(const std::string& section, TTrafficSample& sample) {
  std::shared_lock settings(SettingsLock());
  const std::shared_ptr<TServerObject> server = Manager.FindServerByName(section);
  return server && ReadSample(*server, sample);
}

std::string TWebConsole::ChartsOf(TServerObject& server) {
  std::vector<TTrafficSample> samples = Live.Watch(server.ConfigName);
  // The charts end with the figures of this moment.
  TTrafficSample now;
  if (ReadSample(server, now)) samples.push_back(now);
  return TrafficChartsHTML(samples, UnixNowMs());
}

void TWebConsole::ServeLiveFigures(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  std::shared_lock settings(SettingsLock());
  const std::shared_ptr<TServerObject> server = SessionServer(*request.Session);
  response.ContentType = "application/json";
  response.CustomHeaders.push_back({"Cache-Control", "no-store"});
  TTrafficSample now;
  if (!server || !ReadSample(*server, now)) {
    response.ResponseNo = 404;
    response.ContentText = "{}";
    return;
  }
  size_t channels = 0;
  {
    TLockGuard<TMutex> players(server->Players.Lock);
    if (server->Channels) {
      TLockGuard<TChannels> channelLock(*server->Channels);
      channels = server->Channels->Count();
    }
  }
  const double days = TDateTime::Now().Value - server->StartTime.Value;
  response.ContentText = "{\"uptime\":" + JSONString(WebUptimeText(int64_t(days * 86400.0))) +
                         ",\"users\":" + std::to_string(now.Players) +
                         ",\"maxUsers\":" + std::to_string(server->Settings()->ServerMaxUsers) +
                         ",\"channels\":" + std::to_string(channels) +
                         ",\"packetsSent\":" + std::to_string(now.PacketsSent) +
                         ",\"bytesSent\":" + std::to_string(now.BytesSent) +
                         ",\"packetsReceived\":" + std::to_string(now.PacketsReceived) +
                         ",\"bytesReceived\":" + std::to_string(now.BytesReceived) +
                         ",\"charts\":" + JSONString(ChartsOf(*server)) + "}";
}

void TWebConsole::AddMarkers(const std::string& upperPage, THTTPRequestInfo& request,
                             TWebMarkers& markers) {
  if (!request.Session) return;
  THTTPSession& session = *request.Session;
  const auto set = [&markers](const char* marker, std::string value) {
    markers.emplace_back(marker, std::move(value));
  };
  if (Wants(upperPage, "%!LOGIN_FAILED!%")) {
    std::string notice;
    if (session.Value(LoginFailedKey) == "1") {
      NoteLoginFailed(session, false);
      notice =
          "<p class=\"notice notice-error\" role=\"alert\">Sign-in failed: the login name, the "
          "password or the server is wrong, or the account may not administer servers.</p>";
    }
    set("%!LOGIN_FAILED!%", notice);
  }
  if (session.Value("LOGGEDIN") != "1") return;

  const std::string document = LowerCaseAscii(request.Document);
  for (const TNavEntry& entry : Navigation) {
    bool current = false;
    for (const char* page : entry.Pages) current = current || document == page;
    set(entry.Marker, current ? " aria-current=\"page\"" : "");
  }
  const std::string token = FormToken(session);
  set("%%FORM_TOKEN%%", token);
  if (Wants(upperPage, "%!CONSOLE_NOTICE!%")) set("%!CONSOLE_NOTICE!%", TakeNotice(session));

  const std::shared_ptr<TServerObject> server = SessionServer(session);
  const TRights rights = RightsOf(session, server.get());
  if (Wants(upperPage, "%!CONSOLE_SERVERS!%")) {
    set("%!CONSOLE_SERVERS!%", rights.SuperAdmin
                                   ? ServerRows(session, token)
                                   : "<p>Managing servers needs the super server administrator "
                                     "right.</p>");
  }
  if (Wants(upperPage, "%!CONSOLE_LOG!%")) {
    set("%!CONSOLE_LOG!%", rights.SuperAdmin
                               ? LogBlock(request)
                               : "<p>Reading the log needs the super server administrator "
                                 "right.</p>");
  }
  if (!server) return;
  if (Wants(upperPage, "%!CONSOLE_PLAYERS!%")) {
    set("%!CONSOLE_PLAYERS!%", PlayerRows(*server, rights));
  }
  if (Wants(upperPage, "%!CONSOLE_PLAYER!%")) {
    set("%!CONSOLE_PLAYER!%", PlayerPanel(*server, request, rights, token));
  }
  if (Wants(upperPage, "%!CONSOLE_CHANNELS!%")) {
    set("%!CONSOLE_CHANNELS!%", ChannelTree(*server, token));
  }
  if (Wants(upperPage, "%!CONSOLE_CHANNEL_FIELDS!%")) {
    set("%!CONSOLE_CHANNEL_FIELDS!%", ChannelCreateFields(*server));
  }
  if (Wants(upperPage, "%!CONSOLE_CHANNEL!%")) {
    set("%!CONSOLE_CHANNEL!%", ChannelPanel(*server, request, token));
  }
  if (Wants(upperPage, "%!CONSOLE_CHARTS!%")) {
    set("%!CONSOLE_CHARTS!%", ChartsOf(*server));
  }
}

}  // namespace vx
