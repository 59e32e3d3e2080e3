// Saving a whole file so that a crash, a full disk or a failed write never
// leaves it half written.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vx {

// Replaces the content of the file: the bytes go to a temporary file in the
// same folder, which is flushed to disk and renamed over the file, and then
// the folder is flushed. A symbolic link is followed: the file it points to
// is replaced and the link stays a link. A file that existed keeps its mode
// (and its owner, where the process may set it); a new one is created for
// its owner only (0600), as it may hold passwords. False on any failure,
// with errno telling why; the file is then as it was and no temporary file
// is left behind.
bool WriteFileAtomically(const std::string& fileName, std::span<const uint8_t> bytes);
inline bool WriteFileAtomically(const std::string& fileName, std::string_view text) {
  return WriteFileAtomically(fileName,
                             std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace vx
