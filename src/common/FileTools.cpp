#include "common/FileTools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vx {

namespace {

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    bytes = bytes.subspan(size_t(put));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a name stands for: the target of a symbolic link (resolved to
// the end of a chain), otherwise the name itself. A link whose target
// cannot be resolved is replaced itself.
std::string ResolvedTarget(const std::string& fileName) {
  struct stat st {};
  if (::lstat(fileName.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return fileName;
  char* real = ::realpath(fileName.c_str(), nullptr);
  if (real == nullptr) return fileName;
  std::string target(real);
  std::free(real);
  return target;
}

}  // namespace

bool WriteFileAtomically(const std::string& fileName, std::span<const uint8_t> bytes) {
  const std::string target = ResolvedTarget(fileName);
  std::string temp = target + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // created with mode 0600
  if (fd < 0) return false;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    // Keep the operator's owner and mode; failing to is not worth failing the save.
    [[maybe_unused]] const int chownResult = ::fchown(fd, old.st_uid, old.st_gid);
    ::fchmod(fd, old.st_mode & 07777);
  }
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  int failure = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    errno = failure;
    return false;
  }
  // Make the rename itself durable; the new content is in place either way.
  const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace vx
