// One HTTP request as the server hands it to its request hook, the response
// the hook fills in, and the parser that reads a request from the bytes a
// client sent. Everything here reads untrusted bytes: sizes are capped and
// malformed input ends in an error status, never in a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx {

class THTTPSession;

struct THTTPHeader {
  std::string Name;
  std::string Value;
};

// Name and value pairs, in the order in which they were sent.
using THTTPParams = std::vector<std::pair<std::string, std::string>>;

struct THTTPRequestInfo {
  std::string Command;      // "GET", "POST", "HEAD", ...
  std::string Version;      // "HTTP/1.0" or "HTTP/1.1"
  std::string URI;          // the request target as sent
  std::string Document;     // the URL-decoded path, without the query
  std::string QueryString;  // as sent, without the "?"
  std::vector<THTTPHeader> Headers;
  std::string Body;
  // Parameters of the query string, then of a form-encoded body; URL-decoded.
  THTTPParams Params;
  std::string RemoteIP;
  uint16_t RemotePort = 0;
  // The session of the request; none when sessions are off.
  std::shared_ptr<THTTPSession> Session;

  // First header of that name (case ignored); empty when missing.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // First parameter of that name (case ignored); empty when missing.
  std::string Param(std::string_view name) const;
  bool HasParam(std::string_view name) const;
  // Value of the first cookie of that name (exact case) in the Cookie headers.
  std::string Cookie(std::string_view name) const;
  // Whether the client wants the connection kept open after the answer.
  bool KeepAliveRequested() const;
};

// Size limits that guard the server against large or endless requests.
struct THTTPLimits {
  size_t MaxHeadBytes = 16 * 1024;    // request line and headers
  size_t MaxBodyBytes = 1024 * 1024;  // body
  size_t MaxParams = 1000;            // parameters kept per request
};

enum class THTTPParseState { NeedMore, Complete, Failed };

struct THTTPHeadResult {
  THTTPParseState State = THTTPParseState::NeedMore;
  size_t HeadLength = 0;  // bytes of the head, including the blank line
  size_t BodyLength = 0;  // from Content-Length
  int ErrorStatus = 0;    // status to answer with when Failed
};

// Reads the request line and the headers at the start of buffer. On
// Complete, request holds Command, Version, URI, Document, QueryString and
// Headers. NeedMore while the blank line that ends the head has not arrived
// and the head is below its limit.
THTTPHeadResult ParseRequestHead(std::string_view buffer, const THTTPLimits& limits,
                                 THTTPRequestInfo& request);

// Stores the body and fills Params from the query string and, for a body of
// type application/x-www-form-urlencoded, from the body.
void CompleteRequest(THTTPRequestInfo& request, std::string body, const THTTPLimits& limits);

// Appends the pairs of "a=1&b=2" (URL-decoded, '+' as blank) to params,
// stopping at maxParams entries.
void ParseParams(std::string_view text, THTTPParams& params, size_t maxParams);

// The standard reason text of a status code ("Not Found"); "Unknown" for
// codes without one.
std::string ReasonText(int status);

}  // namespace vx
