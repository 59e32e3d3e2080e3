// Small text helpers shared by the whole tree: trimming and the ASCII case
// rules. Wherever the system ignores case (nicknames, channel names, INI
// keys, database names, commands, HTTP names) it folds the letters A-Z and
// a-z only; every other byte is kept as it is.
#pragma once

#include <string>
#include <string_view>

namespace vx {

// Removes leading and trailing blanks and control characters (bytes <= 0x20).
std::string TrimText(std::string_view text);
std::string_view TrimTextView(std::string_view text);

constexpr char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string UpperCaseAscii(std::string_view text);
std::string LowerCaseAscii(std::string_view text);

// Equality that ignores the case of the letters.
bool SameTextAscii(std::string_view a, std::string_view b);

// Position of needle in haystack from `from` on, ignoring the case of the
// letters; npos when there is none.
size_t FindTextAscii(std::string_view haystack, std::string_view needle, size_t from = 0);

}  // namespace vx
