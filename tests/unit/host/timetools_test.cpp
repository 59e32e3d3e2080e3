#include "host/TimeTools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/events.h"

namespace vx {
namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return TDateTime::Encode({y, mo, d, h, mi, s, ms});
}

TEST(DateTime, EncodeDecodeAndFormat) {
  EXPECT_EQ(At(1899, 12, 30).Value, 0.0);
  EXPECT_EQ(At(1900, 1, 1).Value, 2.0);
  EXPECT_EQ(At(2000, 1, 1, 12).Value, 36526.5);
  EXPECT_EQ(At(1899, 12, 29).Value, -1.0);

  const TDateTime t = At(2026, 12, 8, 4, 9, 32, 7);
  const auto p = t.Decode();
  EXPECT_EQ(p.Year, 2026);
  EXPECT_EQ(p.Month, 12);
  EXPECT_EQ(p.Day, 8);
  EXPECT_EQ(p.Hour, 4);
  EXPECT_EQ(p.Minute, 9);
  EXPECT_EQ(p.Second, 32);
  EXPECT_EQ(p.MilliSecond, 7);

  EXPECT_EQ(t.Format("dd-mm-yy hh:nn:ss"), "08-12-26 04:09:32");
  EXPECT_EQ(t.Format("dd-mm-yyyy hh:nn:ss"), "08-12-2026 04:09:32");
  EXPECT_EQ(t.Format("d.m.yyyy hh:mm"), "8.12.2026 04:09") << "mm after an hour means minutes";
  EXPECT_EQ(t.Format("hh:nn:ss.zzz \"at\" d"), "04:09:32.007 at 8");
  // Leap day and the end of a century.
  EXPECT_EQ(At(2024, 2, 29).Format("yyyy-mm-dd"), "2024-02-29");
  EXPECT_EQ(TDateTime{At(2100, 3, 1).Value - 1}.Format("yyyy-mm-dd"), "2100-02-28");
}

TEST(DateTime, WallClockFollowsLocalTime) {
  const auto before = std::chrono::system_clock::now();
  const TDateTime now = TDateTime::Now();
  const time_t secs = std::chrono::system_clock::to_time_t(before);
  struct tm local {};
  localtime_r(&secs, &local);
  const auto p = now.Decode();
  EXPECT_EQ(p.Year, local.tm_year + 1900);
  EXPECT_EQ(p.Month, local.tm_mon + 1);
  EXPECT_EQ(p.Day, local.tm_mday);
  EXPECT_NEAR(p.Hour * 3600 + p.Minute * 60 + p.Second,
              local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec, 2);
}

class TimerTest : public ::testing::Test {
 protected:
  TManualClock Clock{At(2026, 12, 8, 10)};
  TClockOverride Override{Clock};
};

TEST_F(TimerTest, ElapsedMsAndIsElapsedWithinBounds) {
  auto t = TDefaultPerformanceTime::CreateStarted();
  EXPECT_EQ(t->ElapsedMs(1000, false), 0);
  Clock.AdvanceMs(100);
  EXPECT_EQ(t->ElapsedMs(1000, false), 100) << "exact milliseconds, no rounding down to 99";
  Clock.AdvanceMs(0.7);
  EXPECT_EQ(t->ElapsedMs(1000, false), 100) << "truncated";
  EXPECT_TRUE(t->IsElapsed(60, 1000, false));
  EXPECT_FALSE(t->IsElapsed(101, 1000, false)) << "elapsed (100.7) must exceed the minimum";
  Clock.AdvanceMs(1000);
  // Past the bound: -1 without restart, 0 and a restart with it.
  EXPECT_EQ(t->ElapsedMs(1000, false), -1);
  EXPECT_TRUE(t->IsElapsed(10, 1000, false));
  EXPECT_EQ(t->ElapsedMs(1000, true), 0);
  EXPECT_EQ(t->ElapsedMs(1000, false), 0) << "restarted now";
  Clock.AdvanceMs(50);
  EXPECT_EQ(t->ElapsedMs(1000, false), 50);
  Clock.AdvanceMs(5000);
  EXPECT_FALSE(t->IsElapsed(10, 1000, true)) << "a jump restarts and reports not elapsed";
  EXPECT_EQ(t->ElapsedMs(1000, false), 0);
}

TEST_F(TimerTest, ClockMovedBackAnHour) {
  auto t = TDefaultPerformanceTime::CreateStarted();
  Clock.AdvanceMs(-3600.0 * 1000);
  EXPECT_EQ(t->ElapsedMs(120000, false), -1);
  EXPECT_TRUE(t->IsElapsed(0, 120000, false));
  EXPECT_EQ(t->ElapsedMs(120000, true), 0);
  Clock.AdvanceMs(30);
  EXPECT_EQ(t->ElapsedMs(120000, false), 30) << "counts from the restart";
}

TEST_F(TimerTest, ElapsedSinceAndAssign) {
  TDefaultPerformanceTime a;
  a.Start();
  Clock.AdvanceMs(250);
  TDefaultPerformanceTime b;
  b.Start();
  EXPECT_EQ(a.ElapsedSince(b, 120000), 250);
  EXPECT_EQ(a.ElapsedMs(120000, false), 250) << "no restart inside the bound";

  // The other timer started three minutes later: beyond the bound.
  Clock.AdvanceMs(3 * 60 * 1000);
  TDefaultPerformanceTime c;
  c.Start();
  EXPECT_EQ(a.ElapsedSince(c, 120000), 0);
  EXPECT_EQ(a.ElapsedMs(120000, false), 0) << "this timer was restarted";
  // An earlier other timer gives a negative difference: restart as well.
  Clock.AdvanceMs(40);
  EXPECT_EQ(a.ElapsedSince(b, 120000), 0);

  a.Assign(b);
  EXPECT_EQ(a.StartInstant(), b.StartInstant());
}

TEST(WindowsEvent, AutoResetAndTimeouts) {
  TWindowsEvent e;
  EXPECT_EQ(e.WaitFor(0), TWaitResult::Timeout) << "unsignalled: time-out at once";
  e.SetEvent();
  e.SetEvent();
  EXPECT_EQ(e.WaitFor(10), TWaitResult::Signaled);
  EXPECT_EQ(e.WaitFor(10), TWaitResult::Timeout) << "two signals without a wait count as one";

  e.SetEvent();
  e.ResetEvent();
  EXPECT_EQ(e.WaitFor(0), TWaitResult::Timeout);
  e.ResetEvent();  // resetting an unsignalled event changes nothing
  e.SetEvent();
  EXPECT_EQ(e.WaitFor(TWindowsEvent::Infinite), TWaitResult::Signaled);
}

TEST(WindowsEvent, WakesAWaitingThreadExactlyOnce) {
  TWindowsEvent e;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (e.WaitFor(300) == TWaitResult::Signaled) ++woken;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  e.SetEvent();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(woken.load(), 1) << "one signal is consumed by one waiter";
}

}  // namespace
}  // namespace vx
