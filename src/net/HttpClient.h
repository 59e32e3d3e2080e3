// A small HTTP/1.1 client for http:// addresses: form posts with time-outs,
// an optional local address to bind to, an optional proxy, and a cancel
// switch that ends a request in flight at once. The answer is read (up to a
// cap) and discarded; only its status is reported. There is no TLS here, so
// https:// addresses fail like any other bad request.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx {

class EHttpClient : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An address split into its parts.
struct THttpUrl {
  std::string Scheme;  // "http" or "https", lower case
  std::string Host;    // lower case; an IPv6 literal without its brackets
  uint16_t Port = 80;
  std::string Path;   // starts with "/"
  std::string Query;  // without the "?"; empty when there is none

  bool IsIPv6Literal() const { return Host.find(':') != std::string::npos; }
  // Path and query as the request line carries them.
  std::string Target() const;
  // Host, with the port when it is not the scheme's default (Host header).
  std::string Authority() const;
};

constexpr size_t MaxHttpUrlLength = 2048;

// Splits "scheme://host[:port][/path][?query][#fragment]". Only http and
// https are accepted (case ignored). Refused: user information ("user@"),
// hosts that are neither a dotted name of letters, digits, "-" and "_" nor an
// IPv6 literal in brackets, ports outside 1..65535, blanks and control
// characters anywhere, and texts longer than MaxHttpUrlLength (also once escaped). An empty port
// ("host:") takes the default. Bytes from 0x80 up in the path and query, and a
// "%" that does not start an escape, are percent-encoded.
std::optional<THttpUrl> ParseHttpUrl(std::string_view text);

// One form field: name and value, as raw bytes.
using THttpFormFields = std::vector<std::pair<std::string, std::string>>;

// Form encoding: letters, digits and "*-._" stay, a blank becomes "+", every
// other byte "%XX" (upper-case hex).
std::string FormUrlEncode(std::string_view text);
// "name=value&name=value", each name and value encoded.
std::string EncodeForm(const THttpFormFields& fields);

constexpr std::string_view FormContentType = "application/x-www-form-urlencoded";

// Reads an HTTP/1.x answer as it arrives, to learn its status and where it
// ends; the body itself is dropped. Interim (1xx) answers are skipped.
class THttpResponseParser {
 public:
  static constexpr size_t MaxHeaderBytes = 16 * 1024;

  // Takes the next received bytes; returns how many belong to the answer
  // (fewer than given once it is complete). Raises EHttpClient on malformed
  // input or headers longer than MaxHeaderBytes.
  size_t Feed(std::string_view data);
  // The peer closed the connection: completes an answer whose body runs to
  // the end of the connection; raises EHttpClient when the answer is cut off.
  void Closed();

  bool Complete() const { return State == TState::Done; }
  // The final (non-interim) status line and headers have been read.
  bool HeadDone() const { return State != TState::Head; }
  int Status() const { return StatusCode; }
  uint64_t BodyBytes() const { return BodyCount; }

 private:
  enum class TState { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, UntilClose, Done };

  void ParseHead();
  void StartBody();
  // Drops up to Remaining body bytes; true once Remaining is 0.
  bool TakeBody(std::string_view data, size_t& used);
  // Gathers bytes up to a line end into Line; true once the line is whole.
  bool GatherLine(std::string_view data, size_t& used);
  void ChunkSizeLine();

  TState State = TState::Head;
  std::string Head;  // the header block being gathered
  std::string Line;  // the chunk size or trailer line being gathered
  size_t TrailerBytes = 0;
  int StatusCode = 0;
  bool Chunked = false;
  std::optional<uint64_t> ContentLength;
  uint64_t Remaining = 0;
  uint64_t BodyCount = 0;
};

// Proxy for outgoing requests (off by default).
struct THttpProxy {
  bool Enabled = false;
  std::string Host;
  uint16_t Port = 8080;
  std::string User;
  std::string Password;
};

struct THttpResponse {
  int StatusCode = 0;
  uint64_t BodyBytes = 0;  // bytes of the body that were read and dropped
};

class THttpClient {
 public:
  THttpClient();
  ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // Settings; change them only while no request runs.
  int ConnectTimeoutMs = 10000;         // for reaching the peer (all its addresses)
  int ReadTimeoutMs = 10000;            // for sending the request and reading the answer
  size_t MaxResponseBytes = 64 * 1024;  // more of an answer is not read
  std::string BoundIp;                  // local address of the connections; empty: any
  THttpProxy Proxy;
  std::string UserAgent = "vx-HttpClient/1.0";

  // Posts the fields as a form. Raises EHttpClient when the address is
  // malformed or not http://, when the peer cannot be reached, when a
  // time-out passes, when the answer is malformed, on an error status (400
  // and above), and when the client is cancelled.
  THttpResponse PostForm(const std::string& url, const THttpFormFields& fields);
  THttpResponse Post(const std::string& url, std::string_view contentType, std::string_view body);

  // Ends the running and every later request with a failure. Safe from any
  // thread; there is no way back.
  void Cancel();
  bool Cancelled() const { return CancelFlag.load(); }

 private:
  int Connect(const std::string& host, uint16_t port, int64_t deadlineMs) const;
  // Waits until fd is ready for events or the deadline passes; raises on
  // time-out and cancel.
  void WaitReady(int fd, short events, int64_t deadlineMs, const char* what) const;
  std::string BuildRequest(const THttpUrl& url, std::string_view contentType,
                           std::string_view body) const;

  std::atomic<bool> CancelFlag{false};
  int CancelFd = -1;  // an eventfd that turns readable on Cancel
};

}  // namespace vx
