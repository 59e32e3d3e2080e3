#include "vxload/ProcStats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vx::load {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t StatusKb(const std::string& status, const char* key) {
  const size_t at = status.find(key);
  if (at == std::string::npos) return 0;
  return std::strtoull(status.c_str() + at + std::char_traits<char>::length(key), nullptr, 10);
}

}  // namespace

TProcSample ParseProc(const std::string& stat, const std::string& status, long ticksPerSecond) {
  TProcSample sample;
  // The command name in brackets may hold blanks; the fields after the last
  // ')' are: state (3), ppid, pgrp, session, tty_nr, tpgid, flags, minflt,
  // cminflt, majflt, cmajflt, utime (14), stime (15).
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || ticksPerSecond <= 0) return sample;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  uint64_t utime = 0, stime = 0;
  for (int n = 3; n <= 15 && (fields >> field); ++n) {
    if (n == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  if (!fields) return sample;
  sample.CpuS = double(utime + stime) / double(ticksPerSecond);
  sample.RssKb = StatusKb(status, "VmRSS:");
  sample.HwmKb = StatusKb(status, "VmHWM:");
  sample.Valid = true;
  return sample;
}

TProcSample ReadProc(int pid) {
  if (pid <= 0) return {};
  const std::string base = "/proc/" + std::to_string(pid) + "/";
  return ParseProc(ReadFile(base + "stat"), ReadFile(base + "status"), sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace vx::load
