#include "host/LoginThrottle.h"

#include <algorithm>

namespace vx {

TLoginThrottle::TClock::duration TLoginThrottle::DelayAfter(int failures) const {
  if (failures < Limits.FreeFailures) return TClock::duration::zero();
  TClock::duration delay = Limits.FirstDelay;
  for (int n = Limits.FreeFailures; n < failures && delay < Limits.MaxDelay; ++n) delay *= 2;
  return std::min(delay, Limits.MaxDelay);
}

void TLoginThrottle::ForgetIdle(TClock::time_point now) {
  while (!Entries.empty()) {
    const TEntry& oldest = Entries.back();
    if (now - std::max(oldest.LastSeen, oldest.LastAnswer) <= Limits.Window) break;
    Index.erase(oldest.Address);
    Entries.pop_back();
  }
}

TLoginThrottle::TEntry* TLoginThrottle::Find(std::string_view address, TClock::time_point now) {
  const auto it = Index.find(address);
  if (it == Index.end()) return nullptr;
  Entries.splice(Entries.begin(), Entries, it->second);
  TEntry& entry = Entries.front();
  entry.LastSeen = now;
  // A window without failures starts the count afresh.
  if (now - entry.LastFailure > Limits.Window) entry.Failures = 0;
  return &entry;
}

TLoginThrottle::TClock::time_point TLoginThrottle::ReserveAnswer(std::string_view address,
                                                                 TClock::time_point now) {
  TLockGuard guard(Lock);
  ForgetIdle(now);
  TEntry* entry = Find(address, now);
  if (entry == nullptr || entry->Failures < Limits.FreeFailures) return now;
  const TClock::time_point answer = std::max(now, entry->LastAnswer) + DelayAfter(entry->Failures);
  if (answer - now > Limits.MaxQueue) return Refused;
  entry->LastAnswer = answer;
  return answer;
}

void TLoginThrottle::RecordFailure(std::string_view address, TClock::time_point now) {
  TLockGuard guard(Lock);
  ForgetIdle(now);
  TEntry* entry = Find(address, now);
  if (entry == nullptr) {
    if (Limits.MaxAddresses == 0) return;
    if (Entries.size() >= Limits.MaxAddresses) {
      Index.erase(Entries.back().Address);
      Entries.pop_back();
    }
    Entries.push_front(TEntry{std::string(address), 0, now, now, now});
    Index.emplace(Entries.front().Address, Entries.begin());
    entry = &Entries.front();
  }
  ++entry->Failures;
  entry->LastFailure = now;
}

int TLoginThrottle::Failures(std::string_view address, TClock::time_point now) const {
  TLockGuard guard(Lock);
  const auto it = Index.find(address);
  if (it == Index.end() || now - it->second->LastFailure > Limits.Window) return 0;
  return it->second->Failures;
}

size_t TLoginThrottle::Count() const {
  TLockGuard guard(Lock);
  return Entries.size();
}

TLoginThrottle& ProcessLoginThrottle() {
  static TLoginThrottle throttle;
  return throttle;
}

}  // namespace vx
