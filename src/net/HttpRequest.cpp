#include "net/HttpRequest.h"

#include <charconv>

#include "common/TextTools.h"
#include "net/HttpEncoding.h"

namespace vx {

namespace {

bool IsTokenChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b <= 0x20 || b >= 0x7F) return false;
  switch (c) {
    case '(':
    case ')':
    case '<':
    case '>':
    case '@':
    case ',':
    case ';':
    case ':':
    case '\\':
    case '"':
    case '/':
    case '[':
    case ']':
    case '?':
    case '=':
    case '{':
    case '}':
      return false;
    default:
      return true;
  }
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

// A line of the head without its line end ("\r\n" or a bare "\n").
std::string_view LineContent(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

THTTPHeadResult Fail(int status) {
  THTTPHeadResult r;
  r.State = THTTPParseState::Failed;
  r.ErrorStatus = status;
  return r;
}

// Splits the target into path and query; false when it is not a form this
// server accepts (origin-form, or absolute-form of http/https).
bool SplitTarget(std::string_view target, std::string_view& path, std::string_view& query) {
  if (target.empty()) return false;
  if (target[0] != '/') {
    const size_t scheme = target.find("://");
    if (scheme == std::string_view::npos) return false;
    const std::string_view name = target.substr(0, scheme);
    if (!SameTextAscii(name, "http") && !SameTextAscii(name, "https")) return false;
    const size_t p = target.find_first_of("/?#", scheme + 3);
    target = p == std::string_view::npos ? std::string_view() : target.substr(p);
  }
  const size_t hash = target.find('#');
  if (hash != std::string_view::npos) target = target.substr(0, hash);
  const size_t mark = target.find('?');
  path = target.substr(0, mark);
  if (path.empty()) path = "/";
  query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
  return true;
}

// The first item whose name (the member) equals name, case ignored.
template <typename TItems, typename TMember>
const typename TItems::value_type* FindNamed(const TItems& items, std::string_view name,
                                             TMember member) {
  for (const auto& item : items) {
    if (SameTextAscii(item.*member, name)) return &item;
  }
  return nullptr;
}

bool ParseLength(std::string_view text, size_t& value) {
  if (text.empty() || text.size() > 19) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  uint64_t v = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size()) return false;
  value = size_t(v);
  return true;
}

}  // namespace

std::string THTTPRequestInfo::Header(std::string_view name) const {
  const THTTPHeader* h = FindNamed(Headers, name, &THTTPHeader::Name);
  return h != nullptr ? h->Value : std::string();
}

bool THTTPRequestInfo::HasHeader(std::string_view name) const {
  return FindNamed(Headers, name, &THTTPHeader::Name) != nullptr;
}

std::string THTTPRequestInfo::Param(std::string_view name) const {
  const auto* p = FindNamed(Params, name, &THTTPParams::value_type::first);
  return p != nullptr ? p->second : std::string();
}

bool THTTPRequestInfo::HasParam(std::string_view name) const {
  return FindNamed(Params, name, &THTTPParams::value_type::first) != nullptr;
}

std::string THTTPRequestInfo::Cookie(std::string_view name) const {
  for (const auto& h : Headers) {
    if (!SameTextAscii(h.Name, "Cookie")) continue;
    std::string_view rest = h.Value;
    while (!rest.empty()) {
      const size_t semi = rest.find(';');
      std::string_view item = TrimBlanks(rest.substr(0, semi));
      rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
      const size_t eq = item.find('=');
      if (eq == std::string_view::npos) continue;
      if (TrimBlanks(item.substr(0, eq)) != name) continue;
      std::string_view value = TrimBlanks(item.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
  }
  return {};
}

bool THTTPRequestInfo::KeepAliveRequested() const {
  // Connection may list several options ("keep-alive, Upgrade").
  bool close = false;
  bool keepAlive = false;
  for (const auto& h : Headers) {
    if (!SameTextAscii(h.Name, "Connection")) continue;
    std::string_view rest = h.Value;
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      const std::string_view item = TrimBlanks(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      if (SameTextAscii(item, "close")) close = true;
      if (SameTextAscii(item, "keep-alive")) keepAlive = true;
    }
  }
  if (close) return false;
  return Version == "HTTP/1.1" || keepAlive;
}

THTTPHeadResult ParseRequestHead(std::string_view buffer, const THTTPLimits& limits,
                                 THTTPRequestInfo& request) {
  // Empty lines before the request line are ignored.
  size_t start = 0;
  while (start < buffer.size() && (buffer[start] == '\r' || buffer[start] == '\n')) {
    if (start >= limits.MaxHeadBytes) return Fail(431);
    ++start;
  }
  // Find the blank line that ends the head, within the limit.
  size_t end = std::string_view::npos;
  size_t headLength = 0;
  for (size_t pos = start; pos < buffer.size();) {
    const size_t nl = buffer.find('\n', pos);
    if (nl == std::string_view::npos) break;
    const std::string_view line = LineContent(buffer.substr(pos, nl - pos));
    if (line.empty() && pos > start) {
      end = pos;
      headLength = nl + 1;
      break;
    }
    pos = nl + 1;
    if (pos > limits.MaxHeadBytes) return Fail(431);
  }
  if (end == std::string_view::npos) {
    if (buffer.size() > limits.MaxHeadBytes) return Fail(431);
    return {};
  }
  if (headLength > limits.MaxHeadBytes) return Fail(431);

  const std::string_view head = buffer.substr(start, end - start);
  size_t nl = head.find('\n');
  const std::string_view requestLine = LineContent(head.substr(0, nl));
  std::string_view rest = nl == std::string_view::npos ? std::string_view() : head.substr(nl + 1);

  // METHOD SP target SP HTTP/x.y
  const size_t sp1 = requestLine.find(' ');
  if (sp1 == std::string_view::npos) return Fail(400);
  const size_t sp2 = requestLine.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || requestLine.find(' ', sp2 + 1) != std::string_view::npos) {
    return Fail(400);
  }
  const std::string_view method = requestLine.substr(0, sp1);
  const std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = requestLine.substr(sp2 + 1);
  if (!IsToken(method)) return Fail(400);
  for (const char c : target) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return Fail(400);
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
    return Fail(400);
  }
  if (version != "HTTP/1.0" && version != "HTTP/1.1") return Fail(505);

  std::string_view path;
  std::string_view query;
  if (!SplitTarget(target, path, query)) return Fail(400);
  std::string document = URLDecode(path, false);
  if (document.empty() || document[0] != '/' || document.find('\0') != std::string::npos) {
    return Fail(400);
  }

  std::vector<THTTPHeader> headers;
  bool haveLength = false;
  size_t bodyLength = 0;
  while (!rest.empty()) {
    nl = rest.find('\n');
    const std::string_view line = LineContent(rest.substr(0, nl));
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    if (line.empty()) continue;
    // Folded continuation lines are obsolete and refused.
    if (line[0] == ' ' || line[0] == '\t') return Fail(400);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail(400);
    const std::string_view name = line.substr(0, colon);
    if (!IsToken(name)) return Fail(400);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (SameTextAscii(name, "Content-Length")) {
      size_t length = 0;
      if (!ParseLength(value, length)) return Fail(400);
      if (haveLength && length != bodyLength) return Fail(400);
      haveLength = true;
      bodyLength = length;
    } else if (SameTextAscii(name, "Transfer-Encoding")) {
      // Chunked request bodies are not taken; browsers send form bodies
      // with a length.
      return Fail(501);
    }
    headers.push_back({std::string(name), std::string(value)});
  }
  if (bodyLength > limits.MaxBodyBytes) return Fail(413);

  request.Command = std::string(method);
  request.Version = std::string(version);
  request.URI = std::string(target);
  request.Document = std::move(document);
  request.QueryString = std::string(query);
  request.Headers = std::move(headers);
  THTTPHeadResult result;
  result.State = THTTPParseState::Complete;
  result.HeadLength = headLength;
  result.BodyLength = bodyLength;
  return result;
}

void ParseParams(std::string_view text, THTTPParams& params, size_t maxParams) {
  while (!text.empty() && params.size() < maxParams) {
    const size_t amp = text.find('&');
    const std::string_view item = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string_view name = item.substr(0, eq);
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
    params.emplace_back(URLDecode(name, true), URLDecode(value, true));
  }
}

void CompleteRequest(THTTPRequestInfo& request, std::string body, const THTTPLimits& limits) {
  request.Body = std::move(body);
  request.Params.clear();
  ParseParams(request.QueryString, request.Params, limits.MaxParams);
  const std::string type = request.Header("Content-Type");
  const std::string_view form = "application/x-www-form-urlencoded";
  if (type.size() >= form.size() &&
      SameTextAscii(std::string_view(type).substr(0, form.size()), form)) {
    ParseParams(request.Body, request.Params, limits.MaxParams);
  }
}

std::string ReasonText(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

}  // namespace vx
