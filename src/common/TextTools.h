// Small text helpers shared by the whole tree: trimming and ASCII case rules.
#pragma once

#include <string>
#include <string_view>

namespace vx {

// Removes leading and trailing blanks and control characters (bytes <= 0x20).
std::string TrimText(std::string_view text);
std::string_view TrimTextView(std::string_view text);

// Upper-cases the letters a-z; every other byte is kept as it is.
std::string UpperCaseAscii(std::string_view text);

// Equality that ignores the case of the letters a-z / A-Z only.
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace vx
