#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "vxload/LoadReport.h"
#include "vxload/LoadStats.h"
#include "vxload/ProcStats.h"

namespace vx::load {
namespace {

TEST(VxloadStats, PercentilesStayWithinTheBucketErrorOfTheExactOnes) {
  std::mt19937_64 random(7);
  std::lognormal_distribution<double> shape(5.0, 1.5);  // around 150 us, long tail
  std::vector<uint64_t> samples;
  TLatencyHistogram h;
  for (int i = 0; i < 20000; ++i) {
    const uint64_t v = uint64_t(shape(random));
    samples.push_back(v);
    h.Add(v);
  }
  std::sort(samples.begin(), samples.end());
  for (double q : {0.5, 0.9, 0.99, 0.999}) {
    const uint64_t exact = samples[size_t(std::ceil(q * samples.size())) - 1];
    const uint64_t got = h.Percentile(q);
    EXPECT_GE(got, exact) << q;
    EXPECT_LE(double(got), double(exact) * (1 + 1.0 / 64) + 1) << q;
  }
  EXPECT_EQ(h.Percentile(1.0), samples.back());
  EXPECT_EQ(h.Max(), samples.back());
  EXPECT_EQ(h.Min(), samples.front());
  EXPECT_EQ(h.Count(), samples.size());

  // Small values are exact, and every value lies inside its bucket.
  TLatencyHistogram small;
  for (uint64_t v : {3, 1, 2, 100}) small.Add(v);
  EXPECT_EQ(small.Percentile(0.5), 2u);
  EXPECT_EQ(small.Percentile(0.75), 3u);
  for (uint64_t v : {0ull, 127ull, 128ull, 1000ull, 123456789ull, ~0ull >> 30}) {
    const size_t b = TLatencyHistogram::BucketOf(v);
    EXPECT_GE(TLatencyHistogram::BucketUpper(b), v);
    if (b > 0) {
      EXPECT_LT(TLatencyHistogram::BucketUpper(b - 1), v);
    }
  }

  // Merging equals adding everything to one histogram; empty ones read 0.
  TLatencyHistogram a, b;
  for (size_t i = 0; i < samples.size(); ++i) (i % 2 ? a : b).Add(samples[i]);
  a.Merge(b);
  EXPECT_EQ(a.Percentile(0.99), h.Percentile(0.99));
  EXPECT_EQ(a.Count(), h.Count());
  EXPECT_EQ(TLatencyHistogram().Percentile(0.99), 0u);
}

TEST(VxloadStats, LossAccountingAndTheLossFreeRampStep) {
  TLossAccount loss;
  for (int i = 0; i < 100; ++i) loss.Sent(9);
  EXPECT_EQ(loss.Expected, 900u);
  loss.Received = 891;
  EXPECT_EQ(loss.Lost(), 9u);
  EXPECT_DOUBLE_EQ(loss.LossPercent(), 1.0);
  loss.Received = 905;  // more than expected is no negative loss
  EXPECT_EQ(loss.Lost(), 0u);
  EXPECT_EQ(loss.Surplus(), 5u);
  EXPECT_EQ(TLossAccount().LossPercent(), 0.0);

  TRunResult run;
  run.Scenario.RampFps = {50, 100, 150, 200};
  run.Scenario.RampTolerancePercent = 0.01;
  for (uint64_t lost : {0u, 0u, 5u, 0u}) {  // the third step loses 0.05 %
    TStepResult step;
    step.Loss.Expected = 10000;
    step.Loss.Received = 10000 - lost;
    step.SpeakSeconds = 1;
    run.Steps.push_back(step);
  }
  // The step after the first lossy one does not count, even without loss.
  EXPECT_EQ(HighestLossFreeStep(run), 1);
  const std::string json = FormatJson(run);
  EXPECT_NE(json.find("\"highest_loss_free_per_s\":10000"), std::string::npos) << json;
  EXPECT_EQ(json.find('\n'), std::string::npos);
}

TEST(VxloadStats, ProcFiguresOfAProcess) {
  // A command name with blanks and brackets must not shift the fields.
  const std::string stat =
      "1234 (server (x) y) S 1 1234 1234 0 -1 4194368 500 0 0 0 250 50 0 0 20 0 4 0 100";
  const std::string status = "Name:\tserver\nVmHWM:\t   9000 kB\nVmRSS:\t   8000 kB\n";
  const TProcSample s = ParseProc(stat, status, 100);
  ASSERT_TRUE(s.Valid);
  EXPECT_DOUBLE_EQ(s.CpuS, 3.0);
  EXPECT_EQ(s.RssKb, 8000u);
  EXPECT_EQ(s.HwmKb, 9000u);
  EXPECT_FALSE(ParseProc("garbage", status, 100).Valid);
  EXPECT_FALSE(ReadProc(0).Valid);
  EXPECT_TRUE(ReadProc(getpid()).Valid);
}

}  // namespace
}  // namespace vx::load
