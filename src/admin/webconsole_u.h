// The live console of the web interface: the players online, the channel
// tree, the virtual servers and the log, the actions on them, and the live
// figures of the overview.
//
// Every action is a form post of a logged-in session that carries the
// session's form token. It is carried out by the same operations as the
// UDP and query commands, with the administrator acting as a server admin
// who is no player (player id 0) when the account has the server-admin
// right on the session's server, and as a player without privileges
// otherwise, so the rules of the voice protocol refuse what the account
// could not do in the voice client either. Adding, starting, stopping and
// restarting servers and reading the log need the super-server-admin right.
// Each action is logged with the administrator's name and address, and
// answered with a redirect back to its page, which shows the outcome once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "admin/webconsole_live.h"
#include "admin/webinterface_tools.h"
#include "domain/clientobject_u.h"
#include "net/HttpServer.h"

namespace vx {

class TServerManager;
class TServerObject;

class TWebConsole {
 public:
  // settingsLock yields the lock that the administration interfaces hold
  // shared while they read servers and exclusively while they replace one.
  TWebConsole(TServerManager& manager, std::function<std::shared_mutex&()> settingsLock);
  ~TWebConsole();
  TWebConsole(const TWebConsole&) = delete;
  TWebConsole& operator=(const TWebConsole&) = delete;

  // Runs the console's command named by the document of a logged-in
  // request; false when the document names none of them.
  bool HandleRequest(THTTPRequestInfo& request, THTTPResponseInfo& response);
  // Adds the console's markers that the page (upper-cased) holds. The
  // caller holds the settings lock shared.
  void AddMarkers(const std::string& upperPage, THTTPRequestInfo& request, TWebMarkers& markers);

  // Notes the outcome of a sign-in for the login page.
  static void NoteLoginFailed(THTTPSession& session, bool failed);

  TLiveFigures& LiveFigures() { return Live; }

  // The log page reads at most this much of the end of the log file.
  static constexpr size_t MaxLogTail = 1024 * 1024;
  static constexpr size_t LogPageSize = 100;

 private:
  // What the session may do on its server.
  struct TRights {
    bool ServerAdmin = false;  // the account's server-admin right there
    bool SuperAdmin = false;   // the session's super-server-admin right
  };
  // What an action did, in words for the page's notice and the log, and the
  // page to return to (empty: the action's own).
  struct TOutcome {
    bool Done = false;
    std::string Words;
    std::string Back;
  };
  struct TActionContext {
    THTTPRequestInfo& Request;
    THTTPSession& Session;
    std::shared_ptr<TServerObject> Server;  // the session's server, may be null
    TRights Rights;
    TClientObject Actor;  // the administrator as a sender of commands
  };
  using TAction = TOutcome (TWebConsole::*)(TActionContext&);
  struct TActionEntry {
    const char* Name;
    TAction Run;
    bool SuperAdmin;  // needs the super-server-admin right
    bool NeedsServer;
    const char* Back;  // the page to return to when refused before it runs
  };
  static const TActionEntry Actions[];

  void RunAction(const TActionEntry& entry, THTTPRequestInfo& request, THTTPResponseInfo& response);
  void ServeLiveFigures(THTTPRequestInfo& request, THTTPResponseInfo& response);
  std::shared_ptr<TServerObject> SessionServer(const THTTPSession& session);
  TRights RightsOf(const THTTPSession& session, const TServerObject* server);
  static TClientObject ActorOf(const THTTPSession& session, const TRights& rights);
  // The session's form token, made when it has none.
  static std::string FormToken(THTTPSession& session);
  static bool FormTokenMatches(THTTPSession& session, std::string_view token);
  static void SetNotice(THTTPSession& session, bool ok, const std::string& text);
  static std::string TakeNotice(THTTPSession& session);
  static void LogAction(const THTTPRequestInfo& request, const THTTPSession& session,
                        std::string_view action, bool done, std::string_view words);
  // The totals and players of the server now; false when it is not running.
  // The caller holds the settings lock shared.
  static bool ReadSample(TServerObject& server, TTrafficSample& sample);
  bool TakeProbe(const std::string& section, TTrafficSample& sample);
  std::string ChartsOf(TServerObject& server);

  // Players.
  // An operation on the player that the form names, with the server's
  // players and channels locked: it returns the operation's result and
  // completes the outcome of its success, which starts with the nickname.
  using TPlayerAction = std::function<int32_t(uint32_t playerID, TOutcome& done)>;
  TOutcome OnPlayer(TActionContext& c, const TPlayerAction& act);
  TOutcome ActKick(TActionContext& c);
  TOutcome ActKickFromChannel(TActionContext& c);
  TOutcome ActMove(TActionContext& c);
  TOutcome ActPrivilege(TActionContext& c);
  std::string PlayerRows(TServerObject& server, const TRights& rights);
  std::string PlayerPanel(TServerObject& server, THTTPRequestInfo& request, const TRights& rights,
                          const std::string& token);
  // Channels.
  TOutcome ActChannelCreate(TActionContext& c);
  TOutcome ActChannelChange(TActionContext& c);
  TOutcome ActChannelDelete(TActionContext& c);
  std::string ChannelTree(TServerObject& server, const std::string& token);
  std::string ChannelCreateFields(TServerObject& server);
  std::string ChannelPanel(TServerObject& server, THTTPRequestInfo& request,
                           const std::string& token);
  // Servers.
  TOutcome ActServerAdd(TActionContext& c);
  TOutcome ActServerStart(TActionContext& c);
  TOutcome ActServerStop(TActionContext& c);
  TOutcome ActServerRestart(TActionContext& c);
  std::string ServerRows(const THTTPSession& session, const std::string& token);
  // Log.
  std::string LogBlock(THTTPRequestInfo& request);

  TServerManager& Manager;
  std::function<std::shared_mutex&()> SettingsLock;
  TLiveFigures Live;
};

// Words for the error codes of the channel and player operations.
std::string RefusalText(int32_t errorCode);

}  // namespace vx
