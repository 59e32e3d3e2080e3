#include "net/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "common/TextTools.h"
#include "net/HttpEncoding.h"

namespace vx {

namespace {

using TSteady = std::chrono::steady_clock;

constexpr size_t ReadChunk = 16 * 1024;
constexpr size_t FileChunk = 64 * 1024;

// Milliseconds left until the deadline, at least 0.
int RemainingMs(TSteady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TSteady::now()).count();
  return left <= 0 ? 0 : int(std::min<int64_t>(left, 1 << 30));
}

// Reads what has arrived (waiting until the deadline) and appends it.
bool ReadSome(int fd, std::string& buffer, TSteady::time_point deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, RemainingMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[ReadChunk];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    buffer.append(chunk, size_t(n));
    return true;
  }
}

bool SendAll(int fd, const char* data, size_t size, TSteady::time_point deadline) {
  while (size > 0) {
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, RemainingMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// A header value without line breaks, so that nothing can add headers.
std::string HeaderValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

std::string HttpDate() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  static const char* DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", DayNames[tm.tm_wday % 7],
                tm.tm_mday, MonthNames[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

bool HandledMethod(const std::string& method) {
  return method == "GET" || method == "POST" || method == "HEAD";
}

}  // namespace

// ---------------------------------------------------------------------------
// THTTPResponseInfo

THTTPResponseInfo::~THTTPResponseInfo() {
  if (BodyFile >= 0) close(BodyFile);
}

void THTTPResponseInfo::Redirect(const std::string& url) {
  ResponseNo = 302;
  Location = url;
}

bool THTTPResponseInfo::ServeFile(const std::string& path, const std::string& contentType) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  if (BodyFile >= 0) close(BodyFile);
  BodyFile = fd;
  BodyFileSize = int64_t(st.st_size);
  ContentType = contentType;
  ContentText.clear();
  return true;
}

int64_t THTTPResponseInfo::BodyLength() const {
  return BodyFile >= 0 ? BodyFileSize : int64_t(ContentText.size());
}

// ---------------------------------------------------------------------------
// THTTPServer

struct THTTPServer::TConnection {
  int Fd = -1;
  std::string RemoteIP;
  uint16_t RemotePort = 0;
  std::thread Thread;
  bool Done = false;  // guarded by ConnectionsLock
};

THTTPServer::THTTPServer() = default;

THTTPServer::~THTTPServer() {
  Stop();
}

void THTTPServer::Start(uint16_t port, const std::string& bindAddress) {
  Stop();
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr) != 1) {
    throw EHTTPServer("invalid bind address " + bindAddress);
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw EHTTPServer(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(fd, 128) != 0) {
    const int err = errno;
    close(fd);
    throw EHTTPServer(std::string("bind: ") + std::strerror(err));
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  if (pipe2(StopPipe, O_CLOEXEC) != 0) {
    close(fd);
    throw EHTTPServer("error creating pipe");
  }
  ListenSocket = fd;
  LocalPort = ntohs(bound.sin_port);
  Stopping = false;
  Running = true;
  try {
    Listener = std::thread([this] { ListenLoop(); });
    Cleaner = std::thread([this] { CleanerLoop(); });
  } catch (...) {
    Stop();
    throw EHTTPServer("cannot start threads");
  }
}

void THTTPServer::Stop() {
  Stopping = true;
  if (StopPipe[1] >= 0) {
    const char b = 1;
    [[maybe_unused]] ssize_t n = write(StopPipe[1], &b, 1);
  }
  { std::scoped_lock guard(CleanerLock); }
  CleanerWake.notify_all();
  if (Listener.joinable()) Listener.join();
  if (Cleaner.joinable()) Cleaner.join();
  if (ListenSocket >= 0) close(ListenSocket);
  ListenSocket = -1;
  {
    // Wakes every connection thread; each one closes its own socket.
    TLockGuard guard(ConnectionsLock);
    for (const auto& c : Connections) {
      if (!c->Done && c->Fd >= 0) shutdown(c->Fd, SHUT_RDWR);
    }
  }
  ReapConnections(true);
  for (int& fd : StopPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  Running = false;
}

void THTTPServer::EndSession(THTTPSession& session) {
  SessionList.EndSession(session.SessionID());
}

void THTTPServer::RenewSession(THTTPRequestInfo& request) {
  if (request.Session) request.Session = SessionList.RenewSession(*request.Session);
}

bool THTTPServer::WaitUntil(std::chrono::steady_clock::time_point moment) {
  while (!Stopping) {
    if (TSteady::now() >= moment) return true;
    pollfd stop{StopPipe[0], POLLIN, 0};
    if (poll(&stop, 1, std::max(RemainingMs(moment), 1)) > 0) return false;
  }
  return false;
}

size_t THTTPServer::ConnectionCount() const {
  TLockGuard guard(ConnectionsLock);
  return size_t(std::count_if(Connections.begin(), Connections.end(),
                              [](const auto& c) { return !c->Done; }));
}

void THTTPServer::ReapConnections(bool all) {
  std::list<std::unique_ptr<TConnection>> finished;
  {
    TLockGuard guard(ConnectionsLock);
    for (auto it = Connections.begin(); it != Connections.end();) {
      auto next = std::next(it);
      if (all || (*it)->Done) finished.splice(finished.end(), Connections, it);
      it = next;
    }
  }
  for (auto& c : finished) {
    if (c->Thread.joinable()) c->Thread.join();
  }
}

void THTTPServer::CleanerLoop() {
  std::unique_lock lock(CleanerLock);
  while (!Stopping) {
    const int64_t interval = std::clamp<int64_t>(SessionList.GetTimeoutMs() / 4, 20, 1000);
    CleanerWake.wait_for(lock, std::chrono::milliseconds(interval),
                         [this] { return Stopping.load(); });
    if (Stopping) break;
    lock.unlock();
    try {
      SessionList.PurgeExpired();
    } catch (...) {
    }
    lock.lock();
  }
}

void THTTPServer::ListenLoop() {
  while (!Stopping) {
    try {
      pollfd p[2] = {{ListenSocket, POLLIN, 0}, {StopPipe[0], POLLIN, 0}};
      const int r = poll(p, 2, 1000);
      ReapConnections(false);
      if (r < 0) {
        if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (p[1].revents != 0) break;
      if ((p[0].revents & POLLIN) == 0) continue;
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int fd = accept4(ListenSocket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors: give the connections time to end.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        continue;
      }
      char ip[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
      size_t open = 0;
      size_t fromAddress = 0;
      {
        TLockGuard guard(ConnectionsLock);
        for (const auto& c : Connections) {
          if (c->Done) continue;
          ++open;
          if (c->RemoteIP == ip) ++fromAddress;
        }
      }
      if (open >= MaxConnections || fromAddress >= MaxConnectionsPerAddress) {
        static const char BusyReply[] =
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] ssize_t n =
            send(fd, BusyReply, sizeof BusyReply - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        close(fd);
        continue;
      }
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto connection = std::make_unique<TConnection>();
      connection->Fd = fd;
      connection->RemoteIP = ip;
      connection->RemotePort = ntohs(peer.sin_port);
      TConnection* raw = connection.get();
      {
        TLockGuard guard(ConnectionsLock);
        Connections.push_back(std::move(connection));
      }
      try {
        raw->Thread = std::thread([this, raw] { ServeConnection(raw); });
      } catch (...) {
        TLockGuard guard(ConnectionsLock);
        close(raw->Fd);
        raw->Fd = -1;
        raw->Done = true;
      }
    } catch (...) {
      // The listener keeps going whatever a single accept raised.
    }
  }
}

void THTTPServer::ServeConnection(TConnection* connection) {
  const int fd = connection->Fd;
  try {
    std::string buffer;
    auto deadline = TSteady::now() + std::chrono::milliseconds(IdleTimeoutMs);
    while (!Stopping) {
      THTTPRequestInfo request;
      const THTTPHeadResult head = ParseRequestHead(buffer, Limits, request);
      if (head.State == THTTPParseState::NeedMore) {
        if (!ReadSome(fd, buffer, deadline)) break;
        continue;
      }
      if (head.State == THTTPParseState::Failed) {
        THTTPResponseInfo response;
        response.ResponseNo = head.ErrorStatus;
        response.ContentType = "text/plain";
        response.ContentText =
            std::to_string(head.ErrorStatus) + " " + ReasonText(head.ErrorStatus) + "\n";
        WriteResponse(fd, nullptr, response, {}, true);
        break;
      }
      const size_t total = head.HeadLength + head.BodyLength;
      if (buffer.size() < total && request.Version == "HTTP/1.1" &&
          SameTextAscii(request.Header("Expect"), "100-continue")) {
        static const char ContinueReply[] = "HTTP/1.1 100 Continue\r\n\r\n";
        if (!SendAll(fd, ContinueReply, sizeof ContinueReply - 1, deadline)) break;
      }
      bool complete = true;
      while (buffer.size() < total) {
        if (!ReadSome(fd, buffer, deadline)) {
          complete = false;
          break;
        }
      }
      if (!complete) break;
      std::string body = buffer.substr(head.HeadLength, head.BodyLength);
      buffer.erase(0, total);
      request.RemoteIP = connection->RemoteIP;
      request.RemotePort = connection->RemotePort;
      CompleteRequest(request, std::move(body), Limits);

      THTTPResponseInfo response;
      std::vector<std::string> cookies;
      if (HandledMethod(request.Command)) {
        HandleRequest(request, response, cookies);
      } else {
        response.ResponseNo = 501;
        response.CloseConnection = true;
      }
      const bool close =
          !KeepAlive || response.CloseConnection || !request.KeepAliveRequested() || Stopping;
      if (!WriteResponse(fd, &request, response, cookies, close) || close) break;
      deadline = TSteady::now() + std::chrono::milliseconds(IdleTimeoutMs);
    }
  } catch (...) {
    // A connection ends quietly whatever went wrong in it.
  }
  TLockGuard guard(ConnectionsLock);
  close(connection->Fd);
  connection->Fd = -1;
  connection->Done = true;
}

void THTTPServer::HandleRequest(THTTPRequestInfo& request, THTTPResponseInfo& response,
                                std::vector<std::string>& cookies) {
  std::shared_ptr<THTTPSession> session;
  bool newSession = false;
  if (SessionState) {
    const std::string id = request.Cookie(SessionCookieName);
    if (!id.empty()) {
      session = SessionList.GetSession(id, request.RemoteIP);
      if (!session) {
        bool goOn = false;
        if (OnInvalidSession) {
          try {
            goOn = OnInvalidSession(request);
          } catch (...) {
          }
        }
        if (!goOn) {
          // Not processed; the browser drops the stale cookie, so that
          // its next request starts a new session.
          cookies.push_back(CookieHeader("", true));
          return;
        }
      }
    }
    if (!session && AutoStartSession) {
      session = SessionList.CreateSession(request.RemoteIP);
      newSession = true;
      if (OnSessionStart) {
        try {
          OnSessionStart(*session);
        } catch (...) {
        }
      }
    }
    request.Session = session;
  }
  if (OnCommandGet) {
    try {
      OnCommandGet(request, response);
    } catch (...) {
    }
  }
  if (request.Session && request.Session != session) {
    // Renewed by the hook: the browser takes the new identifier.
    if (!request.Session->Ended()) {
      cookies.push_back(CookieHeader(request.Session->SessionID(), false));
    } else if (!newSession) {
      cookies.push_back(CookieHeader("", true));
    }
  } else if (session) {
    if (session->Ended()) {
      if (!newSession) cookies.push_back(CookieHeader("", true));
    } else if (newSession) {
      cookies.push_back(CookieHeader(session->SessionID(), false));
    }
  }
}

std::string THTTPServer::CookieHeader(const std::string& value, bool clear) const {
  std::string text = SessionCookieName + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
  if (clear) text += "; Max-Age=0";
  return text;
}

bool THTTPServer::WriteResponse(int fd, const THTTPRequestInfo* request,
                                THTTPResponseInfo& response,
                                const std::vector<std::string>& cookies, bool close) {
  const auto deadline = TSteady::now() + std::chrono::milliseconds(IdleTimeoutMs);
  int status = response.ResponseNo;
  if (status < 100 || status > 999) status = 500;
  const bool head = request != nullptr && request->Command == "HEAD";
  const bool noBody = status < 200 || status == 204 || status == 304;
  const int64_t bodyLength = response.BodyLength();
  int64_t announced = bodyLength;
  if (head && response.ContentLength >= 0) announced = response.ContentLength;

  std::string text;
  text.reserve(512);
  text += "HTTP/1.1 " + std::to_string(status) + " " +
          HeaderValue(response.ResponseText.empty() ? ReasonText(status) : response.ResponseText) +
          "\r\n";
  text += "Date: " + HttpDate() + "\r\n";
  if (!ServerSoftware.empty()) text += "Server: " + HeaderValue(ServerSoftware) + "\r\n";
  if (!response.ContentType.empty()) {
    text += "Content-Type: " + HeaderValue(response.ContentType) + "\r\n";
  } else if (bodyLength > 0) {
    text += "Content-Type: text/html\r\n";
  }
  if (!noBody) text += "Content-Length: " + std::to_string(announced) + "\r\n";
  text += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  if (!response.Location.empty()) text += "Location: " + HeaderValue(response.Location) + "\r\n";
  for (const auto& c : cookies) text += "Set-Cookie: " + HeaderValue(c) + "\r\n";
  for (const auto& h : DefaultHeaders) {
    text += HeaderValue(h.Name) + ": " + HeaderValue(h.Value) + "\r\n";
  }
  for (const auto& h : response.CustomHeaders) {
    text += HeaderValue(h.Name) + ": " + HeaderValue(h.Value) + "\r\n";
  }
  text += "\r\n";
  const bool sendBody = !head && !noBody;
  if (sendBody && !response.HasFileBody()) text += response.ContentText;
  if (!SendAll(fd, text.data(), text.size(), deadline)) return false;
  if (sendBody && response.HasFileBody()) {
    std::vector<char> chunk(FileChunk);
    int64_t offset = 0;
    while (offset < bodyLength) {
      const size_t want = size_t(std::min<int64_t>(int64_t(chunk.size()), bodyLength - offset));
      const ssize_t n = pread(response.BodyFile, chunk.data(), want, off_t(offset));
      if (n <= 0) return false;  // the file shrank: the framing is lost, close
      // A client that takes nothing for the idle time is dropped.
      const auto chunkDeadline = TSteady::now() + std::chrono::milliseconds(IdleTimeoutMs);
      if (!SendAll(fd, chunk.data(), size_t(n), chunkDeadline)) return false;
      offset += n;
    }
  }
  return true;
}

}  // namespace vx
