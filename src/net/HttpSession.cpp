#include "net/HttpSession.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

#include "common/TextTools.h"
#include "net/HttpEncoding.h"

namespace vx {

THTTPSession::THTTPSession(std::string sessionID, std::string remoteHost)
    : ID(std::move(sessionID)), Host(std::move(remoteHost)) {}

std::string THTTPSession::Value(std::string_view name) const {
  std::scoped_lock guard(Mutex);
  for (const auto& [n, v] : Variables) {
    if (SameTextAscii(n, name)) return v;
  }
  return {};
}

void THTTPSession::SetValue(std::string_view name, std::string_view value) {
  std::scoped_lock guard(Mutex);
  for (auto& [n, v] : Variables) {
    if (SameTextAscii(n, name)) {
      v = std::string(value);
      return;
    }
  }
  if (Variables.size() < MaxVariables)
    Variables.emplace_back(std::string(name), std::string(value));
}

std::vector<std::string> THTTPSession::Content() const {
  std::scoped_lock guard(Mutex);
  std::vector<std::string> lines;
  lines.reserve(Variables.size());
  for (const auto& [n, v] : Variables) lines.push_back(n + "=" + v);
  return lines;
}

std::string THTTPSessionList::NewSessionID() {
  unsigned char bytes[24];
  size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    have += size_t(n);
  }
  static const char HexDigits[] = "0123456789abcdef";
  std::string id;
  id.reserve(2 * sizeof bytes);
  for (const unsigned char b : bytes) {
    id += HexDigits[b >> 4];
    id += HexDigits[b & 15];
  }
  return id;
}

bool THTTPSessionList::Expired(const THTTPSession& session, TClock::time_point now) const {
  return now - session.LastAccess >= std::chrono::milliseconds(TimeoutMs.load());
}

void THTTPSessionList::Discard(
    std::unordered_map<std::string, std::shared_ptr<THTTPSession>>::iterator it) {
  it->second->EndedFlag = true;
  Sessions.erase(it);
}

std::shared_ptr<THTTPSession> THTTPSessionList::CreateSession(const std::string& remoteHost) {
  std::string id = NewSessionID();
  auto session = std::make_shared<THTTPSession>(id, remoteHost);
  const auto now = TClock::now();
  session->LastAccess = now;
  TLockGuard guard(ListLock);
  if (Sessions.size() >= MaxSessions) {
    for (auto it = Sessions.begin(); it != Sessions.end();) {
      auto next = std::next(it);
      if (Expired(*it->second, now)) Discard(it);
      it = next;
    }
  }
  if (Sessions.size() >= MaxSessions && !Sessions.empty()) {
    auto oldest = Sessions.begin();
    for (auto it = Sessions.begin(); it != Sessions.end(); ++it) {
      if (it->second->LastAccess < oldest->second->LastAccess) oldest = it;
    }
    Discard(oldest);
  }
  Sessions.emplace(std::move(id), session);
  return session;
}

std::shared_ptr<THTTPSession> THTTPSessionList::GetSession(const std::string& sessionID,
                                                           const std::string& remoteHost) {
  TLockGuard guard(ListLock);
  const auto it = Sessions.find(sessionID);
  if (it == Sessions.end()) return nullptr;
  const auto now = TClock::now();
  if (Expired(*it->second, now)) {
    Discard(it);
    return nullptr;
  }
  if (it->second->RemoteHost() != remoteHost) return nullptr;
  it->second->LastAccess = now;
  return it->second;
}

bool THTTPSessionList::EndSession(const std::string& sessionID) {
  TLockGuard guard(ListLock);
  const auto it = Sessions.find(sessionID);
  if (it == Sessions.end()) return false;
  Discard(it);
  return true;
}

std::shared_ptr<THTTPSession> THTTPSessionList::RenewSession(THTTPSession& session) {
  auto renewed = std::make_shared<THTTPSession>(NewSessionID(), session.RemoteHost());
  {
    std::scoped_lock guard(session.Mutex);
    renewed->Variables = session.Variables;
  }
  TLockGuard guard(ListLock);
  if (const auto it = Sessions.find(session.SessionID()); it != Sessions.end()) Discard(it);
  session.EndedFlag = true;
  renewed->LastAccess = TClock::now();
  Sessions.emplace(renewed->SessionID(), renewed);
  return renewed;
}

size_t THTTPSessionList::PurgeExpired() {
  TLockGuard guard(ListLock);
  const auto now = TClock::now();
  size_t n = 0;
  for (auto it = Sessions.begin(); it != Sessions.end();) {
    auto next = std::next(it);
    if (Expired(*it->second, now)) {
      Discard(it);
      ++n;
    }
    it = next;
  }
  return n;
}

void THTTPSessionList::Clear() {
  TLockGuard guard(ListLock);
  for (auto& [id, session] : Sessions) session->EndedFlag = true;
  Sessions.clear();
}

size_t THTTPSessionList::Count() const {
  TLockGuard guard(ListLock);
  return Sessions.size();
}

}  // namespace vx
