// Runs the real server program in scratch folders for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/WaitUntil.h"

namespace vx::testing {

// A fresh folder under the system's temp directory, removed afterwards.
class TScratchDir {
 public:
  TScratchDir() {
    std::random_device rd;
    Path = std::filesystem::temp_directory_path() /
           ("vx-e2e-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(Path);
  }
  ~TScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
  std::string File(const std::string& name) const { return (Path / name).string(); }
  std::filesystem::path Path;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// Gives the calling process a network of its own with only loopback up, so
// that daemons started on the default ports never collide with another run
// on the same machine. Without the right to do so the shared network stays.
inline void IsolateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return;
  ifreq request{};
  std::snprintf(request.ifr_name, IFNAMSIZ, "lo");
  if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    request.ifr_flags |= IFF_UP;
    ioctl(fd, SIOCSIFFLAGS, &request);
  }
  close(fd);
}

struct TRunResult {
  int ExitCode = -1;
  std::string Output;
};

// Runs the program in the folder and waits for it (the daemon's parent
// returns once the child has reported).
inline TRunResult RunServer(const std::string& dir, const std::vector<std::string>& args) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    IsolateNetwork();
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    std::string program = VX_SERVER_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  TRunResult result;
  char buffer[4096];
  ssize_t n;
  // The daemon child keeps no copy of our pipe open past its own start
  // (its standard output goes to /dev/null), so this read ends.
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.Output.append(buffer, size_t(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// True while the process exists and is not a zombie.
inline bool ProcessAlive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  std::getline(stat, content);
  const auto close = content.rfind(')');
  return close == std::string::npos || close + 2 >= content.size() || content[close + 2] != 'Z';
}

}  // namespace vx::testing

namespace vx::testing {

// Starts the daemon in the folder and returns the child's pid (0 on failure).
inline pid_t StartDaemon(const std::string& dir, const std::vector<std::string>& args,
                         std::string* output = nullptr) {
  const TRunResult r = RunServer(dir, args);
  if (output) *output = r.Output;
  const std::string prefix = "Vorlantix Server Daemon started with PID ";
  if (r.ExitCode != 0 || r.Output.rfind(prefix, 0) != 0) return 0;
  return pid_t(std::stol(r.Output.substr(prefix.size())));
}

// Sends SIGTERM and waits for the shutdown (which pauses 5 s) to end.
inline bool StopDaemon(pid_t pid) {
  if (pid <= 0 || kill(pid, SIGTERM) != 0) return false;
  return WaitUntil([&] { return !ProcessAlive(pid); }, std::chrono::seconds(20));
}

}  // namespace vx::testing
