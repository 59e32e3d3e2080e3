#include "host/FileTools.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vx {

namespace {

constexpr std::string_view TempInfix = ".tmp";

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a save replaces: the path itself, or the file that a symbolic
// link there points to.
std::string SaveTarget(const std::string& fileName) {
  struct stat st;
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(fileName.c_str(), nullptr)) {
      std::string target = real;
      std::free(real);
      return target;
    }
  }
  return fileName;
}

bool Failed(std::string& reason, const char* step, const std::string& path, int error) {
  reason = std::string(step) + " " + path + ": " + std::strerror(error);
  return false;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {
      errno = EIO;
      return false;
    }
    data += put;
    size -= size_t(put);
  }
  return true;
}

// A name the saves above give their temporary files: the file's own name,
// ".tmp" and at least one letter, digit or dash.
bool IsTempNameOf(std::string_view name, std::string_view base) {
  if (name.size() <= base.size() + TempInfix.size()) return false;
  if (name.substr(0, base.size()) != base) return false;
  if (name.substr(base.size(), TempInfix.size()) != TempInfix) return false;
  for (char c : name.substr(base.size() + TempInfix.size())) {
    const bool allowed =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& fileName, std::span<const uint8_t> bytes,
                         std::string& reason) {
  const std::string target = SaveTarget(fileName);
  struct stat old;
  const bool haveOld = ::stat(target.c_str(), &old) == 0;

  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + std::string(TempInfix) + std::to_string(::getpid()) + "-" +
           std::to_string(counter++);
    // The database holds account passwords: a new file is for its owner only.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return Failed(reason, "cannot create", temp, errno);
  }
  if (fd < 0) return Failed(reason, "cannot create", temp, EEXIST);
  if (haveOld) {
    // Keep the old file's owner and mode; failing to is not worth failing the save.
    [[maybe_unused]] const int chownResult = ::fchown(fd, old.st_uid, old.st_gid);
    ::fchmod(fd, old.st_mode & 07777);
  }
  const char* step = nullptr;
  int error = 0;
  if (!WriteAll(fd, bytes.data(), bytes.size())) {
    step = "cannot write";
  } else if (::fsync(fd) != 0) {
    step = "cannot flush";
  }
  if (step != nullptr) error = errno;
  if (::close(fd) != 0 && step == nullptr) {
    step = "cannot close";
    error = errno;
  }
  if (step == nullptr && ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return Failed(reason, "cannot rename to", target, errno);
  }
  if (step != nullptr) {
    ::unlink(temp.c_str());
    return Failed(reason, step, temp, error);
  }
  // Make the rename itself durable; the data is already safe either way.
  const int dirFd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  reason.clear();
  return true;
}

std::vector<std::string> RemoveStaleTempFiles(const std::string& fileName) {
  std::vector<std::string> removed;
  const std::string target = SaveTarget(fileName);
  const std::string folder = FolderOf(target);
  const std::string base = BaseNameOf(target);
  if (base.empty()) return removed;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return removed;
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsTempNameOf(entry->d_name, base)) continue;
    const std::string path = folder + "/" + entry->d_name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
  }
  ::closedir(dir);
  return removed;
}

}  // namespace vx
