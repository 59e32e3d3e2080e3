#include "domain/guestnames_u.h"

#include <cstdint>
#include <unordered_set>

#include "common/TextTools.h"

namespace vx {

namespace {

class TTakenNames {
 public:
  explicit TTakenNames(const TPlayerList& players) {
    for (const auto& player : players) {
      if (player) Names.insert(UpperCaseAscii(player->NickName));
    }
  }
  bool Taken(std::string_view name) const { return Names.count(UpperCaseAscii(name)) != 0; }

  // base followed by the smallest number 1, 2, ... that no player has.
  std::string FirstFree(std::string_view base) const {
    for (uint64_t k = 1;; ++k) {
      std::string name(base);
      name += std::to_string(k);
      if (!Taken(name)) return name;
    }
  }

 private:
  std::unordered_set<std::string> Names;
};

}  // namespace

std::string GetGuestPlayerName(std::string_view requested, const TPlayerList& players) {
  const TTakenNames taken(players);
  if (TrimTextView(requested).empty()) return taken.FirstFree("Guest");
  if (!taken.Taken(requested)) return std::string(requested);
  std::string numbered = taken.FirstFree(requested);
  if (numbered.size() > MaxNumberedNickNameLength) return taken.FirstFree("Guest");
  return numbered;
}

}  // namespace vx
