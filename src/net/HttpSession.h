// Browser sessions of the HTTP server: a random identifier carried in a
// cookie, the client address the session belongs to, its variables, and the
// list that finds, expires and discards sessions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ThreadSafety.h"

namespace vx {

class THTTPSession {
 public:
  THTTPSession(std::string sessionID, std::string remoteHost);
  THTTPSession(const THTTPSession&) = delete;
  THTTPSession& operator=(const THTTPSession&) = delete;

  const std::string& SessionID() const { return ID; }
  const std::string& RemoteHost() const { return Host; }

  // Variables, names compared without regard to case; a missing name reads
  // as empty. A new name keeps the spelling of its first setting.
  std::string Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);
  // Every variable as "name=value", in the order of first setting.
  std::vector<std::string> Content() const;

  // Held by callers that change several variables together; Value and
  // SetValue take it too (it is re-entrant).
  std::recursive_mutex& Lock() const { return Mutex; }
  void lock() const { Mutex.lock(); }
  void unlock() const { Mutex.unlock(); }

  // Set once the session has been discarded.
  bool Ended() const { return EndedFlag.load(); }

  // Variables beyond this number are not added.
  static constexpr size_t MaxVariables = 256;

 private:
  friend class THTTPSessionList;

  const std::string ID;
  const std::string Host;
  mutable std::recursive_mutex Mutex;
  std::vector<std::pair<std::string, std::string>> Variables;
  std::atomic<bool> EndedFlag{false};
  // Guarded by the list's lock.
  std::chrono::steady_clock::time_point LastAccess;
};

class THTTPSessionList {
 public:
  using TClock = std::chrono::steady_clock;

  THTTPSessionList() = default;
  THTTPSessionList(const THTTPSessionList&) = delete;
  THTTPSessionList& operator=(const THTTPSessionList&) = delete;

  // Milliseconds without requests after which a session expires.
  void SetTimeoutMs(int64_t ms) { TimeoutMs.store(ms); }
  int64_t GetTimeoutMs() const { return TimeoutMs.load(); }
  // Most sessions kept; a new one beyond it replaces the least recently used.
  size_t MaxSessions = 4096;

  // A new session for the address, with an identifier of 192 random bits
  // from the operating system.
  std::shared_ptr<THTTPSession> CreateSession(const std::string& remoteHost);
  // The session with that identifier, if it is known, has not expired and
  // belongs to that address; marks it as used now. An expired one is
  // discarded here.
  std::shared_ptr<THTTPSession> GetSession(const std::string& sessionID,
                                           const std::string& remoteHost);
  // Discards the session; false when it was not in the list.
  bool EndSession(const std::string& sessionID);
  // A new session, with a new identifier, for the same address and with the
  // same variables; the old one is discarded, so its identifier stops working.
  std::shared_ptr<THTTPSession> RenewSession(THTTPSession& session);
  // Discards every expired session; returns how many.
  size_t PurgeExpired();
  void Clear();
  size_t Count() const;

  // 48 hex digits from getrandom().
  static std::string NewSessionID();

 private:
  bool Expired(const THTTPSession& session, TClock::time_point now) const;
  void Discard(std::unordered_map<std::string, std::shared_ptr<THTTPSession>>::iterator it)
      VX_REQUIRES(ListLock);

  mutable TMutex ListLock;
  std::unordered_map<std::string, std::shared_ptr<THTTPSession>> Sessions VX_GUARDED_BY(ListLock);
  std::atomic<int64_t> TimeoutMs{3600000};
};

}  // namespace vx
