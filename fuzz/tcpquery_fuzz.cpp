// Feeds arbitrary bytes, split into lines as a connection splits them, to
// the query's command table, without sockets. The manager holds one server
// that is registered but not running (no buffer, players or channels) and
// no database. The first byte chooses whether the session counts as logged
// in; commands that would start, stop or change servers (which bind sockets
// and write files) are left out then.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "admin/tcpquery_u.h"
#include "net/LineServer.h"
#include "server/serverobject_u.h"

namespace {

// Wrong logins are never held back here: the fuzzer does not wait.
vx::TLoginThrottle::TLimits NoWaits() {
  vx::TLoginThrottle::TLimits limits;
  limits.FreeFailures = std::numeric_limits<int>::max();
  return limits;
}

struct TFuzzWorld {
  vx::TServerManager Manager;
  vx::TLoginThrottle Throttle{NoWaits()};
  std::unique_ptr<vx::TTCPQuery> Query;
  std::vector<vx::TLineCommand> Changing;

  TFuzzWorld() {
    auto server = std::make_shared<vx::TServerObject>(Manager);
    server->ConfigName = "server_cfg Fuzz";
    server->EditSettings([&](vx::TServerSettings& s) { s.ServerUDPPort = 8767; });
    Manager.RegisterServer(server);
    Query = std::make_unique<vx::TTCPQuery>(Manager);
    Query->SetLoginThrottle(Throttle);
    for (const char* word : {"stop", "restart", "addserver", "set"}) {
      Changing.push_back({word, {}});
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFuzzWorld world;
  if (size == 0) return 0;
  auto session = world.Query->NewSession();
  const bool loggedIn = (data[0] & 1) != 0;
  session->LoggedIn = loggedIn;
  vx::TLineSplitter splitter(4096);
  std::vector<vx::TLineSplitter::TItem> lines;
  splitter.Feed(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), lines);
  std::vector<std::string> params;
  for (const auto& item : lines) {
    if (item.Overlong) continue;
    if (session->LoggedIn && vx::MatchLineCommand(world.Changing, item.Line, params) >= 0) continue;
    std::string output;
    const bool open = world.Query->ProcessLine(*session, item.Line, output);
    // Every reply line ends with one LF, and no CR is ever written.
    if (!output.empty() && output.back() != '\n') __builtin_trap();
    if (output.find('\r') != std::string::npos) __builtin_trap();
    if (!open) break;
  }
  return 0;
}
