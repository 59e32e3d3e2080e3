#include "vxload/LoadDensity.h"

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "client/Client.h"
#include "vxload/ProcStats.h"

namespace vx::load {

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

// Logs a player in and walks the login steps; false when that fails.
bool Join(client::TClient& c, const TScenario& s, uint16_t port, const std::string& nick) {
  c.Open(s.Host, port);
  client::TLoginRequest request;
  request.ClientName = "vxload";
  request.NickName = nick;
  const auto reply = c.Login(request, 3000);
  return reply && reply->Result == LOGIN_ACCEPTED && c.EnterServer({}, 3000);
}

}  // namespace

TDensityResult RunDensity(const TScenario& s, const TDensitySettings& d) {
  TDensityResult result;
  std::vector<std::unique_ptr<client::TClient>> players;
  const auto loginStart = TClock::now();
  for (uint32_t server = 0; server < d.Servers; server += d.Every) {
    auto c = std::make_unique<client::TClient>();
    const uint16_t port = uint16_t(s.Port + server);
    if (Join(*c, s, port, s.NickPrefix + std::to_string(server))) {
      players.push_back(std::move(c));
      ++result.Players;
    } else {
      ++result.Failed;
    }
  }
  result.LoginAllS = SecondsSince(loginStart);

  // Idle: every player answers and pings as its session asks.
  auto pumpAll = [&] {
    for (auto& c : players) c->Pump(0);
  };
  const TProcSample before = s.ServerPid > 0 ? ReadProc(s.ServerPid) : TProcSample{};
  const auto idleStart = TClock::now();
  while (SecondsSince(idleStart) < s.IdleS) {
    pumpAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double idleS = SecondsSince(idleStart);
  if (s.ServerPid > 0) {
    const TProcSample after = ReadProc(s.ServerPid);
    if (before.Valid && after.Valid && idleS > 0) {
      result.IdleCpuPercent = (after.CpuS - before.CpuS) / idleS * 100.0;
      result.RssKb = after.RssKb;
    }
  }

  client::TClient late;
  const auto lateStart = TClock::now();
  if (Join(late, s, uint16_t(s.Port + d.Servers - 1), s.NickPrefix + "late"))
    result.LastLoginMs = SecondsSince(lateStart) * 1000.0;
  if (s.Quit) {
    late.Quit(1000);
    for (auto& c : players) c->Quit(1000);
  }
  return result;
}

std::string FormatDensity(const TScenario& s, const TDensitySettings& d, const TDensityResult& r) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(2);
  out << "density: " << d.Servers << " servers, a player on every " << d.Every
      << "th: " << r.Players << " logged in (" << r.Failed << " failed) in " << r.LoginAllS
      << " s; idle CPU " << r.IdleCpuPercent << " % of a core over " << s.IdleS << " s; RSS "
      << r.RssKb << " kB; a new player on the last server logged in in " << r.LastLoginMs
      << " ms\n";
  out << "{\"scenario\":\"density\",\"servers\":" << d.Servers << ",\"every\":" << d.Every
      << ",\"players\":" << r.Players << ",\"failed\":" << r.Failed
      << ",\"login_all_s\":" << r.LoginAllS << ",\"idle_s\":" << s.IdleS
      << ",\"idle_cpu_pct\":" << r.IdleCpuPercent << ",\"rss_kb\":" << r.RssKb
      << ",\"last_login_ms\":" << r.LastLoginMs << "}\n";
  return out.str();
}

}  // namespace vx::load
