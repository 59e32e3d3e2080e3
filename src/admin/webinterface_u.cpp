#include "admin/webinterface_u.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "admin/webconsole_u.h"
#include "admin/webinterface_tools.h"
#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/zevevira_users_u.h"
#include "host/IniFile.h"
#include "host/TimeTools.h"
#include "host/logdebug.h"
#include "net/HttpEncoding.h"
#include "server/serverobject_u.h"

namespace vx {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogCategory = "WEBINTERFACE";
// The super-server-admin right of an account.
constexpr uint16_t SuperServerAdminPrivilege = 8;

// The names of a path, without empty and "." parts.
std::vector<std::string> PathParts(const fs::path& p) {
  std::vector<std::string> parts;
  for (const auto& part : p) {
    const std::string s = part.string();
    if (!s.empty() && s != ".") parts.push_back(s);
  }
  return parts;
}

// Path segments percent-encoded, the slashes kept.
std::string EncodePath(std::string_view path) {
  std::string out;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    out += URLEncode(path.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

}  // namespace

TWebInterface::TWebInterface(TServerManager& manager)
    : Manager(manager),
      ConsoleObject(std::make_unique<TWebConsole>(
          manager, [this]() -> std::shared_mutex& { return *SettingsLock.load(); })) {}

TWebInterface::~TWebInterface() {
  Stop();
}

bool TWebInterface::Init(int32_t port, const std::string& documentRoot) {
  return Start(port, documentRoot, Manager.MainConfig.BoundToIp);
}

bool TWebInterface::Start(int32_t port, const std::string& documentRoot,
                          const std::string& bindAddress) {
  Stop();
  try {
    SetDocumentRoot(documentRoot);
    MIMETable = THTTPMIMETable();
    MIMETable.LoadPlatformTypes();
    auto server = std::make_unique<THTTPServer>();
    server->MIMETable = MIMETable;
    server->SessionState = true;
    server->AutoStartSession = true;
    server->KeepAlive = true;
    server->SetSessionTimeoutMs(SessionTimeoutMs);
    server->IdleTimeoutMs = IdleTimeoutMs;
    server->MaxConnections = MaxConnections;
    server->MaxConnectionsPerAddress = MaxConnectionsPerAddress;
    // A request with an unknown or expired session is not processed.
    server->OnInvalidSession = [](THTTPRequestInfo&) { return false; };
    server->OnSessionStart = [this](THTTPSession& session) { HTTPServerSessionStart(session); };
    server->OnCommandGet = [this](THTTPRequestInfo& request, THTTPResponseInfo& response) {
      HTTPServerCommandGet(request, response);
    };
    // The pages need no scripts and no other site; browsers are told so.
    server->DefaultHeaders = {
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; connect-src 'self'; "
         "style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
         "form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
    };
    if (port < 0 || port > 65535) throw EHTTPServer("port out of range");
    server->Start(uint16_t(port), bindAddress);
    Server = std::move(server);
    return true;
  } catch (const std::exception& e) {
    Server.reset();
    LogWebException("Init", e);
    return false;
  }
}

void TWebInterface::SetDocumentRoot(const std::string& documentRoot) {
  DocRootPath = fs::absolute(fs::path(documentRoot)).lexically_normal().string();
  while (DocRootPath.size() > 1 && DocRootPath.back() == '/') DocRootPath.pop_back();
}

void TWebInterface::Stop() {
  if (Server) Server->Stop();
  Server.reset();
}

uint16_t TWebInterface::BoundPort() const {
  return Server ? Server->BoundPort() : 0;
}

bool TWebInterface::Active() const {
  return Server && Server->Active();
}

std::string TWebInterface::GetMIMEType(const std::string& fileName) const {
  try {
    return MIMETable.GetFileMIMEType(fileName);
  } catch (const std::exception& e) {
    LogWebException("GetMIMEType", e);
    return "application/octet-stream";
  }
}

void TWebInterface::HTTPServerSessionStart(THTTPSession& session) {
  try {
    session.SetValue("StartTime", TDateTime::Now().Format("yyyy-mm-dd hh:nn:ss"));
  } catch (const std::exception& e) {
    LogWebException("HTTPServerSessionStart", e);
  }
}

std::string TWebInterface::DocumentFile(const std::string& relative) const {
  std::string joined = DocRootPath;
  if (relative.empty() || relative[0] != '/') joined += '/';
  joined += relative;
  const std::string file = fs::path(joined).lexically_normal().string();
  return InsideDocRoot(file) ? file : std::string();
}

bool TWebInterface::InsideDocRoot(const std::string& fileName) const {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(DocRootPath, ec);
  if (ec) return false;
  const fs::path file = fs::weakly_canonical(fileName, ec);
  if (ec) return false;
  const std::vector<std::string> rootParts = PathParts(root);
  const std::vector<std::string> fileParts = PathParts(file);
  if (fileParts.size() < rootParts.size()) return false;
  for (size_t i = 0; i < rootParts.size(); ++i) {
    if (rootParts[i] != fileParts[i]) return false;
  }
  return true;
}

std::shared_ptr<TServerObject> TWebInterface::SelectedServer(THTTPRequestInfo& request) {
  if (!request.Session) return nullptr;
  const std::string id = request.Session->Value("serverid");
  if (id.empty()) return nullptr;
  return Manager.FindServerByName(id);
}

void TWebInterface::AccessDenied(THTTPResponseInfo& response) {
  response.ResponseNo = 403;
  response.ContentType = "text/html";
  response.ContentText =
      "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
      "You do not have sufficient priviligies to access this document.</body></html>";
  response.CloseConnection = true;
}

bool TWebInterface::CheckLogin(THTTPSession& session, std::string_view logInName,
                               std::string_view password, std::string_view portText) {
  const std::string name = CutText(logInName, 29);
  const std::string pw = CutText(password, 29);
  const std::string port = CutText(portText, 29);
  std::scoped_lock guard(session);
  session.SetValue("serverid", "");
  session.SetValue("superadmin", "0");
  int32_t portNumber = 0;
  if (!TIniFile::ParseInteger(port, portNumber)) return false;
  const std::shared_ptr<TServerObject> server = Manager.FindServerByPort(portNumber);
  TZeveVira* database = Manager.Database();
  if (!server || database == nullptr) return false;
  TZeveViraUsers users(*database);
  const auto passes = [&](const std::string& serverKey) {
    const auto account = users.GetUser(serverKey, name, false);
    return account && (account->Priviliges & SuperServerAdminPrivilege) != 0 &&
           account->LogInPassWord == pw;
  };
  bool passed = false;
  for (const auto& [sectionName, s] : Manager.ServerList()) {
    if (passes(sectionName)) {
      passed = true;
      break;
    }
  }
  if (!passed) passed = passes(server->ConfigName);
  if (passed) {
    session.SetValue("superadmin", "1");
    session.SetValue("serverid", server->ConfigName);
  }
  return passed;
}

void TWebInterface::HTTPServerCommandGet(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  try {
    bool handled = false;
    const std::string lowerDocument = LowerCaseAscii(request.Document);
    THTTPSession* session = request.Session.get();
    if (session == nullptr || session->Value("LOGGEDIN") != "1") {
      if (lowerDocument.find(".vxcmd") != std::string::npos) {
        Progress_COMMAND(request.Document, response, handled, request);
      } else {
        // Nothing else is reachable before login.
        Progress_FILE(DocRootPath + "/login.html", response, handled, request);
      }
      return;
    }
    if (!CheckLogin(*session, session->Value("username"), session->Value("password"),
                    session->Value("serverport"))) {
      AccessDenied(response);
      return;
    }
    if (ConsoleObject->HandleRequest(request, response)) return;
    if (lowerDocument.rfind("/session", 0) == 0) {
      ServeVirtualFolder(request, response);
      return;
    }

    std::string fileName = fs::path(DocRootPath + request.Document).lexically_normal().string();
    const std::string_view trimmed = TrimTextView(request.Document);
    std::error_code ec;
    if (trimmed == "/" || trimmed == "\\") {
      fileName = fs::path(DocRootPath + "/index.html").lexically_normal().string();
    } else if (fs::is_directory(fileName, ec) &&
               fs::is_regular_file(fs::path(fileName) / "index.html", ec)) {
      fileName = (fs::path(fileName) / "index.html").lexically_normal().string();
    }
    // Whatever the path says, nothing outside the document root is read.
    if (!InsideDocRoot(fileName)) {
      AccessDenied(response);
      return;
    }
    const std::string extension = LowerCaseAscii(fs::path(fileName).extension().string());
    if (extension.find(".htm") != std::string::npos) {
      Progress_FILE(fileName, response, handled, request);
    }
    if (!handled && extension.find(".vxcmd") != std::string::npos) {
      Progress_COMMAND(request.Document, response, handled, request);
    }
    if (handled) return;
    if (fs::is_regular_file(fileName, ec)) {
      const std::string type = GetMIMEType(fileName);
      if (request.Command == "HEAD") {
        response.ResponseNo = 200;
        response.ContentType = type;
        response.ContentLength = int64_t(fs::file_size(fileName, ec));
        if (ec) response.ContentLength = 0;
        return;
      }
      if (response.ServeFile(fileName, type)) return;
    }
    response.ResponseNo = 404;
    response.ContentType = "text/html";
    response.ContentText = "<html><head><title>Error</title></head><body><h1>" + ReasonText(404) +
                           "</h1></body></html>";
  } catch (const std::exception& e) {
    LogWebException("HTTPServerCommandGet", e);
  }
}

void TWebInterface::ServeVirtualFolder(THTTPRequestInfo& request, THTTPResponseInfo& response) {
  std::string body = "<html><head><title>Virtual folder</title></head><body>";
  const std::shared_ptr<THTTPSession> session = request.Session;
  if (SameTextAscii(request.Param("action"), "close")) {
    if (session && Server) Server->EndSession(*session);
    body += "<h1>Session cleared</h1><p><a href=\"/sessions\">Back</a></p>";
  } else if (session) {
    const std::string paramName = request.Param("ParamName");
    if (!paramName.empty()) session->SetValue(paramName, request.Param("Param"));
    std::string raw;
    for (const std::string& line : session->Content()) raw += HTMLEscape(line) + "\n";
    const std::string self = HTMLEscape(EncodePath(request.Document));
    body += "<h1>Session informations</h1><table border=1>";
    body += "<tr><td>SessionID</td><td>" + HTMLEscape(session->SessionID()) + "</td></tr>";
    body += "<tr><td>Number of page requested during this session</td><td>" +
            HTMLEscape(session->Value("NumViews")) + "</td></tr>";
    body += "<tr><td>Session data (raw)</td><td><pre>" + raw + "</pre></td></tr></table>";
    body += "<h1>Tools:</h1><h2>Add new parameter</h2>";
    body += "<form method=\"POST\" action=\"" + self +
            "\"><p>Name: <input type=\"text\" name=\"ParamName\"></p>"
            "<p>Value: <input type=\"text\" name=\"Param\"></p>"
            "<p><input type=\"submit\" value=\"Add\"> <input type=\"reset\"></p></form>";
    body += "<h2>Other:</h2><p><a href=\"" + self + "?action=close\">Close current session</a></p>";
  } else {
    body += "<p color=#FF000>No session</p>";
  }
  body += "</body></html>";
  response.ContentType = "text/HTML";
  response.ContentText = std::move(body);
}

std::string TWebInterface::ReadWholeFile(const std::string& fileName) const {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return {};
  std::string text;
  char chunk[16384];
  while (text.size() < MaxFileSize && in.read(chunk, sizeof chunk).gcount() > 0) {
    text.append(chunk, size_t(in.gcount()));
  }
  if (text.size() > MaxFileSize) text.resize(MaxFileSize);
  return text;
}

void LogWebException(std::string_view operation, const std::exception& e) {
  Log(LMTERROR, LMDALL, LogCategory, std::string(operation) + " Exception: " + e.what());
}

}  // namespace vx
