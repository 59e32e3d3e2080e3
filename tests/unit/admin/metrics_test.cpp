// The monitoring endpoint, scraped while the load generator runs players
// against a virtual server of this process.
#include "admin/metrics_u.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "../../integration/ServerFixture.h"
#include "../../integration/WebInterfaceClient.h"
#include "vxload/LoadEngine.h"

namespace vx::testing {
namespace {

// The value of the sample whose name and labels are given; -1 when absent.
double Sample(const std::string& page, const std::string& series) {
  const size_t at = page.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stod(page.substr(at + series.size() + 2));
}

class MetricsTest : public ServerFixture {};

TEST_F(MetricsTest, ScrapedDuringALoadRunShowsTheServersFigures) {
  Manager.SetDatabase(nullptr);
  load::StoreChannels(ProcessSettings().DatabasePath, Section, 2, "load-");
  OpenDatabase();
  Setting("ServerType", 2);
  StartServer();
  TMetrics metrics(Manager);
  ASSERT_TRUE(metrics.Start(0, "127.0.0.1"));
  const std::string labels = "server=\"server_cfg Test\",port=\"" + std::to_string(Port) + "\"";
  const auto scrape = [&] {
    TWebClient web(metrics.BoundPort());
    const TWebReply reply = web.Get("/metrics");
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    return reply.Body;
  };

  load::TScenario s;
  s.Port = uint16_t(Port);
  s.Players = 6;
  s.Channels = 2;
  s.Speakers = 2;
  s.FramesPerSecond = 40;
  s.DurationS = 1.0;
  s.SettleS = 0.2;
  s.DrainS = 0.3;
  std::atomic<bool> done{false};
  load::TRunResult result;
  std::thread run([&] {
    result = load::TLoadEngine(s).Run();
    done = true;
  });
  // While the players are in, the page counts them and their traffic.
  double players = 0;
  std::string during;
  for (int i = 0; i < 400 && !done && players < 6; ++i) {
    during = scrape();
    players = Sample(during, "vorlantix_players{" + labels + "}");
    if (players < 6) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run.join();
  ASSERT_TRUE(result.Aborted.empty()) << result.Aborted;
  EXPECT_EQ(players, 6) << during;
  EXPECT_EQ(Sample(during, "vorlantix_channels{" + labels + "}"), 2);
  EXPECT_GT(Sample(during, "vorlantix_packets_received_total{" + labels + "}"), 6);

  // A datagram of no class and a login under the name "server" are counted
  // by reason.
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(Port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(udp, "junk", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(udp);
  EXPECT_EQ(Join(NewClient(), "server"), -1);

  std::string after;
  ASSERT_TRUE(PumpAll(
      [&] {
        after = scrape();
        return Sample(after,
                      "vorlantix_datagrams_dropped_total{" + labels + ",reason=\"invalid\"}") == 1;
      },
      3000))
      << after;
  EXPECT_EQ(Sample(after, "vorlantix_logins_refused_total{" + labels + ",reason=\"bad_password\"}"),
            1);
  EXPECT_EQ(Sample(after, "vorlantix_logins_refused_total{" + labels + ",reason=\"server_full\"}"),
            0);
  EXPECT_GE(Sample(after, "vorlantix_bytes_sent_total{" + labels + "}"),
            Sample(during, "vorlantix_bytes_sent_total{" + labels + "}"));
  EXPECT_EQ(Sample(after, "vorlantix_virtual_servers"), 1);
  EXPECT_GT(Sample(after, "process_open_fds"), 3);
  EXPECT_GT(Sample(after, "process_resident_memory_bytes"), 1 << 20);
  EXPECT_GE(Sample(after, "process_uptime_seconds"), 0);
  EXPECT_NE(after.find("# TYPE vorlantix_resends_total counter\n"), std::string::npos);

  TWebClient web(metrics.BoundPort());
  EXPECT_EQ(web.Get("/").Status, 404);
}

}  // namespace
}  // namespace vx::testing
