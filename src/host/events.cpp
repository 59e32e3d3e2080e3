#include "host/events.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

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
  std::scoped_lock guard(Lock);
  if (Signaled) return;
  const uint8_t b = 1;
  ssize_t n;
  do {
    n = write(WriteEnd, &b, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) Signaled = true;
}

void TWindowsEvent::ResetEvent() {
  std::scoped_lock guard(Lock);
  if (!Signaled) return;
  uint8_t b;
  ssize_t n;
  do {
    n = read(ReadEnd, &b, 1);
  } while (n < 0 && errno == EINTR);
  Signaled = false;
}

TWaitResult TWindowsEvent::WaitFor(uint32_t timeoutMs) {
  struct pollfd pfd {};
  pfd.fd = ReadEnd;
  pfd.events = POLLIN;
  const int timeout = timeoutMs == Infinite ? -1
                      : timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF
                                                : int(timeoutMs);
  const int r = poll(&pfd, 1, timeout);
  if (r == 0) return TWaitResult::Timeout;
  if (r < 0 || pfd.revents != POLLIN) return TWaitResult::Error;
  ResetEvent();
  return TWaitResult::Signaled;
}

}  // namespace vx
