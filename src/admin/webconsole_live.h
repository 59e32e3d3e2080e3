// The live figures of the web console: a history of each watched server's
// traffic totals and player count, sampled by a thread of its own while
// somebody looks at the server, and the charts and the JSON document the
// overview shows and polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vx {

// One reading of a server: the connection buffer's totals and the players.
struct TTrafficSample {
  int64_t TimeMs = 0;  // wall clock, milliseconds since 1970
  uint32_t Players = 0;
  uint32_t PacketsSent = 0;
  uint32_t PacketsReceived = 0;
  int64_t BytesSent = 0;
  int64_t BytesReceived = 0;
};

// Samples the servers that pages asked about within the last KeepMs, every
// IntervalMs, and keeps what the last KeepMs brought. With no server watched
// the thread sleeps until one is.
class TLiveFigures {
 public:
  // Reads a server by section name; false when it is not running.
  using TProbe = std::function<bool(const std::string& section, TTrafficSample& sample)>;

  explicit TLiveFigures(TProbe probe);
  ~TLiveFigures();  // ends the thread
  TLiveFigures(const TLiveFigures&) = delete;
  TLiveFigures& operator=(const TLiveFigures&) = delete;

  // Set before the first Watch.
  int64_t IntervalMs = 10000;
  int64_t KeepMs = 3600000;

  // Watches the server for another KeepMs (its first sample is taken at
  // once, on the sampling thread) and returns its samples, oldest first.
  std::vector<TTrafficSample> Watch(const std::string& section);
  size_t WatchedCount() const;

 private:
  using TClock = std::chrono::steady_clock;
  struct TWatched {
    std::deque<TTrafficSample> Samples;
    TClock::time_point LastAsked;
    bool Due = true;
  };

  void Run();
  void SampleDue(bool all);

  TProbe Probe;
  mutable std::mutex Lock;
  std::condition_variable Wake;
  std::map<std::string, TWatched> Servers;
  bool Stopping = false;
  std::thread Thread;
};

// Per-second rates between two samples, each at least 0 (totals that fell
// belong to a restarted server).
struct TTrafficRates {
  double PacketsSent = 0, PacketsReceived = 0;
  double BytesSent = 0, BytesReceived = 0;
};
TTrafficRates RatesBetween(const TTrafficSample& older, const TTrafficSample& newer);

// "512 B/s", "12.3 kB/s", "4.1 MB/s"; "0.4/s", "12/s" for packets.
std::string ByteRateText(double bytesPerSecond);
std::string PacketRateText(double packetsPerSecond);

// The three small charts of the overview (packets and bytes per second,
// sent and received, and players) over the hour before nowMs, as HTML
// with inline SVG and no script.
std::string TrafficChartsHTML(const std::vector<TTrafficSample>& samples, int64_t nowMs);

// The wall clock in milliseconds since 1970.
int64_t UnixNowMs();

// A JSON string literal of the text, quotes included.
std::string JSONString(std::string_view text);

}  // namespace vx
