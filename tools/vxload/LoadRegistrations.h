// A client that registers accounts at a steady rate beside a load run: it
// logs in with the server admin account that make-db stores and registers
// fresh login names with CMD_cs_PlayerAdminRegister, measuring how long
// each takes to be confirmed (the server confirms an account once it is on
// disk).
#pragma once

#include <cstdint>
#include <string>

#include "vxload/LoadScenario.h"
#include "vxload/LoadStats.h"

namespace vx {
class TZeveVira;
}

namespace vx::load {

// The server admin account of the load databases.
constexpr const char* LoadAdminLogin = "vxadmin";
constexpr const char* LoadAdminPassword = "vxadmin";

struct TRegistrationResult {
  uint32_t Sent = 0;
  uint32_t Confirmed = 0;
  uint32_t Refused = 0;         // answered with an error packet
  TLatencyHistogram ConfirmUs;  // request sent to answer received
  std::string Aborted;          // why the run ended early, if it did
};

// Logs in, waits the scenario's RegisterDelayS, then registers
// RegisterRate accounts a second (named NickPrefix + "reg" + n) for
// DurationS, and waits up to 5 s for the last answers.
TRegistrationResult RunRegistrations(const TScenario& scenario);
// A line of text and a JSON line.
std::string FormatRegistrations(const TScenario& scenario, const TRegistrationResult& result);

// Stores `count` accounts named prefix0 .. prefix(count-1) and the server
// admin account for the virtual server in the open database, in one save.
void StoreAccounts(TZeveVira& database, const std::string& section, uint32_t count,
                   const std::string& prefix);

}  // namespace vx::load
