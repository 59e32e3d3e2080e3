// Text helpers of the HTTP layer: URL decoding and encoding and HTML
// escaping. Header, parameter and cookie names follow the ASCII case rules
// of common/TextTools.h.
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

// Removes blanks and tabs at both ends.
std::string_view TrimBlanks(std::string_view text);

}  // namespace vx
