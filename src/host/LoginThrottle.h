// Slows down password guessing: failed logins are counted per source
// address, and once an address has failed too often within the window every
// login answer to it (right or wrong) waits, the wait doubling up to a limit.
// The waits of one address queue behind each other, whatever connection or
// interface its logins come through, so a single address gets only a few
// answers a second however many connections it opens.
//
// The caller decides how to wait: a thread of its own sleeps until the
// moment ReserveAnswer returns; an event loop can arm a timer for it.
// Thread-safe; memory is bounded by MaxAddresses, and an address is forgotten
// once it has been idle for longer than the window.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/ThreadSafety.h"

namespace vx {

class TLoginThrottle {
 public:
  using TClock = std::chrono::steady_clock;

  struct TLimits {
    // Failures within the window that are answered without delay.
    int FreeFailures = 5;
    TClock::duration Window = std::chrono::minutes(1);
    // The wait after the free failures; doubled with every further failure.
    TClock::duration FirstDelay = std::chrono::milliseconds(250);
    TClock::duration MaxDelay = std::chrono::seconds(2);
    // Answers are never reserved further ahead than this: a login that
    // would have to wait longer is refused at once (see ReserveAnswer).
    TClock::duration MaxQueue = std::chrono::seconds(30);
    // Addresses tracked at most; the one idle longest gives way to a new one.
    size_t MaxAddresses = 10000;
  };

  // What ReserveAnswer returns for a login that would queue beyond MaxQueue:
  // the caller answers it as a failed login without checking the password.
  static constexpr TClock::time_point Refused = TClock::time_point::max();

  TLoginThrottle() = default;
  explicit TLoginThrottle(const TLimits& limits) : Limits(limits) {}
  TLoginThrottle(const TLoginThrottle&) = delete;
  TLoginThrottle& operator=(const TLoginThrottle&) = delete;

  // The moment the answer to a login from this address may be given (now
  // when the address is not throttled). Reserves that moment, so that the
  // next login of the same address is answered one wait later still; or
  // Refused when the address's queue is already MaxQueue long.
  TClock::time_point ReserveAnswer(std::string_view address, TClock::time_point now);
  // Counts a failed login of the address.
  void RecordFailure(std::string_view address, TClock::time_point now);

  // Failures of the address counted in the current window.
  int Failures(std::string_view address, TClock::time_point now) const;
  // Addresses tracked now.
  size_t Count() const;

  const TLimits& GetLimits() const { return Limits; }

 private:
  struct TEntry {
    std::string Address;
    int Failures = 0;
    TClock::time_point LastFailure;
    // The last answer moment handed out.
    TClock::time_point LastAnswer;
    TClock::time_point LastSeen;
  };
  using TList = std::list<TEntry>;

  // Forgets the addresses idle for longer than the window.
  void ForgetIdle(TClock::time_point now) VX_REQUIRES(Lock);
  // The entry of the address, or nullptr; a found entry becomes the most
  // recently seen.
  TEntry* Find(std::string_view address, TClock::time_point now) VX_REQUIRES(Lock);
  TClock::duration DelayAfter(int failures) const;

  const TLimits Limits{};
  mutable TMutex Lock;
  TList Entries VX_GUARDED_BY(Lock);  // most recently seen first
  // Keys point into Entries.
  std::unordered_map<std::string_view, TList::iterator> Index VX_GUARDED_BY(Lock);
};

// The throttle shared by every login of the process: the query port, the web
// interface and the virtual servers' own logins.
TLoginThrottle& ProcessLoginThrottle();

}  // namespace vx
