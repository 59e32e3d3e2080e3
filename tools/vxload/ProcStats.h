// Figures of a process read from /proc: CPU time of all its threads and its
// resident memory (now and at its peak).
#pragma once

#include <cstdint>
#include <string>

namespace vx::load {

struct TProcSample {
  bool Valid = false;
  double CpuS = 0;     // user + system time of all threads
  uint64_t RssKb = 0;  // VmRSS
  uint64_t HwmKb = 0;  // VmHWM, the peak of VmRSS
};

TProcSample ReadProc(int pid);
// Parses the text of /proc/<pid>/stat and /proc/<pid>/status.
TProcSample ParseProc(const std::string& stat, const std::string& status, long ticksPerSecond);
// CPU time of this process so far.
double OwnCpuSeconds();

}  // namespace vx::load
