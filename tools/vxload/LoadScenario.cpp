#include "vxload/LoadScenario.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>

#include "common/ByteOrder.h"

namespace vx::load {

namespace {

constexpr size_t MaxShortText = 29;

double ParseDouble(std::string_view key, std::string_view text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
    throw ELoad("bad number for --" + std::string(key) + ": " + std::string(text));
  return v;
}

uint64_t ParseUnsigned(std::string_view key, std::string_view text, uint64_t max) {
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v > max)
    throw ELoad("bad value for --" + std::string(key) + ": " + std::string(text));
  return v;
}

std::vector<double> ParseList(std::string_view key, std::string_view text) {
  std::vector<double> out;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    out.push_back(ParseDouble(key, text.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return out;
}

}  // namespace

void TScenario::Validate() const {
  auto fail = [](const std::string& why) { throw ELoad(why); };
  if (Players == 0) fail("at least one player is needed");
  if (Channels == 0 || Channels > Players) fail("channels must be between 1 and the player count");
  if (Speakers > Players) fail("more speakers than players");
  if (Speakers > 0 && (Speakers + Channels - 1) / Channels > Players / Channels)
    fail("more speakers per channel than players in the smallest channel");
  if (FramesPerSecond <= 0 || FramesPerSecond > 10000) fail("frames per second out of range");
  for (double f : RampFps)
    if (f <= 0 || f > 10000) fail("ramp frame rate out of range");
  if (PayloadBytes < TFramePayload::MinSize || PayloadBytes > 1400)
    fail("payload must be 20 to 1400 bytes");
  if (DurationS < 0 || IdleS < 0 || SettleS < 0 || DrainS < 0) fail("negative time");
  if (LoginRate <= 0 || LoginsInFlight == 0)
    fail("login rate and logins in flight must be above 0");
  if (PlayersPerSocket == 0) fail("players per socket must be at least 1");
  if (ChannelName(Channels - 1).size() > MaxShortText) fail("channel names longer than 29");
  if (NickName(Players - 1).size() > MaxShortText) fail("nicknames longer than 29");
  // Load goes to this machine only.
  if (Host.rfind("127.", 0) != 0) fail("only loopback addresses (127.x.x.x) are allowed");
}

uint32_t TScenario::ChannelOf(uint32_t player) const {
  return uint32_t(uint64_t(player) * Channels / Players);
}

uint32_t TScenario::FirstOfChannel(uint32_t channel) const {
  // The smallest i with i * Channels / Players >= channel.
  return uint32_t((uint64_t(channel) * Players + Channels - 1) / Channels);
}

uint32_t TScenario::ChannelSize(uint32_t channel) const {
  return FirstOfChannel(channel + 1) - FirstOfChannel(channel);
}

std::vector<uint32_t> TScenario::SpeakerPlayers() const {
  std::vector<uint32_t> out;
  out.reserve(Speakers);
  for (uint32_t j = 0; j < Speakers; ++j) {
    const uint32_t channel = j % Channels;
    const uint32_t rank = j / Channels;
    if (rank < ChannelSize(channel)) out.push_back(FirstOfChannel(channel) + rank);
  }
  return out;
}

std::string TScenario::ChannelName(uint32_t channel) const {
  return ChannelPrefix + std::to_string(channel);
}

std::string TScenario::NickName(uint32_t player) const {
  return NickPrefix + std::to_string(player);
}

double TScenario::OfferedRelayedPerSecond(double framesPerSecond) const {
  double listeners = 0;
  for (uint32_t p : SpeakerPlayers()) listeners += ChannelSize(ChannelOf(p)) - 1;
  return listeners * framesPerSecond;
}

std::optional<TScenario> NamedScenario(std::string_view name) {
  TScenario s;
  s.Name = std::string(name);
  auto set = [&](uint32_t players, uint32_t channels, uint32_t speakers, double fps,
                 double seconds) {
    s.Players = players;
    s.Channels = channels;
    s.Speakers = speakers;
    s.FramesPerSecond = fps;
    s.DurationS = seconds;
  };
  if (name == "S1") {
    set(100, 10, 10, 50, 20);
  } else if (name == "S2") {
    set(1000, 100, 100, 50, 20);
  } else if (name == "S3") {
    set(5000, 500, 500, 25, 20);
  } else if (name == "S4-10" || name == "S4-50" || name == "S4-200") {
    const uint32_t listeners = uint32_t(std::stoul(std::string(name.substr(3))));
    set(listeners + 1, 1, 1, 50, 20);
  } else if (name == "S5") {
    set(10000, 100, 0, 50, 0);
    s.IdleS = 60;
  } else if (name == "saturation") {
    set(1000, 100, 100, 50, 8);
    // Fine steps where both relays reach their limit on this kind of machine.
    s.RampFps = {50,  100, 150, 200, 250, 275, 300, 325, 350, 375,
                 400, 425, 450, 475, 500, 550, 600, 700, 800, 1000};
  } else if (name == "smoke") {
    set(100, 10, 10, 50, 3);
  } else {
    return std::nullopt;
  }
  return s;
}

std::vector<std::string> ApplyArguments(TScenario& s, const std::vector<std::string>& args) {
  using TSetter = std::function<void(std::string_view key, std::string_view value)>;
  auto u32 = [](uint32_t& field, uint64_t max = 1000000) -> TSetter {
    return [&field, max](std::string_view k, std::string_view v) {
      field = uint32_t(ParseUnsigned(k, v, max));
    };
  };
  auto dbl = [](double& field) -> TSetter {
    return [&field](std::string_view k, std::string_view v) { field = ParseDouble(k, v); };
  };
  auto text = [](std::string& field) -> TSetter {
    return [&field](std::string_view, std::string_view v) { field = std::string(v); };
  };
  const std::map<std::string, TSetter, std::less<>> setters = {
      {"name", text(s.Name)},
      {"target", text(s.Target)},
      {"host", text(s.Host)},
      {"port", [&s](std::string_view k,
                    std::string_view v) { s.Port = uint16_t(ParseUnsigned(k, v, 65535)); }},
      {"players", u32(s.Players)},
      {"channels", u32(s.Channels)},
      {"speakers", u32(s.Speakers)},
      {"fps", dbl(s.FramesPerSecond)},
      {"payload", u32(s.PayloadBytes)},
      {"duration", dbl(s.DurationS)},
      {"idle", dbl(s.IdleS)},
      {"settle", dbl(s.SettleS)},
      {"drain", dbl(s.DrainS)},
      {"login-rate", dbl(s.LoginRate)},
      {"logins-in-flight", u32(s.LoginsInFlight)},
      {"players-per-socket", u32(s.PlayersPerSocket)},
      {"channel-prefix", text(s.ChannelPrefix)},
      {"nick-prefix", text(s.NickPrefix)},
      {"server-pid",
       [&s](std::string_view k, std::string_view v) {
         s.ServerPid = int(ParseUnsigned(k, v, 0x7FFFFFFF));
       }},
      {"quit",
       [&s](std::string_view k, std::string_view v) { s.Quit = ParseUnsigned(k, v, 1) != 0; }},
      {"ramp-fps", [&s](std::string_view k, std::string_view v) { s.RampFps = ParseList(k, v); }},
      {"ramp-tolerance", dbl(s.RampTolerancePercent)},
      {"max-run", dbl(s.MaxRunS)},
      {"register-rate", dbl(s.RegisterRate)},
      {"register-delay", dbl(s.RegisterDelayS)},
      {"accounts", u32(s.Accounts)},
      {"verbose",
       [&s](std::string_view k, std::string_view v) { s.Verbose = int(ParseUnsigned(k, v, 9)); }},
  };
  std::vector<std::string> rest;
  for (const std::string& arg : args) {
    if (arg.rfind("--", 0) != 0) {
      rest.push_back(arg);
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string_view key =
        std::string_view(arg).substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const auto it = setters.find(key);
    if (it == setters.end()) {
      rest.push_back(arg);
      continue;
    }
    if (eq == std::string::npos) throw ELoad("--" + std::string(key) + " needs a value");
    it->second(key, std::string_view(arg).substr(eq + 1));
  }
  return rest;
}

std::string ArgumentHelp() {
  return "  --port=N --host=127.0.0.1     where the server listens (loopback only)\n"
         "  --players=N --channels=C --speakers=S --fps=F --payload=P\n"
         "  --duration=SEC --idle=SEC --settle=SEC --drain=SEC\n"
         "  --login-rate=PER_S --logins-in-flight=N --players-per-socket=K\n"
         "  --channel-prefix=TEXT --nick-prefix=TEXT --server-pid=PID --quit=0|1\n"
         "  --ramp-fps=F1,F2,... --ramp-tolerance=PERCENT --max-run=SEC\n"
         "  --name=TEXT --target=TEXT --verbose=N\n"
         "  register: --register-rate=PER_S --register-delay=SEC (and --duration)\n"
         "  make-db: --accounts=N (and the server admin account vxadmin)\n";
}

void TFramePayload::Write(uint8_t* dst) const {
  PutLE64(dst, SendTimeNs);
  PutLE32(dst + 8, Sequence);
  PutLE32(dst + 12, Speaker);
  PutLE32(dst + 16, Marker);
}

std::optional<TFramePayload> TFramePayload::Read(const uint8_t* data, size_t size) {
  if (size < MinSize || GetLE32(data + 16) != Marker) return std::nullopt;
  TFramePayload p;
  p.SendTimeNs = GetLE64(data);
  p.Sequence = GetLE32(data + 8);
  p.Speaker = GetLE32(data + 12);
  return p;
}

}  // namespace vx::load
