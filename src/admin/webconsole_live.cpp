#include "admin/webconsole_live.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vx {

namespace {

// The chart area in SVG units: one unit per ten seconds of the hour.
constexpr double ChartWidth = 360;
constexpr double ChartHeight = 100;
constexpr int64_t ChartSpanMs = 3600000;

std::string Number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A rate with one decimal below ten, none above.
std::string Rate(double value) {
  return Number(value, value < 10 ? 1 : 0);
}

// One series of a chart: values at times.
struct TSeries {
  const char* Class;
  std::vector<std::pair<int64_t, double>> Points;
};

// "1 hour ago", "25 min ago", "1 min ago".
std::string AgoText(int64_t ms) {
  const int64_t minutes = (ms + 30000) / 60000;
  return minutes >= 60 ? std::string("1 hour ago") : std::to_string(minutes) + " min ago";
}

std::string Polyline(const TSeries& series, int64_t startMs, int64_t spanMs, double top) {
  std::string points;
  for (const auto& [timeMs, value] : series.Points) {
    const double x =
        std::clamp(double(timeMs - startMs) / double(spanMs) * ChartWidth, 0.0, ChartWidth);
    const double y = ChartHeight - 2 - (top > 0 ? value / top : 0) * (ChartHeight - 4);
    if (!points.empty()) points += ' ';
    points += Number(x, 1) + ',' + Number(y, 1);
  }
  return "<polyline class=\"" + std::string(series.Class) + "\" points=\"" + points + "\"/>";
}

// One chart: a title, the current values, the series and the peak. The time
// axis ends now and reaches back an hour, or to the oldest point when the
// figures are younger (a minute at least).
std::string Chart(const std::string& title, const std::string& now, const std::string& peakText,
                  double peak, const std::vector<TSeries>& series, int64_t nowMs) {
  std::string html = "<figure class=\"chart\"><figcaption><span class=\"chart-title\">" + title +
                     "</span> <span class=\"chart-now\">" + now + "</span></figcaption>";
  bool any = false;
  int64_t oldest = nowMs;
  for (const TSeries& s : series) {
    any = any || !s.Points.empty();
    if (!s.Points.empty()) oldest = std::min(oldest, s.Points.front().first);
  }
  if (!any) {
    return html + "<p class=\"chart-empty\">Collecting figures&hellip;</p></figure>";
  }
  html += "<svg viewBox=\"0 0 " + Number(ChartWidth, 0) + " " + Number(ChartHeight, 0) +
          "\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"" + title +
          " over the last hour: " + now + ", peak " + peakText + "\">";
  html += "<line class=\"chart-grid\" x1=\"0\" y1=\"50\" x2=\"360\" y2=\"50\"/>";
  const int64_t spanMs = std::clamp<int64_t>(nowMs - oldest, 60000, ChartSpanMs);
  for (const TSeries& s : series) html += Polyline(s, nowMs - spanMs, spanMs, peak);
  html += "</svg><div class=\"chart-axis\"><span>" + AgoText(spanMs) + "</span><span>peak " +
          peakText + "</span><span>now</span></div></figure>";
  return html;
}

}  // namespace

TLiveFigures::TLiveFigures(TProbe probe) : Probe(std::move(probe)) {}

TLiveFigures::~TLiveFigures() {
  {
    std::scoped_lock guard(Lock);
    Stopping = true;
  }
  Wake.notify_all();
  if (Thread.joinable()) Thread.join();
}

std::vector<TTrafficSample> TLiveFigures::Watch(const std::string& section) {
  std::scoped_lock guard(Lock);
  if (!Thread.joinable()) Thread = std::thread([this] { Run(); });
  TWatched& watched = Servers[section];
  watched.LastAsked = TClock::now();
  if (watched.Samples.empty()) {
    watched.Due = true;
    Wake.notify_all();
  }
  return {watched.Samples.begin(), watched.Samples.end()};
}

size_t TLiveFigures::WatchedCount() const {
  std::scoped_lock guard(Lock);
  return Servers.size();
}

void TLiveFigures::Run() {
  std::unique_lock guard(Lock);
  auto next = TClock::now();
  // A server watched for the first time waits for nobody.
  const auto newcomer = [this] {
    for (const auto& [name, watched] : Servers) {
      if (watched.Samples.empty() && watched.Due) return true;
    }
    return false;
  };
  while (!Stopping) {
    if (Servers.empty()) {
      Wake.wait(guard, [this] { return Stopping || !Servers.empty(); });
      next = TClock::now();
      continue;
    }
    const bool all = TClock::now() >= next;
    if (all) next = TClock::now() + std::chrono::milliseconds(IntervalMs);
    guard.unlock();
    SampleDue(all);
    guard.lock();
    Wake.wait_until(guard, next, [&] { return Stopping || newcomer(); });
  }
}

void TLiveFigures::SampleDue(bool all) {
  std::vector<std::string> names;
  {
    std::scoped_lock guard(Lock);
    const auto now = TClock::now();
    for (auto it = Servers.begin(); it != Servers.end();) {
      if (now - it->second.LastAsked > std::chrono::milliseconds(KeepMs)) {
        it = Servers.erase(it);
        continue;
      }
      if (all || (it->second.Samples.empty() && it->second.Due)) names.push_back(it->first);
      ++it;
    }
  }
  for (const std::string& name : names) {
    TTrafficSample sample;
    const bool running = Probe(name, sample);
    std::scoped_lock guard(Lock);
    const auto it = Servers.find(name);
    if (it == Servers.end()) continue;
    it->second.Due = false;
    if (!running) continue;
    auto& samples = it->second.Samples;
    samples.push_back(sample);
    while (!samples.empty() && sample.TimeMs - samples.front().TimeMs > KeepMs) {
      samples.pop_front();
    }
  }
}

TTrafficRates RatesBetween(const TTrafficSample& older, const TTrafficSample& newer) {
  TTrafficRates rates;
  const double seconds = double(newer.TimeMs - older.TimeMs) / 1000.0;
  if (seconds <= 0) return rates;
  const auto rate = [seconds](double from, double to) {
    return to >= from ? (to - from) / seconds : 0.0;
  };
  rates.PacketsSent = rate(older.PacketsSent, newer.PacketsSent);
  rates.PacketsReceived = rate(older.PacketsReceived, newer.PacketsReceived);
  rates.BytesSent = rate(double(older.BytesSent), double(newer.BytesSent));
  rates.BytesReceived = rate(double(older.BytesReceived), double(newer.BytesReceived));
  return rates;
}

std::string ByteRateText(double bytesPerSecond) {
  if (bytesPerSecond < 1000) return Number(bytesPerSecond, 0) + " B/s";
  if (bytesPerSecond < 1000000) return Rate(bytesPerSecond / 1000) + " kB/s";
  return Rate(bytesPerSecond / 1000000) + " MB/s";
}

std::string PacketRateText(double packetsPerSecond) {
  return Rate(packetsPerSecond) + "/s";
}

std::string TrafficChartsHTML(const std::vector<TTrafficSample>& samples, int64_t nowMs) {
  TSeries packetsOut{"series-out", {}}, packetsIn{"series-in", {}};
  TSeries bytesOut{"series-out", {}}, bytesIn{"series-in", {}};
  TSeries players{"series-players", {}};
  double packetPeak = 0, bytePeak = 0, playerPeak = 0;
  TTrafficRates last;
  for (size_t i = 0; i < samples.size(); ++i) {
    const TTrafficSample& s = samples[i];
    if (nowMs - s.TimeMs > ChartSpanMs) continue;
    players.Points.emplace_back(s.TimeMs, s.Players);
    playerPeak = std::max(playerPeak, double(s.Players));
    if (i == 0) continue;
    last = RatesBetween(samples[i - 1], s);
    // A rate holds for the whole time between its two samples: steps.
    for (const int64_t t : {samples[i - 1].TimeMs, s.TimeMs}) {
      packetsOut.Points.emplace_back(t, last.PacketsSent);
      packetsIn.Points.emplace_back(t, last.PacketsReceived);
      bytesOut.Points.emplace_back(t, last.BytesSent);
      bytesIn.Points.emplace_back(t, last.BytesReceived);
    }
    packetPeak = std::max({packetPeak, last.PacketsSent, last.PacketsReceived});
    bytePeak = std::max({bytePeak, last.BytesSent, last.BytesReceived});
  }
  const uint32_t playersNow = samples.empty() ? 0 : samples.back().Players;
  std::string html = "<div class=\"charts\">";
  html += Chart("Packets per second",
                PacketRateText(last.PacketsSent) + " sent, " +
                    PacketRateText(last.PacketsReceived) + " received",
                PacketRateText(packetPeak), packetPeak, {packetsOut, packetsIn}, nowMs);
  html += Chart(
      "Bytes per second",
      ByteRateText(last.BytesSent) + " sent, " + ByteRateText(last.BytesReceived) + " received",
      ByteRateText(bytePeak), bytePeak, {bytesOut, bytesIn}, nowMs);
  html += Chart("Players", std::to_string(playersNow) + " online", Number(playerPeak, 0),
                std::max(playerPeak, 1.0), {players}, nowMs);
  html += "</div>";
  return html;
}

int64_t UnixNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string JSONString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
          // Markup characters escaped too, so the text never closes a tag.
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace vx
