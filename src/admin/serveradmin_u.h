// Adding, starting, stopping and restarting virtual servers, as the query
// port and the web console offer them: the same checks and the same files
// written, whichever interface asks. Callers hold the administration
// interfaces' server lock exclusively, so that no page or query line reads
// a server while it is replaced.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

class TServerManager;
class TServerObject;

enum class TServerAdminResult {
  Done,
  InvalidPort,  // not a port number above 0
  PortRunning,  // a running server has that UDP port
  InvalidName,  // not usable as a section name of the configuration file
  NotFound,     // no such server (running, or listed in the configuration)
  AlreadyRunning,
  StartFailed,  // the server could not be started (its port taken, bad settings)
  SaveFailed,   // the configuration file could not be read or written
};

// The section name of a server added under that name: "server_cfg " + name.
std::string ServerSectionName(std::string_view name);

// Starts a new server from the section ServerSectionName(name) (its settings
// the defaults where the section has none) on the port, and lists it in
// section "Servers" of the configuration file. The new server in added.
TServerAdminResult AddServer(TServerManager& manager, std::string_view name, int32_t port,
                             std::shared_ptr<TServerObject>* added = nullptr);
// Starts a server that the configuration file lists and that is not running.
TServerAdminResult StartServer(TServerManager& manager, const std::string& sectionName);
// Stops the running server and releases it; it stays in the configuration.
TServerAdminResult StopServer(TServerManager& manager, const std::string& sectionName);
// Stops it and starts it again from its section of the configuration file.
TServerAdminResult RestartServer(TServerManager& manager, const std::string& sectionName);

// The section names that section "Servers" of the configuration file lists,
// in key order (0, 1, 2, ... up to the first empty key).
std::vector<std::string> ConfiguredServers();

}  // namespace vx
