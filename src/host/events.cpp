#include "host/events.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vx {

TWindowsEvent::TWindowsEvent() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw EWindowsEvent("error creating pipe");
  ReadEnd = fds[0];
  WriteEnd = fds[1];
}

TWindowsEvent::~TWindowsEvent() {
  close(ReadEnd);
  close(WriteEnd);
}

void TWindowsEvent::SetEvent() {
  TLockGuard guard(Lock);
  if (Signaled) return;
  const uint8_t b = 1;
  ssize_t n;
  do {
    n = write(WriteEnd, &b, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) Signaled = true;
}

void TWindowsEvent::ResetEvent() {
  TLockGuard guard(Lock);
  if (!Signaled) return;
  uint8_t b;
  ssize_t n;
  do {
    n = read(ReadEnd, &b, 1);
  } while (n < 0 && errno == EINTR);
  Signaled = false;
}

TWaitResult TWindowsEvent::WaitFor(uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const bool infinite = timeoutMs == Infinite;
  const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
  for (;;) {
    int timeout = -1;
    if (!infinite) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : int(left);
    }
    struct pollfd pfd {};
    pfd.fd = ReadEnd;
    pfd.events = POLLIN;
    const int r = poll(&pfd, 1, timeout);
    if (r == 0) return TWaitResult::Timeout;
    if (r < 0 || pfd.revents != POLLIN) return TWaitResult::Error;
    {
      // Several waiters may see the byte at once; only the one that takes it
      // reports the signal, the others go on waiting for the time left.
      TLockGuard guard(Lock);
      if (Signaled) {
        uint8_t b;
        ssize_t n;
        do {
          n = read(ReadEnd, &b, 1);
        } while (n < 0 && errno == EINTR);
        Signaled = false;
        return TWaitResult::Signaled;
      }
    }
    if (!infinite && Clock::now() >= deadline) return TWaitResult::Timeout;
  }
}

}  // namespace vx
