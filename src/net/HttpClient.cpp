#include "net/HttpClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vx {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr size_t MaxChunkLineBytes = 1024;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string LowerText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += HexDigits[c >> 4];
  out += HexDigits[c & 0x0F];
}

// Keeps the path or query as written, escaping bytes from 0x80 up and stray
// "%".
std::string EscapeTarget(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool escapeStarts =
        c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0;
    if (c >= 0x80 || (c == '%' && !escapeStarts)) {
      AppendEscaped(out, c);
    } else {
      out += char(c);
    }
  }
  return out;
}

// A dotted host name: labels of 1 to 63 letters, digits, "-" or "_", at
// most 253 characters, one trailing dot allowed.
bool ValidHostName(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (host.empty() || host.size() > 253) return false;
  size_t label = 0;
  for (char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!IsAlpha(c) && !IsDigit(c) && c != '-' && c != '_') return false;
    if (++label > 63) return false;
  }
  return label > 0;
}

std::optional<uint16_t> ParsePort(std::string_view text, uint16_t defaultPort) {
  if (text.empty()) return defaultPort;
  if (text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + uint32_t(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return uint16_t(value);
}

std::string Base64(std::string_view data) {
  static constexpr char Alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(data[i])) << 16 | uint32_t(uint8_t(data[i + 1])) << 8 |
                       uint32_t(uint8_t(data[i + 2]));
    out += Alphabet[v >> 18];
    out += Alphabet[(v >> 12) & 63];
    out += Alphabet[(v >> 6) & 63];
    out += Alphabet[v & 63];
  }
  if (i < data.size()) {
    uint32_t v = uint32_t(uint8_t(data[i])) << 16;
    if (i + 1 < data.size()) v |= uint32_t(uint8_t(data[i + 1])) << 8;
    out += Alphabet[v >> 18];
    out += Alphabet[(v >> 12) & 63];
    out += (i + 1 < data.size()) ? Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// A header value of ours must not be able to end its line.
void CheckHeaderValue(std::string_view value, const char* what) {
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    throw EHttpClient(std::string("line break in ") + what);
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string ErrorText(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer);
}

class TSocketHandle {
 public:
  explicit TSocketHandle(int fd) : Fd(fd) {}
  ~TSocketHandle() {
    if (Fd >= 0) close(Fd);
  }
  TSocketHandle(const TSocketHandle&) = delete;
  TSocketHandle& operator=(const TSocketHandle&) = delete;
  int Get() const { return Fd; }
  int Release() { return std::exchange(Fd, -1); }

 private:
  int Fd;
};

class TAddrInfo {
 public:
  TAddrInfo() = default;
  ~TAddrInfo() {
    if (List) freeaddrinfo(List);
  }
  TAddrInfo(const TAddrInfo&) = delete;
  TAddrInfo& operator=(const TAddrInfo&) = delete;
  addrinfo* List = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// Addresses and forms

std::string THttpUrl::Target() const {
  return Query.empty() ? Path : Path + "?" + Query;
}

std::string THttpUrl::Authority() const {
  std::string out = IsIPv6Literal() ? "[" + Host + "]" : Host;
  const uint16_t defaultPort = Scheme == "https" ? 443 : 80;
  if (Port != defaultPort) out += ":" + std::to_string(Port);
  return out;
}

std::optional<THttpUrl> ParseHttpUrl(std::string_view text) {
  if (text.empty() || text.size() > MaxHttpUrlLength) return std::nullopt;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F) return std::nullopt;
  }
  const size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  THttpUrl url;
  url.Scheme = LowerText(text.substr(0, schemeEnd));
  if (url.Scheme != "http" && url.Scheme != "https") return std::nullopt;
  const uint16_t defaultPort = url.Scheme == "https" ? 443 : 80;

  std::string_view rest = text.substr(schemeEnd + 3);
  const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string_view authority = rest.substr(0, authorityEnd);
  rest.remove_prefix(authorityEnd);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;

  std::string_view host;
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
    in6_addr address{};
    if (host.size() > INET6_ADDRSTRLEN ||
        inet_pton(AF_INET6, std::string(host).c_str(), &address) != 1) {
      return std::nullopt;
    }
  } else {
    const size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    if (!ValidHostName(host)) return std::nullopt;
  }
  const std::optional<uint16_t> port = ParsePort(portText, defaultPort);
  if (!port) return std::nullopt;
  url.Host = LowerText(host);
  url.Port = *port;

  rest = rest.substr(0, std::min(rest.find('#'), rest.size()));
  const size_t question = rest.find('?');
  const std::string_view path = rest.substr(0, question);
  url.Path = path.empty() ? "/" : EscapeTarget(path);
  if (question != std::string_view::npos) url.Query = EscapeTarget(rest.substr(question + 1));
  // Escaping may have made it longer than any address we take.
  if (url.Scheme.size() + 3 + url.Authority().size() + url.Target().size() > MaxHttpUrlLength) {
    return std::nullopt;
  }
  return url;
}

std::string FormUrlEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (IsAlpha(c) || IsDigit(c) || c == '*' || c == '-' || c == '.' || c == '_') {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      AppendEscaped(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::string EncodeForm(const THttpFormFields& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += FormUrlEncode(name);
    out += '=';
    out += FormUrlEncode(value);
  }
  return out;
}

// ---------------------------------------------------------------------------
// THttpResponseParser

size_t THttpResponseParser::Feed(std::string_view data) {
  size_t used = 0;
  while (used < data.size() && State != TState::Done) {
    switch (State) {
      case TState::Head: {
        // Up to the blank line that ends the head; what follows is the body.
        while (used < data.size()) {
          Head += data[used++];
          if (Head.size() > MaxHeaderBytes) throw EHttpClient("answer head too long");
          if (Head.ends_with("\n\n") || Head.ends_with("\n\r\n")) {
            ParseHead();
            break;
          }
        }
        break;
      }
      case TState::Body:
        if (TakeBody(data, used)) State = TState::Done;
        break;
      case TState::ChunkSize:
        if (GatherLine(data, used)) ChunkSizeLine();
        break;
      case TState::ChunkData:
        if (TakeBody(data, used)) State = TState::ChunkDataEnd;
        break;
      case TState::ChunkDataEnd:
        if (GatherLine(data, used)) {
          if (!Line.empty()) throw EHttpClient("malformed chunk end");
          State = TState::ChunkSize;
        }
        break;
      case TState::Trailer:
        if (GatherLine(data, used)) {
          TrailerBytes += Line.size() + 2;
          if (TrailerBytes > MaxHeaderBytes) throw EHttpClient("answer trailer too long");
          if (Line.empty()) State = TState::Done;
          Line.clear();
        }
        break;
      case TState::UntilClose:
        BodyCount += data.size() - used;
        used = data.size();
        break;
      case TState::Done:
        break;
    }
  }
  return used;
}

bool THttpResponseParser::TakeBody(std::string_view data, size_t& used) {
  const uint64_t take = std::min<uint64_t>(Remaining, data.size() - used);
  used += size_t(take);
  BodyCount += take;
  Remaining -= take;
  return Remaining == 0;
}

bool THttpResponseParser::GatherLine(std::string_view data, size_t& used) {
  while (used < data.size()) {
    const char c = data[used++];
    if (c == '\n') {
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      return true;
    }
    Line += c;
    if (Line.size() > MaxChunkLineBytes) throw EHttpClient("answer line too long");
  }
  return false;
}

void THttpResponseParser::ChunkSizeLine() {
  std::string_view text = Line;
  text = TrimBlanks(text.substr(0, std::min(text.find(';'), text.size())));
  if (text.empty() || text.size() > 15) throw EHttpClient("malformed chunk size");
  uint64_t size = 0;
  for (char c : text) {
    const int v = HexValue(c);
    if (v < 0) throw EHttpClient("malformed chunk size");
    size = size * 16 + uint64_t(v);
  }
  Line.clear();
  if (size == 0) {
    State = TState::Trailer;
  } else {
    Remaining = size;
    State = TState::ChunkData;
  }
}

void THttpResponseParser::ParseHead() {
  std::string_view head = Head;
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) throw EHttpClient("empty answer head");

  // "HTTP/1.x 200 reason"
  const std::string_view status = lines.front();
  if (status.size() < 12 || !status.starts_with("HTTP/1.") || !IsDigit(status[7]) ||
      status[8] != ' ' || !IsDigit(status[9]) || !IsDigit(status[10]) || !IsDigit(status[11]) ||
      (status.size() > 12 && status[12] != ' ')) {
    throw EHttpClient("malformed status line");
  }
  StatusCode = (status[9] - '0') * 100 + (status[10] - '0') * 10 + (status[11] - '0');
  if (StatusCode < 100 || StatusCode > 599) throw EHttpClient("malformed status code");

  Chunked = false;
  ContentLength.reset();
  bool otherCoding = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) throw EHttpClient("malformed header");
    const std::string_view name = line.substr(0, colon);
    if (name.find_first_of(" \t") != std::string_view::npos) {
      throw EHttpClient("malformed header");
    }
    const std::string lowerName = LowerText(name);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (lowerName == "content-length") {
      if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), IsDigit)) {
        throw EHttpClient("malformed content length");
      }
      uint64_t length = 0;
      for (char c : value) length = length * 10 + uint64_t(c - '0');
      if (ContentLength && *ContentLength != length) throw EHttpClient("conflicting lengths");
      ContentLength = length;
    } else if (lowerName == "transfer-encoding") {
      // The last coding decides whether the body is chunked.
      const size_t comma = value.rfind(',');
      const std::string last =
          LowerText(TrimBlanks(comma == std::string_view::npos ? value : value.substr(comma + 1)));
      Chunked = last == "chunked";
      otherCoding = !Chunked && !last.empty();
    }
  }

  Head.clear();
  if (StatusCode < 200) {
    // An interim answer; a protocol switch is nothing we asked for.
    if (StatusCode == 101) throw EHttpClient("unexpected protocol switch");
    return;
  }
  StartBody();
  // A body in a coding we do not know runs to the end of the connection.
  if (otherCoding && State != TState::Done) State = TState::UntilClose;
}

void THttpResponseParser::StartBody() {
  if (StatusCode == 204 || StatusCode == 304) {
    State = TState::Done;
  } else if (Chunked) {
    State = TState::ChunkSize;
  } else if (ContentLength) {
    Remaining = *ContentLength;
    State = Remaining == 0 ? TState::Done : TState::Body;
  } else {
    State = TState::UntilClose;
  }
}

void THttpResponseParser::Closed() {
  if (State == TState::UntilClose) State = TState::Done;
  if (State != TState::Done) throw EHttpClient("connection closed before the answer was complete");
}

// ---------------------------------------------------------------------------
// THttpClient

THttpClient::THttpClient() : CancelFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

THttpClient::~THttpClient() {
  if (CancelFd >= 0) close(CancelFd);
}

void THttpClient::Cancel() {
  CancelFlag = true;
  if (CancelFd >= 0) {
    const uint64_t one = 1;
    // The counter stays above zero, so every waiter sees it, now and later.
    [[maybe_unused]] const ssize_t n = write(CancelFd, &one, sizeof one);
  }
}

void THttpClient::WaitReady(int fd, short events, int64_t deadlineMs, const char* what) const {
  pollfd fds[2] = {{fd, events, 0}, {CancelFd, POLLIN, 0}};
  for (;;) {
    if (CancelFlag) throw EHttpClient("request cancelled");
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) throw EHttpClient(std::string("time-out ") + what);
    const int r = poll(fds, CancelFd >= 0 ? 2 : 1, int(std::min<int64_t>(left, 1000)));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw EHttpClient("poll failed: " + ErrorText(errno));
    }
    if (CancelFd >= 0 && fds[1].revents != 0) throw EHttpClient("request cancelled");
    if (fds[0].revents != 0) return;
  }
}

int THttpClient::Connect(const std::string& host, uint16_t port, int64_t deadlineMs) const {
  sockaddr_storage local{};
  socklen_t localSize = 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  if (!BoundIp.empty()) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
    if (inet_pton(AF_INET, BoundIp.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      localSize = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, BoundIp.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      localSize = sizeof(sockaddr_in6);
    } else {
      throw EHttpClient("bad local address " + BoundIp);
    }
    hints.ai_family = local.ss_family;
  }

  TAddrInfo addresses;
  const int found =
      getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses.List);
  if (found != 0) throw EHttpClient("cannot resolve " + host + ": " + gai_strerror(found));

  std::string lastError = "no address";
  for (const addrinfo* a = addresses.List; a != nullptr; a = a->ai_next) {
    TSocketHandle fd(
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.Get() < 0) {
      lastError = ErrorText(errno);
      continue;
    }
    if (localSize != 0 && bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), localSize) != 0) {
      throw EHttpClient("cannot bind to " + BoundIp + ": " + ErrorText(errno));
    }
    if (connect(fd.Get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS && errno != EINTR) {
        lastError = ErrorText(errno);
        continue;
      }
      WaitReady(fd.Get(), POLLOUT, deadlineMs, "connecting");
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      if (error != 0) {
        lastError = ErrorText(error);
        continue;
      }
    }
    return fd.Release();
  }
  throw EHttpClient("cannot connect to " + host + ": " + lastError);
}

std::string THttpClient::BuildRequest(const THttpUrl& url, std::string_view contentType,
                                      std::string_view body) const {
  CheckHeaderValue(contentType, "content type");
  CheckHeaderValue(UserAgent, "user agent");
  std::string request = "POST ";
  request += Proxy.Enabled ? url.Scheme + "://" + url.Authority() + url.Target() : url.Target();
  request += " HTTP/1.1\r\nHost: " + url.Authority() + "\r\n";
  if (!UserAgent.empty()) request += "User-Agent: " + UserAgent + "\r\n";
  request += "Accept: */*\r\n";
  request += "Content-Type: " + std::string(contentType) + "\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (Proxy.Enabled && !Proxy.User.empty()) {
    request += "Proxy-Authorization: Basic " + Base64(Proxy.User + ":" + Proxy.Password) + "\r\n";
  }
  request += "Connection: close\r\n\r\n";
  request += body;
  return request;
}

THttpResponse THttpClient::PostForm(const std::string& url, const THttpFormFields& fields) {
  return Post(url, FormContentType, EncodeForm(fields));
}

THttpResponse THttpClient::Post(const std::string& urlText, std::string_view contentType,
                                std::string_view body) {
  if (CancelFlag) throw EHttpClient("request cancelled");
  const std::optional<THttpUrl> url = ParseHttpUrl(urlText);
  if (!url) throw EHttpClient("malformed address");
  if (url->Scheme != "http") throw EHttpClient("unsupported scheme " + url->Scheme);
  if (Proxy.Enabled && Proxy.Host.empty()) throw EHttpClient("proxy without a host");
  const std::string request = BuildRequest(*url, contentType, body);

  const int64_t connectDeadline = NowMs() + std::max(ConnectTimeoutMs, 0);
  TSocketHandle fd(Proxy.Enabled ? Connect(Proxy.Host, Proxy.Port, connectDeadline)
                                 : Connect(url->Host, url->Port, connectDeadline));
  const int64_t deadline = NowMs() + std::max(ReadTimeoutMs, 0);

  for (size_t sent = 0; sent < request.size();) {
    WaitReady(fd.Get(), POLLOUT, deadline, "sending");
    const ssize_t n =
        send(fd.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      throw EHttpClient("send failed: " + ErrorText(errno));
    }
    sent += size_t(n);
  }

  THttpResponseParser parser;
  char buffer[4096];
  size_t total = 0;
  while (!parser.Complete() && total < MaxResponseBytes) {
    WaitReady(fd.Get(), POLLIN, deadline, "reading");
    const size_t want = std::min(sizeof buffer, MaxResponseBytes - total);
    const ssize_t n = recv(fd.Get(), buffer, want, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      throw EHttpClient("receive failed: " + ErrorText(errno));
    }
    if (n == 0) {
      parser.Closed();
      break;
    }
    total += size_t(n);
    parser.Feed(std::string_view(buffer, size_t(n)));
  }
  // Beyond the cap the rest of a body is dropped unread; the head must be in.
  if (!parser.HeadDone()) throw EHttpClient("answer head too long");
  if (parser.Status() >= 400) throw EHttpClient("HTTP status " + std::to_string(parser.Status()));
  return {parser.Status(), parser.BodyBytes()};
}

}  // namespace vx
