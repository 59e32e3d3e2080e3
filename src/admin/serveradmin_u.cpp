#include "admin/serveradmin_u.h"

#include <algorithm>

#include "host/CommandLine.h"
#include "host/IniFile.h"
#include "host/logdebug.h"
#include "server/serverobject_u.h"

namespace vx {

namespace {

// A section name the configuration file can hold and read back, and that
// names exactly one key in the database.
bool UsableServerName(std::string_view name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '[' || c == ']' || c == '\\') {
      return false;
    }
  }
  return !name.empty();
}

void LogConfigFileFailure(const TIniFile& ini) {
  LogFmt(LMTERROR, LMDALL, "SERVER",
         "Start_Vorlantix_Server: unable to open server config file: %1 ", {ini.FileName()});
}

// Starts the server object; a start that raises leaves nothing registered.
bool StartObject(const std::shared_ptr<TServerObject>& server, TServerManager& manager,
                 const std::string& sectionName, int32_t port) {
  try {
    return server->Start(sectionName, port, nullptr);
  } catch (const std::exception&) {
    manager.UnregisterServer(server.get());
    return false;
  }
}

}  // namespace

std::string ServerSectionName(std::string_view name) {
  return "server_cfg " + std::string(name);
}

TServerAdminResult AddServer(TServerManager& manager, std::string_view name, int32_t port,
                             std::shared_ptr<TServerObject>* added) {
  if (port <= 0 || port > 65535) return TServerAdminResult::InvalidPort;
  if (manager.FindServerByPort(port)) return TServerAdminResult::PortRunning;
  if (!UsableServerName(name)) return TServerAdminResult::InvalidName;
  const std::string section = ServerSectionName(name);
  auto server = std::make_shared<TServerObject>(manager);
  if (!StartObject(server, manager, section, port)) return TServerAdminResult::StartFailed;

  TIniFile ini(ProcessSettings().IniPath);
  if (!ini.Load()) {
    LogConfigFileFailure(ini);
    return TServerAdminResult::SaveFailed;
  }
  for (int n = 0;; ++n) {
    const std::string key = std::to_string(n);
    const std::string listed = ini.ReadString(ServersSection, key, "");
    if (listed == section) break;  // listed already (added, stopped and added again)
    if (listed.empty()) {
      ini.WriteString(ServersSection, key, section);
      break;
    }
  }
  if (!ini.Save()) {
    LogConfigFileFailure(ini);
    return TServerAdminResult::SaveFailed;
  }
  if (added != nullptr) *added = server;
  return TServerAdminResult::Done;
}

TServerAdminResult StartServer(TServerManager& manager, const std::string& sectionName) {
  if (manager.FindServerByName(sectionName)) return TServerAdminResult::AlreadyRunning;
  const std::vector<std::string> listed = ConfiguredServers();
  if (std::find(listed.begin(), listed.end(), sectionName) == listed.end()) {
    return TServerAdminResult::NotFound;
  }
  auto server = std::make_shared<TServerObject>(manager);
  return StartObject(server, manager, sectionName, -1) ? TServerAdminResult::Done
                                                       : TServerAdminResult::StartFailed;
}

TServerAdminResult StopServer(TServerManager& manager, const std::string& sectionName) {
  if (!manager.FindServerByName(sectionName)) return TServerAdminResult::NotFound;
  manager.StopServers(sectionName);
  return TServerAdminResult::Done;
}

TServerAdminResult RestartServer(TServerManager& manager, const std::string& sectionName) {
  const std::shared_ptr<TServerObject> server = manager.FindServerByName(sectionName);
  if (!server) return TServerAdminResult::NotFound;
  manager.RestartServers(sectionName);
  // A start that failed (port taken, unusable settings) left it unregistered.
  return manager.FindServerByName(sectionName) == server ? TServerAdminResult::Done
                                                         : TServerAdminResult::StartFailed;
}

std::vector<std::string> ConfiguredServers() {
  std::vector<std::string> sections;
  TIniFile ini(ProcessSettings().IniPath);
  if (!ini.Load()) return sections;
  for (int n = 0;; ++n) {
    std::string section = ini.ReadString(ServersSection, std::to_string(n), "");
    if (section.empty()) break;
    sections.push_back(std::move(section));
  }
  return sections;
}

}  // namespace vx
