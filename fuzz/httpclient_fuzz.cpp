// Feeds arbitrary bytes to the HTTP client's parsers. An address that parses
// must print to a request target without blanks or control characters and
// parse again to the same parts. An answer must be read the same whether it
// arrives at once or byte by byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "net/HttpClient.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckUrl(std::string_view input) {
  const std::optional<vx::THttpUrl> url = vx::ParseHttpUrl(input);
  if (!url) return;
  const std::string target = url->Target();
  for (char c : target) {
    const auto b = static_cast<unsigned char>(c);
    Check(b > 0x20 && b < 0x7F);
  }
  const std::optional<vx::THttpUrl> again =
      vx::ParseHttpUrl(url->Scheme + "://" + url->Authority() + target);
  Check(again.has_value());
  Check(again->Scheme == url->Scheme && again->Host == url->Host && again->Port == url->Port &&
        again->Path == url->Path && again->Query == url->Query);
}

struct TOutcome {
  bool Failed = false;
  size_t Used = 0;
  bool Complete = false;
  int Status = 0;
  uint64_t Body = 0;
};

TOutcome Read(std::string_view input, size_t piece) {
  TOutcome out;
  vx::THttpResponseParser parser;
  try {
    for (size_t at = 0; at < input.size() && !parser.Complete(); at += piece) {
      out.Used += parser.Feed(input.substr(at, piece));
    }
    if (!parser.Complete()) parser.Closed();
  } catch (const vx::EHttpClient&) {
    out.Failed = true;
    return out;
  }
  out.Complete = parser.Complete();
  out.Status = parser.Status();
  out.Body = parser.BodyBytes();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckUrl(input);
  const TOutcome whole = Read(input, input.size() + 1);
  const TOutcome bytes = Read(input, 1);
  Check(whole.Failed == bytes.Failed);
  if (!whole.Failed) {
    Check(whole.Used == bytes.Used && whole.Complete == bytes.Complete &&
          whole.Status == bytes.Status && whole.Body == bytes.Body);
    Check(whole.Used <= input.size() && whole.Status >= 200 && whole.Status <= 599);
  }
  return 0;
}
