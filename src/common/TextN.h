// Fixed-width "text N" fields: one length byte L (0 to N) followed by N
// character bytes, of which only the first L count; the rest is filler.
// N is 29, 99 or 255 depending on the field, so a field takes N+1 bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vx {

// The largest N a length byte can describe.
inline constexpr size_t MaxTextN = 255;

// The first n characters of value (all of it when shorter).
inline std::string CutText(std::string_view value, size_t n) {
  return std::string(value.substr(0, std::min(n, value.size())));
}

// Writes value as a text n field into the n+1 bytes at dst: the length byte,
// the characters, then zero filler. Longer values are cut to n characters.
inline void PutTextN(uint8_t* dst, size_t n, std::string_view value) {
  const size_t length = std::min({value.size(), n, MaxTextN});
  dst[0] = uint8_t(length);
  if (length > 0) std::memcpy(dst + 1, value.data(), length);
  if (n > length) std::memset(dst + 1 + length, 0, n - length);
}

// Reads the text n field in the n+1 bytes at src. The length byte comes from
// outside and is clamped to n, so a hostile one never reads past the field.
inline std::string GetTextN(const uint8_t* src, size_t n) {
  const size_t length = std::min<size_t>(src[0], n);
  return std::string(reinterpret_cast<const char*>(src + 1), length);
}

}  // namespace vx
