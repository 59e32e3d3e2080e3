// The commands of the web pages: documents ending in ".vxcmd" that change
// the login state, the settings of a server or its accounts, and answer
// with a redirect.
#include <mutex>
#include <shared_mutex>

#include "admin/webconsole_u.h"
#include "admin/webinterface_tools.h"
#include "admin/webinterface_u.h"
#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/zevevira_users_u.h"
#include "host/IniFile.h"
#include "host/logdebug.h"
#include "net/HttpEncoding.h"
#include "server/serverobject_u.h"

namespace vx {

namespace {

constexpr const char* LogCategory = "WEBINTERFACE";
constexpr const char* ErrorTitle = "error occured";
constexpr const char* OkTitle = "operation successfully";
constexpr const char* IndexPage = "index.html";
constexpr uint16_t ServerAdminPrivilege = 1;
constexpr uint16_t SuperServerAdminPrivilege = 8;
// An account change that could not be written to disk (the log names the
// reason); nothing was changed.
constexpr const char* NotSavedMessage = "user %1 not changed, the database could not be saved";

}  // namespace

void TWebInterface::Progress_COMMAND(const std::string& document, THTTPResponseInfo& response,
                                     bool& handled, THTTPRequestInfo& request) {
  handled = true;
  try {
    std::string command = UpperCaseAscii(document);
    if (!command.empty()) command.erase(0, 1);
    if (!request.Session) return;
    if (command == "LOGOUT.VXCMD") {
      CommandLogout(request, response);
      return;
    }
    if (command == "LOGIN.VXCMD") {
      CommandLogin(request, response);
      return;
    }
    const std::shared_ptr<TServerObject> server = SelectedServer(request);
    if (!server) DisplayError(ErrorTitle, "your selected server is invalid", response, IndexPage);
    if (command == "ASK_DELETE_CLIENT.VXCMD") {
      CommandAskDeleteClient(request, response);
      return;
    }
    if (!server) return;
    if (command == "SETTINGS_SERVER.VXCMD") {
      CommandSettingsServer(*server, request, response);
    } else if (command == "DELETE_CLIENT.VXCMD") {
      CommandDeleteClient(*server, request, response);
    } else if (command == "ADD_CLIENT.VXCMD") {
      CommandAddClient(*server, request, response);
    } else if (command == "EDIT_CLIENT.VXCMD") {
      CommandEditClient(*server, request, response);
    }
  } catch (const std::exception& e) {
    LogWebException("Progress_COMMAND", e);
  }
}

void TWebInterface::CommandLogout(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  THTTPSession& session = *request.Session;
  {
    std::scoped_lock guard(session);
    session.SetValue("password", "");
    session.SetValue("username", "");
    session.SetValue("serverport", "");
    session.SetValue("loggedin", "0");
    session.SetValue("serverid", "");
    session.SetValue("superadmin", "0");
  }
  response.Redirect("login.html");
  response.CloseConnection = true;
}

void TWebInterface::CommandLogin(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  THTTPSession& session = *request.Session;
  const std::string username = request.Param("username");
  const std::string password = request.Param("password");
  const std::string serverPort = request.Param("serverport");
  response.Redirect("login.html");
  response.CloseConnection = true;
  // Guesses from an address that failed too often are answered late, or
  // refused unchecked (after the longest wait) once too many of them wait.
  const auto now = TLoginThrottle::TClock::now();
  auto answerAt = Throttle->ReserveAnswer(request.RemoteIP, now);
  const bool refused = answerAt == TLoginThrottle::Refused;
  if (refused) answerAt = now + Throttle->GetLimits().MaxDelay;
  if (Server && !Server->WaitUntil(answerAt)) return;
  std::scoped_lock guard(session);
  session.SetValue("password", "");
  session.SetValue("username", "");
  session.SetValue("serverport", "0");
  session.SetValue("loggedin", "0");
  if (refused) {
    TWebConsole::NoteLoginFailed(session, true);
    LogFmt(LMTWARNING, LMDALL, LogCategory,
           "LOGIN.VXCMD: login of %1 from %2 refused, too many failed logins",
           {CutText(username, 29), request.RemoteIP});
  } else if (CheckLogin(session, username, password, serverPort)) {
    session.SetValue("password", password);
    session.SetValue("username", username);
    session.SetValue("serverport", serverPort);
    session.SetValue("loggedin", "1");
    TWebConsole::NoteLoginFailed(session, false);
    // A session identifier that someone knew before the login is worthless.
    if (Server) Server->RenewSession(request);
    LogFmt(LMTWARNING, LMDINFO, LogCategory, "LOGIN.VXCMD: %1 logged in from %2",
           {CutText(username, 29), request.RemoteIP});
    response.Redirect(IndexPage);
  } else {
    TWebConsole::NoteLoginFailed(session, true);
    Throttle->RecordFailure(request.RemoteIP, TLoginThrottle::TClock::now());
    LogFmt(LMTWARNING, LMDALL, LogCategory, "LOGIN.VXCMD: invalid login of %1 from %2",
           {CutText(username, 29), request.RemoteIP});
    response.Redirect("login.html");
  }
}

void TWebInterface::CommandSettingsServer(TServerObject& server, THTTPRequestInfo& request,
                                          THTTPResponseInfo& response) {
  {
    // Pages wait while the settings change and the server restarts.
    std::unique_lock guard(*SettingsLock.load());
    auto settings = std::make_shared<TServerSettings>(*server.Settings());
    settings->ServerName = CutText(request.Param("SERVERNAME"), 29);
    settings->ServerWelcomeMessage = CutText(request.Param("SERVERWELCOMEMESSAGE"), 255);
    int32_t maxUsers = 0;
    if (TIniFile::ParseInteger(request.Param("SERVERMAXUSERS"), maxUsers) && maxUsers >= 0 &&
        maxUsers <= 65535) {
      settings->ServerMaxUsers = uint16_t(maxUsers);
    }
    settings->ServerPassword = CutText(TrimText(request.Param("SERVERPASSWORD")), 29);
    const std::string type = request.Param("SERVERTYPE");
    if (type == "1") settings->ServerType = SERVERTYPE_CLAN | SERVERTYPE_RUNNING;
    if (type == "2") settings->ServerType = SERVERTYPE_PUBLIC | SERVERTYPE_RUNNING;
    const std::string registerType = request.Param("SERVERREGISTERTYPE");
    if (registerType == "1") settings->ServerFlags &= uint16_t(~SERVERFLAG_ANYONE_REGISTERS);
    if (registerType == "2") settings->ServerFlags |= SERVERFLAG_ANYONE_REGISTERS;
    const std::string channelMode = request.Param("SERVERREGISTERCHANNELMODE");
    if (channelMode == "1") settings->ServerFlags &= uint16_t(~SERVERFLAG_ANYONE_CREATES_CHANNELS);
    if (channelMode == "2") settings->ServerFlags |= SERVERFLAG_ANYONE_CREATES_CHANNELS;
    settings->AllowCodecCelp51 = request.Param("CODECCelp51") == "1";
    settings->AllowCodecCelp63 = request.Param("CODECCelp63") == "1";
    settings->AllowCodecGSM148 = request.Param("CODECGSM148") == "1";
    settings->AllowCodecGSM164 = request.Param("CODECGSM164") == "1";
    settings->AllowCodecWindowsCELP52 = request.Param("CODECWindowsCELP52") == "1";
    settings->WebPost_LinkURL = CutText(TrimText(request.Param("SERVERWEBPOSTLINKURL")), 255);
    server.ReplaceSettings(std::move(settings));
    server.SaveSettings(nullptr);
    Manager.RestartServers(server.ConfigName);
  }
  DisplayOk(OkTitle, "server config was changed and will be restarted now", response, IndexPage);
}

void TWebInterface::CommandAskDeleteClient(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  const std::string client = request.Param("CLIENT");
  request.Session->SetValue("CLIENT_TO_DELETE", client);
  DisplayChoice("please choose", WebMessage("you really want do delete %1", client),
                "DELETE_CLIENT.VXCMD?client=" + URLEncode(client), IndexPage, "yes", "no",
                response);
}

void TWebInterface::CommandDeleteClient(TServerObject& server, THTTPRequestInfo& request,
                                        THTTPResponseInfo& response) {
  THTTPSession& session = *request.Session;
  // The account named when asking, not the one in the link.
  const std::string client = session.Value("CLIENT_TO_DELETE");
  TZeveVira* database = Manager.Database();
  const TAccountResult deleted =
      database != nullptr ? TZeveViraUsers(*database).DeleteUser(server.ConfigName, client)
                          : TAccountResult{};
  if (deleted) {
    DisplayOk(OkTitle, WebMessage("user %1 deleted", client), response, IndexPage);
  } else if (deleted.Status == TAccountStatus::NotSaved) {
    DisplayError(ErrorTitle, WebMessage(NotSavedMessage, client), response, IndexPage);
  } else {
    DisplayError(ErrorTitle,
                 WebMessage("user %1 not deleted, user was not found in database", client),
                 response, IndexPage);
  }
  session.SetValue("CLIENT_TO_DELETE", "");
}

void TWebInterface::CommandAddClient(TServerObject& server, THTTPRequestInfo& request,
                                     THTTPResponseInfo& response) {
  THTTPSession& session = *request.Session;
  const std::string password = request.Param("CLIENTPW1");
  if (password != request.Param("CLIENTPW2")) {
    DisplayError(ErrorTitle, "the passwords dont match", response, IndexPage);
    return;
  }
  TClientObject account;
  account.LogInName = CutText(request.Param("CLIENTLOGINNAME"), 29);
  account.LogInPassWord = CutText(password, 29);
  account.Priviliges = 0;
  account.RegisteredBy = CutText(session.Value("username"), 29);
  if (request.Param("CLIENTSERVERADMIN") == "1") account.Priviliges |= ServerAdminPrivilege;
  if (session.Value("superadmin") == "1" && request.Param("CLIENTSUPERSERVERADMIN") == "1") {
    account.Priviliges |= SuperServerAdminPrivilege;
  }
  TZeveVira* database = Manager.Database();
  const TAccountResult added = database != nullptr
                                   ? TZeveViraUsers(*database).AddUser(server.ConfigName, account)
                                   : TAccountResult{};
  if (added.Status == TAccountStatus::NotSaved) {
    DisplayError(ErrorTitle, WebMessage(NotSavedMessage, account.LogInName), response, IndexPage);
    return;
  }
  if (!added) {
    DisplayError(ErrorTitle, "a user with name already exists", response, IndexPage);
    return;
  }
  DisplayOk(OkTitle, WebMessage("the user %1 was added to server", account.LogInName), response,
            IndexPage);
}

void TWebInterface::CommandEditClient(TServerObject& server, THTTPRequestInfo& request,
                                      THTTPResponseInfo& response) {
  THTTPSession& session = *request.Session;
  const std::string client = request.Param("CLIENT");
  TZeveVira* database = Manager.Database();
  if (database != nullptr) {
    TZeveViraUsers users(*database);
    if (const auto account = users.GetUser(server.ConfigName, client, false)) {
      const std::string password = request.Param("CLIENTPW1");
      if (!password.empty()) {
        if (password != request.Param("CLIENTPW2")) {
          DisplayError(ErrorTitle, "the passwords dont match", response, IndexPage);
          return;
        }
        account->LogInPassWord = CutText(password, 29);
      }
      if (request.Param("CLIENTSERVERADMIN") == "1") {
        account->Priviliges |= ServerAdminPrivilege;
      } else {
        account->Priviliges &= uint16_t(~ServerAdminPrivilege);
      }
      if (session.Value("superadmin") == "1") {
        if (request.Param("CLIENTSUPERSERVERADMIN") == "1") {
          account->Priviliges |= SuperServerAdminPrivilege;
        } else {
          account->Priviliges &= uint16_t(~SuperServerAdminPrivilege);
        }
      }
      if (users.StoreUser(server.ConfigName, *account).Status == TAccountStatus::NotSaved) {
        DisplayError(ErrorTitle, WebMessage(NotSavedMessage, client), response, IndexPage);
        return;
      }
      // The own session keeps passing the login check.
      if (!password.empty() && session.Value("username") == account->LogInName) {
        session.SetValue("password", account->LogInPassWord);
      }
    }
  }
  DisplayOk(OkTitle, WebMessage("the user %1 was edited", client), response, IndexPage);
}

}  // namespace vx
