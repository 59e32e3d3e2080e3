// Auto-reset event built on a pipe: signalled means one byte sits in the pipe.
#pragma once

#include <cstdint>

#include "common/Exceptions.h"

#include "common/ThreadSafety.h"

namespace vx {

class EWindowsEvent : public Exception {
 public:
  using Exception::Exception;
};

enum class TWaitResult : int { Signaled = 0, Timeout = 1, Error = 3 };

class TWindowsEvent {
 public:
  static constexpr uint32_t Infinite = 0xFFFFFFFFu;

  TWindowsEvent();  // raises EWindowsEvent("error creating pipe")
  ~TWindowsEvent();
  TWindowsEvent(const TWindowsEvent&) = delete;
  TWindowsEvent& operator=(const TWindowsEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Waits until signalled or until timeoutMs passes (Infinite: no limit).
  // A signal is consumed on the way out, so exactly one waiter sees it.
  TWaitResult WaitFor(uint32_t timeoutMs);

 private:
  TMutex Lock;
  int ReadEnd = -1;
  int WriteEnd = -1;
  bool Signaled VX_GUARDED_BY(Lock) = false;
};

}  // namespace vx
