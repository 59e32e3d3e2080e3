// Fuzz target for the HTTP request parser: request line, headers, cookies,
// the body by its length, parameters from the query string and a form body,
// and URL decoding. Checks what every caller relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/HttpEncoding.h"
#include "net/HttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  vx::THTTPLimits limits;
  limits.MaxHeadBytes = 2048;
  limits.MaxBodyBytes = 2048;
  limits.MaxParams = 64;
  vx::THTTPRequestInfo request;
  const vx::THTTPHeadResult r = vx::ParseRequestHead(input, limits, request);
  switch (r.State) {
    case vx::THTTPParseState::NeedMore:
      if (input.size() > limits.MaxHeadBytes) std::abort();
      break;
    case vx::THTTPParseState::Failed:
      if (r.ErrorStatus != 400 && r.ErrorStatus != 413 && r.ErrorStatus != 431 &&
          r.ErrorStatus != 501 && r.ErrorStatus != 505) {
        std::abort();
      }
      break;
    case vx::THTTPParseState::Complete: {
      if (r.HeadLength > input.size() || r.HeadLength > limits.MaxHeadBytes ||
          r.BodyLength > limits.MaxBodyBytes) {
        std::abort();
      }
      if (request.Document.empty() || request.Document[0] != '/' ||
          request.Document.find('\0') != std::string::npos) {
        std::abort();
      }
      if (request.Version != "HTTP/1.0" && request.Version != "HTTP/1.1") std::abort();
      std::string body(input.substr(r.HeadLength, r.BodyLength));
      vx::CompleteRequest(request, std::move(body), limits);
      if (request.Params.size() > 2 * limits.MaxParams) std::abort();
      (void)request.Cookie("VXSESSIONID");
      (void)request.KeepAliveRequested();
      (void)request.Param("username");
      if (vx::URLDecode(vx::URLEncode(request.Document), false) != request.Document) std::abort();
      break;
    }
  }
  // Decoding never grows a text; escaping keeps every byte but the five.
  if (vx::URLDecode(input, true).size() > input.size()) std::abort();
  const std::string escaped = vx::HTMLEscape(input);
  if (escaped.find_first_of("<>\"'") != std::string::npos) std::abort();
  return 0;
}
