// Saving a data file so that a crash or a full disk never leaves it half
// written, and cleaning up after saves that a crash interrupted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vx {

// Replaces the file by the bytes: they go to a temporary file in the same
// folder ("<name>.tmp<pid>-<n>"), are flushed to disk, and the temporary file
// is then renamed over the old one, so a failure at any point leaves the old
// file intact. A symbolic link is kept and the file it points to replaced.
// False with the reason (the step, the path and the system's error text)
// when the file could not be replaced.
bool WriteFileAtomically(const std::string& fileName, std::span<const uint8_t> bytes,
                         std::string& reason);

// Removes what saves of the file left behind when they were interrupted:
// the regular files of its folder named like the file followed by ".tmp"
// and letters, digits or dashes. Returns the paths removed.
std::vector<std::string> RemoveStaleTempFiles(const std::string& fileName);

}  // namespace vx
