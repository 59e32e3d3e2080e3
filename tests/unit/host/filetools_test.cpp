#include "host/FileTools.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vx {
namespace {

namespace fs = std::filesystem;

bool Save(const fs::path& path, std::string_view text, std::string& reason) {
  return WriteFileAtomically(
      path.string(), std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), reason);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(FileTools, SaveFollowsALinkKeepsTheModeAndAFailureKeepsTheOldFile) {
  std::string pattern = (fs::temp_directory_path() / "filetools-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  fs::create_directory(dir / "data");
  const fs::path real = dir / "data" / "server.ini";
  const fs::path link = dir / "server.ini";
  std::ofstream(real) << "old";
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  fs::create_symlink("data/server.ini", link);

  // Through the link the file it points to is replaced; the link stays.
  std::string reason;
  ASSERT_TRUE(Save(link, "new content", reason)) << reason;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(real), "new content");
  EXPECT_EQ(ModeOf(real), 0640u);

  // A new file is for its owner only.
  ASSERT_TRUE(Save(dir / "fresh", "x", reason)) << reason;
  EXPECT_EQ(ModeOf(dir / "fresh"), 0600u);

  // A write that fails (the file size limit) leaves the old file whole and
  // no temporary file behind, and says why.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool failed = !Save(link, std::string(100, 'y'), reason);
    ::_exit(failed && reason.find("cannot write") == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(real), "new content");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "data"), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vx
