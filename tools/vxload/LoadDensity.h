// The density run: many virtual servers in one process, a player on every
// n-th of them, all idle but for their pings. It measures what the servers
// cost while idle (the server process's CPU over the idle time) and how
// long a new player takes to log in to the last server.
#pragma once

#include <cstdint>
#include <string>

#include "vxload/LoadScenario.h"

namespace vx::load {

struct TDensitySettings {
  uint32_t Servers = 1000;  // on the ports Port .. Port + Servers - 1
  uint32_t Every = 10;      // a player on every Every-th server
};

struct TDensityResult {
  uint32_t Players = 0;  // logged in
  uint32_t Failed = 0;
  double LoginAllS = 0;        // logging in all of them
  double IdleCpuPercent = -1;  // of one core, over the idle time; -1 without a pid
  double LastLoginMs = -1;     // a new player on the last server, login to step 6
  uint64_t RssKb = 0;
  std::string Aborted;
};

TDensityResult RunDensity(const TScenario& scenario, const TDensitySettings& density);
// A table line and a JSON line.
std::string FormatDensity(const TScenario& scenario, const TDensitySettings& density,
                          const TDensityResult& result);

}  // namespace vx::load
