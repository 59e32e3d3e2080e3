// Text helpers of the HTTP layer: URL decoding and encoding, HTML escaping
// and the ASCII case rules that header, parameter and cookie names follow.
#pragma once

#include <string>
#include <string_view>

namespace vx {

// Decodes "%XX" escapes; with plusAsSpace a '+' becomes a blank (query
// strings and form bodies). A '%' that is not followed by two hex digits
// stays as it is.
std::string URLDecode(std::string_view text, bool plusAsSpace);

// Percent-encodes every byte except A-Z a-z 0-9 "-" "_" "." "~", so that the
// result can stand as a query parameter value or a path segment.
std::string URLEncode(std::string_view text);

// Replaces & < > " ' by character references, for text and attribute values.
std::string HTMLEscape(std::string_view text);

std::string LowerCaseText(std::string_view text);
std::string UpperCaseText(std::string_view text);
// Equality that ignores the case of ASCII letters.
bool SameTextNoCase(std::string_view a, std::string_view b);
// Position of needle in haystack ignoring the case of ASCII letters, or npos.
size_t FindNoCase(std::string_view haystack, std::string_view needle, size_t from = 0);
// Removes blanks and tabs at both ends.
std::string_view TrimBlanks(std::string_view text);

}  // namespace vx
