// Small pieces the console's pages are built from: form heads with the
// session's form token, hidden fields, numbers from form fields, and the
// lock of a server's players and channels.
#pragma once

#include <charconv>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/channelobject_u.h"
#include "net/HttpEncoding.h"
#include "server/serverobject_u.h"

namespace vx {

// A decimal integer and nothing else.
inline bool ParseFormNumber(std::string_view text, int64_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

inline std::string HiddenField(std::string_view name, std::string_view value) {
  return "<input type=\"hidden\" name=\"" + std::string(name) + "\" value=\"" + HTMLEscape(value) +
         "\">";
}

// The start of a form that posts to the action with the form token.
inline std::string PostForm(std::string_view action, const std::string& token,
                            std::string_view cssClass = {}) {
  std::string form = "<form action=\"" + std::string(action) + "\" method=\"post\"";
  if (!cssClass.empty()) form += " class=\"" + std::string(cssClass) + "\"";
  return form + ">" + HiddenField("csrf", token);
}

// A running server's player list and then its channel tree, locked for the
// life of the object; Running() is false for a server without them. The
// analysis takes both as held: callers go on only while Running().
class VX_SCOPED_CAPABILITY TServerPlayersLock {
 public:
  explicit TServerPlayersLock(TServerObject& server)
      VX_ACQUIRE(server.Players.Lock, *server.Channels)
      : Players(server.Players.Lock),
        Channels(server.Channels.get()),
        Transport(server.PacketBuffer != nullptr) {
    Players.lock();
    if (Channels != nullptr) Channels->Lock();
  }
  ~TServerPlayersLock() VX_RELEASE() {
    if (Channels != nullptr) Channels->Unlock();
    Players.unlock();
  }
  TServerPlayersLock(const TServerPlayersLock&) = delete;
  TServerPlayersLock& operator=(const TServerPlayersLock&) = delete;
  bool Running() const { return Channels != nullptr && Transport; }

 private:
  TMutex& Players;
  TChannels* Channels;
  bool Transport;
};

}  // namespace vx
