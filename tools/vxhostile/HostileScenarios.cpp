#include "vxhostile/HostileScenarios.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "client/Client.h"
#include "common/ByteOrder.h"
#include "vxhostile/HostileFlood.h"
#include "vxload/LoadStats.h"
#include "vxload/ProcStats.h"

namespace vx::hostile {

namespace {

using TClock = std::chrono::steady_clock;
using client::TClient;

constexpr int ReplyTimeoutMs = 2000;

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

double SecondsSince(TClock::time_point t) {
  return std::chrono::duration<double>(TClock::now() - t).count();
}

std::string ResultsText(const TSourceCounts& c) {
  std::string out;
  for (const auto& [result, n] : c.Results)
    out += (out.empty() ? "" : ", ") + std::to_string(n) + " x " + std::to_string(result);
  return out.empty() ? "none" : out;
}

// What the server spent and logged while the attack lasted.
class TServerWatch {
 public:
  explicit TServerWatch(const TSettings& s) : Settings(s) {}
  void Start() {
    Began = TClock::now();
    Cpu = load::ReadProc(Settings.ServerPid);
    LogBytes = LogSize();
  }
  void Stop(TReport& r) {
    const double wall = SecondsSince(Began);
    const load::TProcSample end = load::ReadProc(Settings.ServerPid);
    if (Settings.ServerPid > 0 && Cpu.Valid && end.Valid) {
      const double percent = 100.0 * (end.CpuS - Cpu.CpuS) / wall;
      r.Lines.push_back("server CPU       " + Fixed(percent, 1) + " % of a core over " +
                        Fixed(wall, 1) + " s");
      r.Json.emplace_back("server_cpu_percent", Fixed(percent, 1));
    }
    if (!Settings.LogPath.empty()) {
      const int64_t growth = LogSize() - LogBytes;
      r.Lines.push_back("server.log       +" + std::to_string(growth) + " bytes");
      r.Json.emplace_back("log_growth_bytes", std::to_string(growth));
    }
  }

 private:
  int64_t LogSize() const {
    std::error_code ec;
    const auto size = std::filesystem::file_size(Settings.LogPath, ec);
    return ec ? 0 : int64_t(size);
  }
  const TSettings& Settings;
  TClock::time_point Began;
  load::TProcSample Cpu;
  int64_t LogBytes = 0;
};

// Real players from 127.0.0.1: each attempt logs in, enters and quits.
class TRealLogins {
 public:
  explicit TRealLogins(const TSettings& s) : Settings(s) {}

  void Attempt(const std::string& nick) {
    ++Attempts;
    TClient c;
    c.Open(Settings.Host, Settings.Port);
    client::TLoginRequest request;
    request.NickName = nick;
    const auto sent = TClock::now();
    const auto reply = c.Login(request, ReplyTimeoutMs);
    if (!reply) return;
    LatencyUs.Add(uint64_t(SecondsSince(sent) * 1e6));
    Results.CountResult(reply->Result);
    if (reply->Result != LOGIN_ACCEPTED) return;
    ++Accepted;
    if (c.EnterServer({}, ReplyTimeoutMs)) {
      ++Entered;
      c.Quit(ReplyTimeoutMs);
    }
  }

  uint64_t AttemptCount() const { return Attempts; }

  void Report(TReport& r) const {
    r.Lines.push_back("real logins      " + std::to_string(Attempts) + " tried, " +
                      std::to_string(LatencyUs.Count()) + " answered (" + ResultsText(Results) +
                      "), " + std::to_string(Entered) + " entered; reply p50 " +
                      Fixed(double(LatencyUs.Percentile(0.5)) / 1e3, 1) + " ms, p99 " +
                      Fixed(double(LatencyUs.Percentile(0.99)) / 1e3, 1) + " ms");
    r.Json.emplace_back("real_attempts", std::to_string(Attempts));
    r.Json.emplace_back("real_answered", std::to_string(LatencyUs.Count()));
    r.Json.emplace_back("real_admitted", std::to_string(Accepted));
    r.Json.emplace_back("real_entered", std::to_string(Entered));
    r.Json.emplace_back("real_reply_p50_ms", Fixed(double(LatencyUs.Percentile(0.5)) / 1e3, 2));
    r.Json.emplace_back("real_reply_p99_ms", Fixed(double(LatencyUs.Percentile(0.99)) / 1e3, 2));
  }

 private:
  const TSettings& Settings;
  uint64_t Attempts = 0, Accepted = 0, Entered = 0;
  TSourceCounts Results;
  load::TLatencyHistogram LatencyUs;
};

// A flood of never-completed logins with real login attempts beside it,
// and what the server spent and logged meanwhile.
class TAttack {
 public:
  // The flood starts at once; its addresses read for lingerMs after it.
  TAttack(const TSettings& s, int lingerMs)
      : Flood(ServerAddress(s.Host, s.Port), size_t(s.Addresses)),
        Real(s),
        Watch(s),
        Seconds(s.Seconds),
        Start(TClock::now()),
        FloodEnd(Start + std::chrono::milliseconds(int(s.Seconds * 1000))) {
    Watch.Start();
    Flood.Start(s.Rate, int(s.Seconds * 1000), lingerMs);
  }
  // Waits for the flood's end and reports the flood and the real logins.
  void Finish(TReport& r) {
    Flood.Join();
    Watch.Stop(r);
    const TSourceCounts t = Flood.Total();
    r.Lines.push_back("flood            " + std::to_string(t.Requests) + " login requests from " +
                      std::to_string(Flood.Sources().size()) + " addresses in " +
                      Fixed(Seconds, 1) + " s (" + Fixed(double(t.Requests) / Seconds, 0) +
                      "/s); replies: " + ResultsText(t));
    r.Json.emplace_back("flood_requests", std::to_string(t.Requests));
    r.Json.emplace_back("flood_addresses", std::to_string(Flood.Sources().size()));
    r.Json.emplace_back("flood_replies", std::to_string(t.Replies));
    Real.Report(r);
  }

  TLoginFlood Flood;
  TRealLogins Real;
  TServerWatch Watch;
  const double Seconds;
  const TClock::time_point Start, FloodEnd;
};

std::unique_ptr<TClient> EnterPlayer(const TSettings& s, const std::string& nick) {
  auto c = std::make_unique<TClient>();
  c->Open(s.Host, s.Port);
  client::TLoginRequest request;
  request.NickName = nick;
  const auto reply = c->Login(request, ReplyTimeoutMs);
  if (!reply || reply->Result != LOGIN_ACCEPTED || !c->EnterServer({}, ReplyTimeoutMs))
    throw client::EClient("The player " + nick + " could not log in");
  return c;
}

TReport Wedge(const TSettings& s) {
  TReport r;
  auto wedged = EnterPlayer(s, "wedged");
  // From here on it takes in nothing and acknowledges nothing; it only pings.
  const uint32_t connectionID = wedged->Session().ConnectionID();
  const uint32_t playerID = wedged->Session().PlayerID();
  uint32_t pingSequence = wedged->Session().LastMaintenanceSequence();
  wedged->Session().Stop();
  wedged->ClearLog();

  TAttack attack(s, 2000);
  auto nextPing = attack.Start, nextLogin = attack.Start;
  uint64_t pings = 0;
  for (auto now = attack.Start; now < attack.FloodEnd; now = TClock::now()) {
    if (now >= nextPing) {
      const TPacket ping = client::EncodePing(connectionID, playerID, ++pingSequence);
      wedged->SendRaw(ping.View());
      ++pings;
      nextPing += std::chrono::seconds(1);
    }
    if (now >= nextLogin) {
      attack.Real.Attempt("real" + std::to_string(attack.Real.AttemptCount()));
      nextLogin += std::chrono::milliseconds(250);
    }
    wedged->Pump(5);
  }
  attack.Finish(r);
  wedged->Pump(0);
  uint64_t pongs = 0, commands = 0;
  for (const client::TLogEntry& e : wedged->Log()) {
    if (e.Outgoing) continue;
    pongs += e.Class == TPacketClass::Maintenance && e.Code == MAINT_PONG;
    commands += e.Class == TPacketClass::Command;
  }
  r.Lines.push_back("wedged player    " + std::to_string(pings) + " pings, " +
                    std::to_string(pongs) + " pongs, " + std::to_string(commands) +
                    " commands received (resends included), none acknowledged");
  r.Json.emplace_back("wedged_pings", std::to_string(pings));
  r.Json.emplace_back("wedged_pongs", std::to_string(pongs));
  return r;
}

TReport Crowd(const TSettings& s) {
  TReport r;
  TAttack attack(s, 500);
  // The attempts spread over the flood, the first after a quarter of a gap
  // so that the flood has filled the server by then.
  const double gap = s.Seconds / std::max(1, s.RealAttempts);
  for (int i = 0; i < s.RealAttempts; ++i) {
    std::this_thread::sleep_until(attack.Start +
                                  std::chrono::duration_cast<TClock::duration>(
                                      std::chrono::duration<double>((i + 0.25) * gap)));
    attack.Real.Attempt("real" + std::to_string(i));
  }
  attack.Finish(r);
  return r;
}

TReport Amplify(const TSettings& s) {
  TReport r;
  std::vector<std::unique_ptr<TClient>> players;
  for (int i = 0; i < s.Players; ++i)
    players.push_back(EnterPlayer(s, "player" + std::to_string(i)));
  // Long enough after the flood for every resend and time-out to arrive.
  constexpr int LingerMs = 4000;
  TAttack attack(s, LingerMs);
  const auto end = attack.FloodEnd + std::chrono::milliseconds(LingerMs);
  auto nextText = attack.Start, nextChurn = attack.Start;
  // A text to every player: 288 bytes in, a 314-byte notice to each.
  std::vector<uint8_t> text(264);
  text[0] = 200;
  std::fill(text.begin() + 1, text.begin() + 201, uint8_t('x'));
  PutLE32(text.data() + 260, uint32_t(-1));
  uint64_t texts = 0;
  for (auto now = attack.Start; now < end; now = TClock::now()) {
    if (now < attack.FloodEnd) {
      if (now >= nextText) {
        players[texts % players.size()]->SendCommand(cmd::CMD_cs_InfoSendText, text);
        ++texts;
        nextText += std::chrono::milliseconds(250 / std::max<size_t>(1, players.size()));
      }
      if (now >= nextChurn) {
        attack.Real.Attempt("churn" + std::to_string(attack.Real.AttemptCount()));
        nextChurn += std::chrono::milliseconds(500);
      }
    }
    for (auto& p : players) p->Pump(1);
  }
  attack.Finish(r);
  for (auto& p : players) p->Quit(ReplyTimeoutMs);
  r.Lines.push_back("chat             " + std::to_string(texts) + " texts to all from " +
                    std::to_string(players.size()) + " players");
  r.Lines.push_back("per flood address  sent B  replies  reply B  other B  other/sent  all/sent");
  double worstOther = 0, worstAll = 0, sumOther = 0, sumAll = 0;
  std::string otherList, allList;
  for (const auto& source : attack.Flood.Sources()) {
    const TSourceCounts& c = source->Counts;
    const double sent = double(std::max<uint64_t>(1, c.BytesSent));
    const double other = double(c.OtherBytes) / sent;
    const double all = double(c.OtherBytes + c.ReplyBytes) / sent;
    worstOther = std::max(worstOther, other);
    worstAll = std::max(worstAll, all);
    sumOther += other;
    sumAll += all;
    otherList += (otherList.empty() ? "" : ",") + Fixed(other, 3);
    allList += (allList.empty() ? "" : ",") + Fixed(all, 3);
    char line[160];
    std::snprintf(line, sizeof line, "  %-15s %8llu %8llu %8llu %8llu %10.3f %9.3f",
                  source->Address().c_str(), (unsigned long long)c.BytesSent,
                  (unsigned long long)c.Replies, (unsigned long long)c.ReplyBytes,
                  (unsigned long long)c.OtherBytes, other, all);
    r.Lines.push_back(line);
  }
  const double n = double(std::max<size_t>(1, attack.Flood.Sources().size()));
  r.Lines.push_back("ratio besides replies: worst " + Fixed(worstOther, 3) + ", mean " +
                    Fixed(sumOther / n, 3) + "; replies included: worst " + Fixed(worstAll, 3) +
                    ", mean " + Fixed(sumAll / n, 3));
  r.Json.emplace_back("texts", std::to_string(texts));
  r.Json.emplace_back("ratio_other_worst", Fixed(worstOther, 3));
  r.Json.emplace_back("ratio_other_mean", Fixed(sumOther / n, 3));
  r.Json.emplace_back("ratio_all_worst", Fixed(worstAll, 3));
  r.Json.emplace_back("ratio_all_mean", Fixed(sumAll / n, 3));
  r.Json.emplace_back("ratio_other_by_address", "[" + otherList + "]");
  r.Json.emplace_back("ratio_all_by_address", "[" + allList + "]");
  return r;
}

TReport Guess(const TSettings& s) {
  TReport r;
  TFloodSource source(FloodAddress(0), ServerAddress(s.Host, s.Port));
  TServerWatch watch(s);
  watch.Start();
  client::TLoginRequest request;
  request.LogInName = s.Login;
  const auto start = TClock::now();
  const auto end = start + std::chrono::milliseconds(int(s.Seconds * 1000));
  auto lastAnswer = start;
  uint64_t outstanding = 0, tries = 0;
  pollfd fd{source.Fd(), POLLIN, 0};
  for (auto now = start; now < end; now = TClock::now()) {
    // Answers that are this late are taken as lost, and the window refilled.
    if (now - lastAnswer > std::chrono::seconds(3)) outstanding = 0;
    for (; outstanding < uint64_t(s.Window); ++outstanding, ++tries) {
      request.PassWord = "wrong" + std::to_string(tries);
      request.NickName = "guess" + std::to_string(tries);
      source.SendLogin(request);
    }
    if (poll(&fd, 1, 5) <= 0) continue;
    const size_t answers = source.Drain();
    if (answers == 0) continue;
    lastAnswer = TClock::now();
    outstanding -= std::min<uint64_t>(outstanding, answers);
  }
  const double seconds = SecondsSince(start);
  const TSourceCounts answered = source.Counts;
  watch.Stop(r);
  r.Lines.push_back("guesses          " + std::to_string(tries) + " wrong passwords for \"" +
                    s.Login + "\" from one address, " + std::to_string(s.Window) +
                    " awaiting their answer at a time");
  r.Lines.push_back("answers          " + std::to_string(answered.Replies) + " in " +
                    Fixed(seconds, 1) + " s: " + Fixed(double(answered.Replies) / seconds, 1) +
                    " per second (" + ResultsText(answered) + ")");
  r.Json.emplace_back("guesses", std::to_string(tries));
  r.Json.emplace_back("answers", std::to_string(answered.Replies));
  r.Json.emplace_back("answers_per_second", Fixed(double(answered.Replies) / seconds, 1));
  return r;
}

bool ParseNumber(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0';
}

}  // namespace

std::vector<std::string> ApplyArguments(TSettings& s, const std::vector<std::string>& args) {
  std::vector<std::string> rest;
  for (const std::string& a : args) {
    const size_t eq = a.find('=');
    if (a.rfind("--", 0) != 0 || eq == std::string::npos) {
      rest.push_back(a);
      continue;
    }
    const std::string key = a.substr(2, eq - 2), value = a.substr(eq + 1);
    double v = 0;
    const bool number = ParseNumber(value, v);
    if (key == "host")
      s.Host = value;
    else if (key == "log")
      s.LogPath = value;
    else if (key == "login")
      s.Login = value;
    else if (!number)
      rest.push_back(a);
    else if (key == "port")
      s.Port = uint16_t(v);
    else if (key == "server-pid")
      s.ServerPid = int(v);
    else if (key == "seconds")
      s.Seconds = v;
    else if (key == "rate")
      s.Rate = v;
    else if (key == "addresses")
      s.Addresses = int(v);
    else if (key == "real")
      s.RealAttempts = int(v);
    else if (key == "players")
      s.Players = int(v);
    else if (key == "window")
      s.Window = int(v);
    else
      rest.push_back(a);
  }
  return rest;
}

std::string ArgumentHelp() {
  return "  --port=P (required)  --host=127.0.0.1  --server-pid=PID  --log=PATH (server.log)\n"
         "  --seconds=S  --rate=R  --addresses=A  (flood; defaults per scenario)\n"
         "  --real=14 (crowd)  --players=4 (amplify)  --login=admin --window=16 (guess)\n";
}

TReport RunScenario(const TSettings& settings) {
  if (settings.Port == 0) throw client::EClient("--port is required");
  TSettings s = settings;
  // Defaults: length, rate, addresses.
  auto defaults = [&s](double seconds, double rate, int addresses) {
    if (s.Seconds <= 0) s.Seconds = seconds;
    if (s.Rate <= 0) s.Rate = rate;
    if (s.Addresses <= 0) s.Addresses = addresses;
  };
  TReport r;
  if (s.Scenario == "wedge") {
    defaults(10, 1300, 64);
    r = Wedge(s);
  } else if (s.Scenario == "crowd") {
    defaults(10, 300, 64);
    r = Crowd(s);
  } else if (s.Scenario == "amplify") {
    defaults(10, 300, 16);
    r = Amplify(s);
  } else if (s.Scenario == "guess") {
    defaults(20, 0, 1);
    r = Guess(s);
  } else {
    throw client::EClient("Unknown scenario " + s.Scenario);
  }
  r.Scenario = s.Scenario;
  return r;
}

std::string FormatTable(const TReport& r) {
  std::ostringstream out;
  out << "vxhostile " << r.Scenario << "\n";
  for (const std::string& line : r.Lines) out << "  " << line << "\n";
  return out.str();
}

std::string FormatJson(const TReport& r) {
  std::string out = "{\"scenario\":\"" + r.Scenario + "\"";
  for (const auto& [key, value] : r.Json) out += ",\"" + key + "\":" + value;
  return out + "}";
}

}  // namespace vx::hostile
