// Outgoing HTTP and HTTPS form posts through libcurl: time-outs, an optional
// local address to bind to, an optional proxy (otherwise the usual proxy
// variables of the environment apply), certificates checked against the
// system's store, and a cancel switch that ends a request in flight at once.
// The answer is read (up to a cap) and discarded; only its status is
// reported.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// One form field: name and value, as raw bytes.
using THttpFormFields = std::vector<std::pair<std::string, std::string>>;

// Form encoding: letters, digits and "*-._" stay, a blank becomes "+", every
// other byte "%XX" (upper-case hex).
std::string FormUrlEncode(std::string_view text);
// "name=value&name=value", each name and value encoded.
std::string EncodeForm(const THttpFormFields& fields);

constexpr std::string_view FormContentType = "application/x-www-form-urlencoded";

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
  int ConnectTimeoutMs = 10000;         // for reaching the peer, TLS handshake included
  int ReadTimeoutMs = 10000;            // for sending the request and reading the answer
  size_t MaxResponseBytes = 64 * 1024;  // more of an answer is not read
  std::string BoundIp;                  // local address of the connections; empty: any
  THttpProxy Proxy;
  std::string UserAgent;  // set by the constructor: program and library versions
  // Certificates (PEM) to trust instead of the system's store; empty: the
  // system's store.
  std::string CaFile;

  // Posts the fields as a form to an http:// or https:// address. Raises
  // EHttpClient when the address is malformed or of another scheme, when the
  // peer cannot be reached or its certificate is not trusted, when a
  // time-out passes, on an error status (400 and above), and when the client
  // is cancelled. Redirections are not followed.
  THttpResponse PostForm(const std::string& url, const THttpFormFields& fields);
  THttpResponse Post(const std::string& url, std::string_view contentType, std::string_view body);

  // Ends the running and every later request with a failure. Safe from any
  // thread; there is no way back.
  void Cancel();
  bool Cancelled() const { return CancelFlag.load(); }

 private:
  std::atomic<bool> CancelFlag{false};
  void* Multi = nullptr;  // the CURLM handle that runs the requests
};

}  // namespace vx
