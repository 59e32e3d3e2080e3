// The hostile scenarios, each run against a virtual server on this machine
// (see bench/README.md):
//
//   wedge    a player that pings but never acknowledges, a flood of
//            never-completed logins, and a real client logging in meanwhile
//   crowd    a flood of never-completed logins against a small server, and
//            real login attempts from another address
//   amplify  a flood of never-completed logins while real players chat and
//            come and go: what each flood address receives
//   guess    wrong account passwords from one address as fast as answered
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx::hostile {

struct TSettings {
  std::string Scenario;
  std::string Host = "127.0.0.1";
  uint16_t Port = 0;
  int ServerPid = 0;            // 0: no CPU figure
  std::string LogPath;          // the server's log; empty: no growth figure
  double Seconds = 0;           // length of the flood (0: the scenario's own)
  double Rate = 0;              // login requests per second (0: the scenario's own)
  int Addresses = 0;            // flood addresses (0: the scenario's own)
  int RealAttempts = 14;        // crowd: real login attempts
  int Players = 4;              // amplify: players who stay and chat
  std::string Login = "admin";  // guess: the account tried
  int Window = 16;              // guess: requests awaiting their answer
};

struct TReport {
  std::string Scenario;
  std::vector<std::string> Lines;                         // the table
  std::vector<std::pair<std::string, std::string>> Json;  // key and JSON value
};

// Reads --key=value arguments into settings; returns those it does not know.
std::vector<std::string> ApplyArguments(TSettings& settings, const std::vector<std::string>& args);
std::string ArgumentHelp();

// Runs the named scenario; EClient when it cannot be run.
TReport RunScenario(const TSettings& settings);
std::string FormatTable(const TReport& report);
// One line, no line end.
std::string FormatJson(const TReport& report);

}  // namespace vx::hostile
