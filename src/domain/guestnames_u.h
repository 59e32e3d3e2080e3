// Choosing a free nickname for a player who asked the server to make his
// nickname unique.
#pragma once

#include <string>
#include <string_view>

#include "domain/channelobject_u.h"

namespace vx {

// Longest name the numbered form of a requested nickname may reach before
// the server falls back to a "Guest" name.
constexpr size_t MaxNumberedNickNameLength = 30;

// The nickname to use (nicknames are compared with the letters a-z folded to
// capitals):
// - a name that is empty after trimming blanks and control characters:
//   "Guest" followed by the smallest free number 1, 2, ...;
// - a name no player has: the name unchanged;
// - otherwise the name followed by the smallest number that makes it free,
//   or, when that is longer than MaxNumberedNickNameLength characters, the
//   first free "Guest" name.
std::string GetGuestPlayerName(std::string_view requested, const TPlayerList& players);

}  // namespace vx
