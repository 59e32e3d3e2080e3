// The pieces of the web console that need no server: log lines, filters and
// pages; the sampling of the live figures, their rates and charts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "admin/webconsole_live.h"
#include "admin/webconsole_log.h"

namespace vx {
namespace {

TEST(WebConsoleLog, LinesAreSplitFilteredAndPagedNewestFirst) {
  TLogLine line = ParseLogLine("09-12-26 08:33:47,WARNING,Important,UDP, Listener,\tkick, ok");
  EXPECT_EQ(line.Time, "09-12-26 08:33:47");
  EXPECT_EQ(line.Type, "WARNING");
  EXPECT_EQ(line.Depth, "Important");
  EXPECT_EQ(line.Category, "UDP, Listener");
  EXPECT_EQ(line.Message, "kick, ok");
  // Frames and continuation lines keep everything in the message.
  for (const char* other : {"-------------- log started at 09-12-26 08:33 ----", "OK",
                            "9-12-26 08:33:47,ALL,All,x,\ty", ""}) {
    line = ParseLogLine(other);
    EXPECT_EQ(line.Type, "") << other;
    EXPECT_EQ(line.Message, other);
  }

  std::vector<std::string> lines;
  for (int i = 0; i < 25; ++i) {
    lines.push_back("09-12-26 08:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                    (i % 5 == 0 ? ",ERROR" : ",ALL") + ",All,server,\tline " + std::to_string(i));
  }
  lines.push_back("a frame");
  TLogQuery query;
  query.PageSize = 10;
  TLogPage page = QueryLog(lines, query);
  EXPECT_EQ(page.Matching, 26u);
  ASSERT_EQ(page.Lines.size(), 10u);
  EXPECT_EQ(page.Lines[0].Message, "a frame");
  EXPECT_EQ(page.Lines[1].Message, "line 24");
  query.Page = 2;
  page = QueryLog(lines, query);
  EXPECT_EQ(page.First, 20u);
  ASSERT_EQ(page.Lines.size(), 6u);
  EXPECT_EQ(page.Lines.back().Message, "line 0");
  query = TLogQuery{};
  query.Type = "error";
  query.Text = "LINE 1";
  page = QueryLog(lines, query);
  ASSERT_EQ(page.Matching, 2u);  // lines 15 and 10
  EXPECT_EQ(page.Lines[0].Message, "line 15");
  query.Page = 5;
  EXPECT_TRUE(QueryLog(lines, query).Lines.empty());

  // Only the end of a large file is read, from the first whole line on.
  const auto file = std::filesystem::temp_directory_path() /
                    ("vx-log-" + std::to_string(std::random_device{}()) + ".log");
  std::ofstream(file, std::ios::binary) << "first line\r\nsecond line\nthird";
  EXPECT_EQ(ReadLogTail(file.string(), 1000),
            (std::vector<std::string>{"first line", "second line", "third"}));
  EXPECT_EQ(ReadLogTail(file.string(), 17), (std::vector<std::string>{"second line", "third"}));
  EXPECT_EQ(ReadLogTail(file.string(), 16), (std::vector<std::string>{"third"}));
  std::filesystem::remove(file);
  EXPECT_TRUE(ReadLogTail(file.string(), 1000).empty());
}

TEST(WebConsoleLive, SamplesWatchedServersAndDrawsTheirRates) {
  std::atomic<int> probes{0};
  TLiveFigures live([&](const std::string& section, TTrafficSample& sample) {
    if (section != "running") return false;
    const int n = ++probes;
    sample.TimeMs = 10 * n;
    sample.Players = uint32_t(n);
    sample.PacketsSent = uint32_t(10 * n);
    sample.BytesSent = 1000 * n;
    return true;
  });
  live.IntervalMs = 20;
  live.KeepMs = 300;
  // Nothing is sampled before a page asks; the first sample follows at once.
  EXPECT_TRUE(live.Watch("running").empty());
  EXPECT_TRUE(live.Watch("stopped").empty());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (live.Watch("running").size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::vector<TTrafficSample> samples = live.Watch("running");
  ASSERT_GE(samples.size(), 3u);
  EXPECT_EQ(samples[1].TimeMs - samples[0].TimeMs, 10);
  EXPECT_TRUE(live.Watch("stopped").empty());
  // Servers nobody asked about for KeepMs are dropped, and sampling stops.
  while (live.WatchedCount() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(live.WatchedCount(), 0u);
  const int stopped = probes;
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * live.IntervalMs));
  EXPECT_EQ(probes, stopped);

  // Rates per second; totals that fell (a restart) count as nothing.
  TTrafficRates rates = RatesBetween(samples[0], samples[1]);
  EXPECT_DOUBLE_EQ(rates.PacketsSent, 1000.0);
  EXPECT_DOUBLE_EQ(rates.BytesSent, 100000.0);
  rates = RatesBetween(samples[1], samples[0]);
  EXPECT_DOUBLE_EQ(rates.PacketsSent, 0.0);
  EXPECT_EQ(ByteRateText(512), "512 B/s");
  EXPECT_EQ(ByteRateText(12345), "12 kB/s");
  EXPECT_EQ(ByteRateText(4100000), "4.1 MB/s");
  EXPECT_EQ(PacketRateText(0.44), "0.4/s");

  const std::string charts = TrafficChartsHTML(samples, samples.back().TimeMs);
  EXPECT_NE(charts.find("1000/s sent, 0.0/s received"), std::string::npos) << charts;
  EXPECT_NE(charts.find("100 kB/s sent"), std::string::npos);
  EXPECT_NE(charts.find(std::to_string(samples.back().Players) + " online"), std::string::npos);
  EXPECT_EQ(charts.find("Collecting"), std::string::npos);
  EXPECT_EQ(TrafficChartsHTML({}, 0).find("<svg"), std::string::npos);
  EXPECT_EQ(JSONString("a\"<b>\\\n"), "\"a\\\"\\u003cb\\u003e\\\\\\n\"");
}

}  // namespace
}  // namespace vx
