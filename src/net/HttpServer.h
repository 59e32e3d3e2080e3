// The HTTP/1.1 server: one listening thread, one thread per connection,
// keep-alive, GET/POST/HEAD handed to a request hook, cookie sessions tied to
// the client address, and whole files served with their MIME type.
//
// Guards against slow or hostile clients: the request line and headers, the
// body, the number of connections and the idle time of a connection are
// capped.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"
#include "net/HttpMime.h"
#include "net/HttpRequest.h"
#include "net/HttpSession.h"

namespace vx {

class EHTTPServer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the request hook answers. Unset fields give "200 OK" with an empty
// body.
class THTTPResponseInfo {
 public:
  THTTPResponseInfo() = default;
  ~THTTPResponseInfo();
  THTTPResponseInfo(const THTTPResponseInfo&) = delete;
  THTTPResponseInfo& operator=(const THTTPResponseInfo&) = delete;

  int ResponseNo = 200;
  std::string ResponseText;  // empty: the standard reason text of ResponseNo
  std::string ContentType;
  std::string ContentText;
  // Content length announced; -1: the length of the body (text or file).
  int64_t ContentLength = -1;
  std::string Location;
  // Close the connection after this response.
  bool CloseConnection = false;
  std::vector<THTTPHeader> CustomHeaders;

  // Status 302 with a Location header.
  void Redirect(const std::string& url);
  // Sends the whole file as the body; false when it cannot be opened as a
  // regular file (the response is then left as it was).
  bool ServeFile(const std::string& path, const std::string& contentType);

  bool HasFileBody() const { return BodyFile >= 0; }
  int64_t BodyLength() const;

 private:
  friend class THTTPServer;
  int BodyFile = -1;
  int64_t BodyFileSize = 0;
};

class THTTPServer {
 public:
  using TCommandHook = std::function<void(THTTPRequestInfo&, THTTPResponseInfo&)>;
  using TSessionHook = std::function<void(THTTPSession&)>;
  // Returns whether to go on with a request whose session cookie is not
  // valid; unset means stop.
  using TInvalidSessionHook = std::function<bool(THTTPRequestInfo&)>;

  THTTPServer();
  ~THTTPServer();  // stops
  THTTPServer(const THTTPServer&) = delete;
  THTTPServer& operator=(const THTTPServer&) = delete;

  // Set up before Start.
  TCommandHook OnCommandGet;
  TSessionHook OnSessionStart;
  TInvalidSessionHook OnInvalidSession;
  bool SessionState = true;      // sessions on
  bool AutoStartSession = true;  // a request without a session cookie gets a new session
  bool KeepAlive = true;         // keep connections open between requests
  THTTPLimits Limits;
  size_t MaxConnections = 64;
  // So that one address cannot take every place; beyond it: 503 too.
  size_t MaxConnectionsPerAddress = 8;
  int IdleTimeoutMs = 30000;  // a request must arrive within this time
  std::string SessionCookieName = "VXSESSIONID";
  std::string ServerSoftware = "VX-HTTP";
  // Added to every response.
  std::vector<THTTPHeader> DefaultHeaders;
  // The table ServeFile-style answers of the hook may use.
  THTTPMIMETable MIMETable;

  // Binds the port (0: any free port) on the address (empty: all) and
  // starts the listening and session cleaning threads. Raises EHTTPServer.
  void Start(uint16_t port, const std::string& bindAddress);
  // Ends every thread: the listener, the connections (their sockets are shut
  // down, a running request is finished first) and the cleaner.
  void Stop();
  bool Active() const { return Running.load(); }
  uint16_t BoundPort() const { return LocalPort; }

  THTTPSessionList& Sessions() { return SessionList; }
  void SetSessionTimeoutMs(int64_t ms) { SessionList.SetTimeoutMs(ms); }
  // Discards the session; the current response then clears its cookie.
  void EndSession(THTTPSession& session);
  // Gives the request's session a new identifier (see
  // THTTPSessionList::RenewSession); the current response carries the new
  // cookie. For a login, so that an identifier known before it is worthless.
  void RenewSession(THTTPRequestInfo& request);
  // For hooks that must hold back their answer: sleeps until the moment;
  // false when the server began to stop first.
  bool WaitUntil(std::chrono::steady_clock::time_point moment);

  // Connections being served now.
  size_t ConnectionCount() const;

 private:
  struct TConnection;

  void ListenLoop();
  void CleanerLoop();
  void ReapConnections(bool all);
  void ServeConnection(TConnection* connection);
  // Runs the session rule and the hook; false when the request was stopped
  // by the invalid-session rule.
  void HandleRequest(THTTPRequestInfo& request, THTTPResponseInfo& response,
                     std::vector<std::string>& cookies);
  bool WriteResponse(int fd, const THTTPRequestInfo* request, THTTPResponseInfo& response,
                     const std::vector<std::string>& cookies, bool close);
  std::string CookieHeader(const std::string& value, bool clear) const;

  THTTPSessionList SessionList;
  int ListenSocket = -1;
  int StopPipe[2] = {-1, -1};
  uint16_t LocalPort = 0;
  std::atomic<bool> Running{false};
  std::atomic<bool> Stopping{false};
  std::thread Listener;
  std::thread Cleaner;
  std::mutex CleanerLock;
  std::condition_variable CleanerWake;

  mutable TMutex ConnectionsLock;
  std::list<std::unique_ptr<TConnection>> Connections VX_GUARDED_BY(ConnectionsLock);
};

}  // namespace vx
