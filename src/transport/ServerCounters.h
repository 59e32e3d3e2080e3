// Counters of one virtual server for monitoring: logins refused by reason
// and commands resent (the buffer counts datagrams and packets by what
// became of them itself). Relaxed
// atomics: the voice path never waits for a reader, and a reader sees a
// recent value.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vx {

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
std::string_view LoginRefusalName(TLoginRefusal reason);

class TServerCounters {
 public:
  // Counts a login reply with a negative result code.
  void RefuseLogin(int32_t result) { Add(Refused[size_t(LoginRefusalOf(result))]); }
  void Resent(uint64_t n = 1) { Resends.fetch_add(n, std::memory_order_relaxed); }

  uint64_t RefusedCount(TLoginRefusal reason) const { return Read(Refused[size_t(reason)]); }
  uint64_t ResendCount() const { return Read(Resends); }

  static TLoginRefusal LoginRefusalOf(int32_t result);

 private:
  static void Add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }
  static uint64_t Read(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
  }

  std::array<std::atomic<uint64_t>, size_t(TLoginRefusal::Count)> Refused{};
  std::atomic<uint64_t> Resends{0};
};

}  // namespace vx
