// The login throttle on a clock the test moves: free failures, the growing
// wait, the queue shared by an address's logins, forgetting and the caps.
#include "host/LoginThrottle.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

using namespace std::chrono_literals;
using TClock = TLoginThrottle::TClock;

TEST(LoginThrottle, FailuresSlowDownTheirAddressOnly) {
  TLoginThrottle throttle;
  TClock::time_point now{};
  const auto waitOf = [&](const char* address) {
    return throttle.ReserveAnswer(address, now) - now;
  };
  // Five failures within the window are answered at once.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(waitOf("10.0.0.1"), 0s);
    throttle.RecordFailure("10.0.0.1", now);
    now += 1s;
  }
  // Then every answer waits, doubling up to 2 s; other addresses do not.
  for (const auto expected : {250ms, 500ms, 1000ms, 2000ms, 2000ms}) {
    const auto answer = throttle.ReserveAnswer("10.0.0.1", now);
    EXPECT_EQ(answer - now, TClock::duration(expected));
    EXPECT_EQ(waitOf("10.0.0.2"), 0s);
    now = answer;
    throttle.RecordFailure("10.0.0.1", now);
  }
  EXPECT_EQ(throttle.Failures("10.0.0.1", now), 10);
  // A right password waits its turn too, and is then answered.
  EXPECT_EQ(waitOf("10.0.0.1"), 2s);

  // Logins of the same address queue behind each other: at most one
  // answer per wait, however many connections ask at once.
  now += 10s;
  TClock::time_point last = now;
  for (int i = 0; i < 8; ++i) {
    const auto answer = throttle.ReserveAnswer("10.0.0.1", now);
    EXPECT_EQ(answer - last, 2s) << i;
    last = answer;
  }
  // Past 30 s of queue, a login is refused unchecked and queues nothing.
  for (int i = 0; i < 20; ++i) throttle.ReserveAnswer("10.0.0.1", now);
  EXPECT_EQ(throttle.ReserveAnswer("10.0.0.1", now), TLoginThrottle::Refused);

  // A minute without failures and pending answers forgets the address.
  now += 31s + 61s;
  EXPECT_EQ(throttle.Failures("10.0.0.1", now), 0);
  EXPECT_EQ(waitOf("10.0.0.1"), 0s);
  EXPECT_EQ(throttle.Count(), 0u);
}

TEST(LoginThrottle, MemoryStaysBounded) {
  TLoginThrottle::TLimits limits;
  limits.FreeFailures = 0;
  limits.MaxAddresses = 100;
  TLoginThrottle throttle(limits);
  const TClock::time_point now{};
  for (int i = 0; i < 1000; ++i) throttle.RecordFailure("addr" + std::to_string(i), now);
  EXPECT_EQ(throttle.Count(), 100u);
  // The address seen longest ago gave way; the latest ones are kept.
  EXPECT_EQ(throttle.Failures("addr0", now), 0);
  EXPECT_EQ(throttle.Failures("addr999", now), 1);
  EXPECT_GT(throttle.ReserveAnswer("addr999", now), now);
}

}  // namespace
}  // namespace vx
