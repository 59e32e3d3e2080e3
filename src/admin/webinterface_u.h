// The browser-based administration: an HTTP server on its own port that
// serves the pages of a document directory, fills in their template markers,
// runs the ".vxcmd" commands of its forms and links, and keeps a login state
// per browser session.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/LoginThrottle.h"
#include "net/HttpMime.h"
#include "net/HttpServer.h"

namespace vx {

class TServerManager;
class TServerObject;
class TWebConsole;

class TWebInterface {
 public:
  explicit TWebInterface(TServerManager& manager);
  ~TWebInterface();  // stops the HTTP server and waits for its threads
  TWebInterface(const TWebInterface&) = delete;
  TWebInterface& operator=(const TWebInterface&) = delete;

  // Starts on the port with the document root, on the "BoundToIp" address
  // of the manager's main configuration when that is set.
  bool Init(int32_t port, const std::string& documentRoot);
  // Starts the HTTP server (bindAddress empty: every address). False, after
  // logging "Init Exception: ...", when it cannot start.
  bool Start(int32_t port, const std::string& documentRoot, const std::string& bindAddress);
  // Ends every thread of the HTTP server; sessions are discarded.
  void Stop();

  // The port actually listened on (useful with port 0).
  uint16_t BoundPort() const;
  bool Active() const;

  // Applied by Start; tests shorten them.
  int64_t SessionTimeoutMs = 3600000;
  int IdleTimeoutMs = 30000;
  size_t MaxConnections = 64;
  size_t MaxConnectionsPerAddress = 8;
  // Slows down login guesses; the process-wide one unless a test gives its own.
  TLoginThrottle* Throttle = &ProcessLoginThrottle();

  // Include expansion bounds: nesting depth, files included per page, and
  // the size a page may grow to.
  static constexpr int MaxIncludeDepth = 16;
  static constexpr int MaxIncludes = 256;
  static constexpr size_t MaxPageSize = 4 * 1024 * 1024;
  // Template and document files larger than this are not read.
  static constexpr size_t MaxFileSize = 4 * 1024 * 1024;

  // Held shared while pages read a server's settings and exclusively while
  // the settings command changes and restarts a server. The interface's own
  // lock unless it is given another one, such as the query port's
  // ServerLock(), so that both interfaces keep out of each other's way
  // (nullptr: the own lock again). Set it before requests arrive.
  void SetSettingsLock(std::shared_mutex* lock) {
    SettingsLock = lock != nullptr ? lock : &OwnSettingsLock;
  }

  const std::string DisplayName = "Vorlantix Server";
  // The live console's pages and actions.
  TWebConsole& Console() { return *ConsoleObject; }
  const std::string& DocRoot() const { return DocRootPath; }
  // Done by Start; alone, it lets the page operations run without a server.
  void SetDocumentRoot(const std::string& documentRoot);
  THTTPServer* HTTPServer() { return Server.get(); }

  // The template and message-box operations.
  std::string LoadFile(const std::string& name) const;
  bool FileCheck(const std::string& name) const;
  std::string ParseCommands(const std::string& text) const;
  std::string SetVariables(const std::string& text, THTTPRequestInfo& request,
                           THTTPResponseInfo& response);
  std::string CreateServerDropDownList();
  std::string CreateDataBaseClientList(
      THTTPRequestInfo& request, THTTPResponseInfo& response,
      const std::vector<std::pair<std::string, std::string>>& pageMarkers);
  void DisplayError(const std::string& title, const std::string& text, THTTPResponseInfo& response,
                    const std::string& url);
  void DisplayOk(const std::string& title, const std::string& text, THTTPResponseInfo& response,
                 const std::string& url);
  void DisplayChoice(const std::string& title, const std::string& text, const std::string& yesURL,
                     const std::string& noURL, const std::string& yesCaption,
                     const std::string& noCaption, THTTPResponseInfo& response);
  std::string GetMIMEType(const std::string& fileName) const;

  // The request hooks of the HTTP server.
  void HTTPServerSessionStart(THTTPSession& session);
  void HTTPServerCommandGet(THTTPRequestInfo& request, THTTPResponseInfo& response);

  void Progress_FILE(const std::string& fileName, THTTPResponseInfo& response, bool& handled,
                     THTTPRequestInfo& request);
  void Progress_COMMAND(const std::string& document, THTTPResponseInfo& response, bool& handled,
                        THTTPRequestInfo& request);
  void ServeVirtualFolder(THTTPRequestInfo& request, THTTPResponseInfo& response);

  // The login check: sets the session's "serverid" and "superadmin" and
  // tells whether the account may administer the server on that UDP port.
  bool CheckLogin(THTTPSession& session, std::string_view logInName, std::string_view password,
                  std::string_view portText);

  // Absolute, normalised form of DocRoot + "/" + relative path, or empty
  // when the path leaves the document root (compared component by
  // component after resolving links).
  std::string DocumentFile(const std::string& relative) const;
  // Whether the file, resolved, lies inside the document root.
  bool InsideDocRoot(const std::string& fileName) const;

 private:
  void AccessDenied(THTTPResponseInfo& response);
  std::shared_ptr<TServerObject> SelectedServer(THTTPRequestInfo& request);
  std::string ReadWholeFile(const std::string& fileName) const;

  void CommandLogout(THTTPRequestInfo& request, THTTPResponseInfo& response);
  void CommandLogin(THTTPRequestInfo& request, THTTPResponseInfo& response);
  void CommandSettingsServer(TServerObject& server, THTTPRequestInfo& request,
                             THTTPResponseInfo& response);
  void CommandAskDeleteClient(THTTPRequestInfo& request, THTTPResponseInfo& response);
  void CommandDeleteClient(TServerObject& server, THTTPRequestInfo& request,
                           THTTPResponseInfo& response);
  void CommandAddClient(TServerObject& server, THTTPRequestInfo& request,
                        THTTPResponseInfo& response);
  void CommandEditClient(TServerObject& server, THTTPRequestInfo& request,
                         THTTPResponseInfo& response);

  TServerManager& Manager;
  std::unique_ptr<THTTPServer> Server;
  THTTPMIMETable MIMETable;
  std::string DocRootPath;
  std::shared_mutex OwnSettingsLock;
  std::atomic<std::shared_mutex*> SettingsLock{&OwnSettingsLock};
  std::unique_ptr<TWebConsole> ConsoleObject;
};

}  // namespace vx
