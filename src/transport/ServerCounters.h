// Counters of one virtual server for monitoring: datagrams the intake
// dropped and logins refused, each by reason, and commands resent. Relaxed
// atomics: the voice path never waits for a reader, and a reader sees a
// recent value.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vx {

enum class TDropReason : uint8_t {
  Invalid,              // no class, bad checksum or too short
  ServerToClient,       // a datagram of the server-to-client voice class
  UnknownPlayer,        // no connection with that PlayerID
  WrongConnection,      // the ConnectionID does not fit the PlayerID
  AfterClose,           // the connection is closed already
  CommandWhileClosing,  // a command for a connection that is closing
  VoiceDuringLogin,     // voice before the login completed
  Other,
  Count
};

enum class TLoginRefusal : uint8_t {
  BadPasswordOrName,
  ServerFull,
  NicknameInUse,
  ClientTooOld,
  BadAccount,
  Other,
  Count
};

// Names as monitoring shows them ("invalid", "bad_password", ...).
std::string_view DropReasonName(TDropReason reason);
std::string_view LoginRefusalName(TLoginRefusal reason);

class TServerCounters {
 public:
  void Drop(TDropReason reason) { Add(Dropped[size_t(reason)]); }
  // Counts the datagram whose handling raised the exception now being
  // handled, by the exception's message (call only inside a catch block).
  void DropCurrentException() noexcept;
  // Counts a login reply with a negative result code.
  void RefuseLogin(int32_t result) { Add(Refused[size_t(LoginRefusalOf(result))]); }
  void Resent() { Add(Resends); }

  uint64_t DroppedCount(TDropReason reason) const { return Read(Dropped[size_t(reason)]); }
  uint64_t RefusedCount(TLoginRefusal reason) const { return Read(Refused[size_t(reason)]); }
  uint64_t ResendCount() const { return Read(Resends); }

  static TDropReason DropReasonOf(std::string_view message);
  static TLoginRefusal LoginRefusalOf(int32_t result);

 private:
  static void Add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }
  static uint64_t Read(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
  }

  std::array<std::atomic<uint64_t>, size_t(TDropReason::Count)> Dropped{};
  std::array<std::atomic<uint64_t>, size_t(TLoginRefusal::Count)> Refused{};
  std::atomic<uint64_t> Resends{0};
};

}  // namespace vx
