// Waiting on a condition with a deadline, for tests that watch another
// thread or process: polls often, gives up when the time is up.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vx::testing {

// Polls the condition every few milliseconds until it holds or the time is
// up; the condition's last value.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                      std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(every);
  }
  return condition();
}

}  // namespace vx::testing
