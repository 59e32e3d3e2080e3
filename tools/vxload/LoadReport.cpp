#include "vxload/LoadReport.h"

#include <cstdio>
#include <sstream>

namespace vx::load {

namespace {

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

double CpuUsPerRelayed(const TStepResult& s) {
  return s.ServerCpuS >= 0 && s.Loss.Received > 0 ? s.ServerCpuS * 1e6 / double(s.Loss.Received)
                                                  : -1;
}

}  // namespace

int HighestLossFreeStep(const TRunResult& r) {
  int best = -1;
  for (size_t i = 0; i < r.Steps.size(); ++i) {
    if (r.Steps[i].Loss.LossPercent() > r.Scenario.RampTolerancePercent) break;
    best = int(i);
  }
  return best;
}

std::string FormatTable(const TRunResult& r) {
  const TScenario& s = r.Scenario;
  std::ostringstream out;
  out << "vxload " << s.Name << " against " << s.Target << " (port " << s.Port << "): " << s.Players
      << " players, " << s.Channels << " channels, " << s.Speakers << " speakers, "
      << s.PayloadBytes << "-byte payloads, " << s.PlayersPerSocket << " player(s) per socket\n";
  out << "  login          " << r.LoggedIn << " in, " << r.LoginFailed << " failed, "
      << r.LoginRetries << " retries, " << r.Misplaced << " misplaced; all in "
      << Fixed(r.LoginSeconds, 2) << " s; per player p50 "
      << Fixed(r.LoginUs.Percentile(0.5) / 1e3, 1) << " ms, p99 "
      << Fixed(r.LoginUs.Percentile(0.99) / 1e3, 1) << " ms\n";
  if (r.ServerBefore.Valid && r.ServerAfterLogin.Valid)
    out << "  server memory  RSS " << r.ServerBefore.RssKb << " kB before, "
        << r.ServerAfterLogin.RssKb << " kB logged in (" << Fixed(r.RssPerPlayerBytes(), 0)
        << " B per player), peak "
        << (r.ServerEnd.Valid ? r.ServerEnd.HwmKb : r.ServerAfterLogin.HwmKb) << " kB\n";
  if (r.IdleSeconds > 0)
    out << "  idle           " << Fixed(r.IdleSeconds, 1) << " s, server CPU "
        << (r.IdleServerCpuS >= 0
                ? Fixed(r.IdleServerCpuS, 2) + " s = " +
                      Fixed(100.0 * r.IdleServerCpuS / r.IdleSeconds, 2) + " % of one core"
                : std::string("n/a"))
        << "\n";
  if (!r.Steps.empty()) {
    out << "  fps    offered/s  relayed/s    expected    received  lost      loss%    "
           "p50us   p99us  p99.9us    maxus  srvCPU us/pkt  own CPU s\n";
    for (const TStepResult& st : r.Steps) {
      char line[512];
      const double cpu = CpuUsPerRelayed(st);
      std::snprintf(line, sizeof line,
                    "  %-6.0f %9.0f %10.0f %11llu %11llu %-9llu %6.4f %8llu %7llu %8llu %8llu %14s "
                    "%10.2f\n",
                    st.FramesPerSecond, st.OfferedPerSecond, st.RelayedPerSecond(),
                    (unsigned long long)st.Loss.Expected, (unsigned long long)st.Loss.Received,
                    (unsigned long long)st.Loss.Lost(), st.Loss.LossPercent(),
                    (unsigned long long)st.LatencyUs.Percentile(0.5),
                    (unsigned long long)st.LatencyUs.Percentile(0.99),
                    (unsigned long long)st.LatencyUs.Percentile(0.999),
                    (unsigned long long)st.LatencyUs.Max(),
                    cpu >= 0 ? Fixed(cpu, 3).c_str() : "n/a", st.OwnCpuS);
      out << line;
    }
    if (!s.RampFps.empty()) {
      const int best = HighestLossFreeStep(r);
      out << "  highest loss-free: "
          << (best < 0 ? std::string("none")
                       : Fixed(r.Steps[size_t(best)].RelayedPerSecond(), 0) + " relayed/s")
          << "\n";
    }
  }
  out << "  protocol       " << r.CommandsReceived << " commands in, " << r.Resends << " resends, "
      << r.PingsSent << " pings, " << r.Pongs << " pongs, " << r.Rejected
      << " rejected or unsent; vxload CPU " << Fixed(r.OwnCpuS, 2) << " s\n";
  if (!r.Aborted.empty()) out << "  ABORTED: " << r.Aborted << "\n";
  return out.str();
}

std::string FormatJson(const TRunResult& r) {
  const TScenario& s = r.Scenario;
  std::ostringstream j;
  auto num = [](double v, int decimals) { return Fixed(v, decimals); };
  auto opt = [&](bool valid, double v, int decimals) {
    return valid ? num(v, decimals) : std::string("null");
  };
  j << "{\"scenario\":" << JsonText(s.Name) << ",\"target\":" << JsonText(s.Target)
    << ",\"players\":" << s.Players << ",\"channels\":" << s.Channels
    << ",\"speakers\":" << s.Speakers << ",\"payload\":" << s.PayloadBytes
    << ",\"players_per_socket\":" << s.PlayersPerSocket << ",\"logged_in\":" << r.LoggedIn
    << ",\"login_failed\":" << r.LoginFailed << ",\"misplaced\":" << r.Misplaced
    << ",\"login_s\":" << num(r.LoginSeconds, 3)
    << ",\"login_p99_ms\":" << num(r.LoginUs.Percentile(0.99) / 1e3, 1)
    << ",\"rss_before_kb\":" << opt(r.ServerBefore.Valid, double(r.ServerBefore.RssKb), 0)
    << ",\"rss_logged_in_kb\":"
    << opt(r.ServerAfterLogin.Valid, double(r.ServerAfterLogin.RssKb), 0)
    << ",\"rss_per_player_b\":" << opt(r.ServerAfterLogin.Valid, r.RssPerPlayerBytes(), 0)
    << ",\"peak_rss_kb\":" << opt(r.ServerEnd.Valid, double(r.ServerEnd.HwmKb), 0)
    << ",\"idle_s\":" << num(r.IdleSeconds, 2) << ",\"idle_cpu_pct\":"
    << opt(r.IdleServerCpuS >= 0 && r.IdleSeconds > 0,
           r.IdleSeconds > 0 ? 100.0 * r.IdleServerCpuS / r.IdleSeconds : 0, 3)
    << ",\"steps\":[";
  for (size_t i = 0; i < r.Steps.size(); ++i) {
    const TStepResult& st = r.Steps[i];
    const double cpu = CpuUsPerRelayed(st);
    j << (i ? "," : "") << "{\"fps\":" << num(st.FramesPerSecond, 1)
      << ",\"offered_per_s\":" << num(st.OfferedPerSecond, 0)
      << ",\"relayed_per_s\":" << num(st.RelayedPerSecond(), 0)
      << ",\"frames_sent\":" << st.Loss.FramesSent << ",\"expected\":" << st.Loss.Expected
      << ",\"received\":" << st.Loss.Received << ",\"lost\":" << st.Loss.Lost()
      << ",\"surplus\":" << st.Loss.Surplus() << ",\"foreign\":" << st.Loss.Foreign
      << ",\"loss_pct\":" << num(st.Loss.LossPercent(), 5)
      << ",\"lat_us\":{\"p50\":" << st.LatencyUs.Percentile(0.5)
      << ",\"p99\":" << st.LatencyUs.Percentile(0.99)
      << ",\"p999\":" << st.LatencyUs.Percentile(0.999) << ",\"max\":" << st.LatencyUs.Max()
      << "},\"server_cpu_s\":" << opt(st.ServerCpuS >= 0, st.ServerCpuS, 3)
      << ",\"server_cpu_us_per_relayed\":" << opt(cpu >= 0, cpu, 4)
      << ",\"vxload_cpu_s\":" << num(st.OwnCpuS, 3) << "}";
  }
  const int best = HighestLossFreeStep(r);
  j << "],\"highest_loss_free_per_s\":"
    << (s.RampFps.empty() || best < 0 ? std::string("null")
                                      : num(r.Steps[size_t(best)].RelayedPerSecond(), 0))
    << ",\"resends\":" << r.Resends << ",\"pings\":" << r.PingsSent << ",\"pongs\":" << r.Pongs
    << ",\"rejected\":" << r.Rejected << ",\"vxload_cpu_s\":" << num(r.OwnCpuS, 2)
    << ",\"aborted\":" << (r.Aborted.empty() ? std::string("null") : JsonText(r.Aborted)) << "}";
  return j.str();
}

}  // namespace vx::load
