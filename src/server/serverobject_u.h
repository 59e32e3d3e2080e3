// The server manager, which brings the whole server up and down and keeps the
// registry of running virtual servers, and the virtual server object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ThreadSafety.h"
#include "domain/ServerState.h"
#include "domain/permissions_u.h"
#include "domain/udplistener_u.h"
#include "host/TimeTools.h"

namespace vx {

class TIniFile;
class TCustomPacketBuffer;
class TServerTransport;
class TEventLoopPool;
class TZeveVira;
class TServerManager;

// The section of the configuration file that lists the virtual servers'
// sections by number.
inline constexpr const char* ServersSection = "Servers";

struct TMainConfig {
  int32_t HTTPServerPort = 14534;
  bool HTTPServerEnabled = true;
  bool ExternalIPDectection = true;
  std::string DateTimeFormat = "dd-mm-yyyy hh:nn:ss";
  int32_t TCPQueryPort = 51234;
  std::string BoundToIp;
  // TCP port of the monitoring endpoint; 0 or less: none.
  int32_t MetricsPort = 0;
};

struct TWebPostConfig {
  std::string AdminEmail = "na";
  std::string ISPLinkURL = "na";
  std::string ISPName = "Private";
  std::string ISPCountry = "Earth";
  bool Enabled = true;
  std::string PostURL;
};

// Reads "Main Config" and "WebPost" from the file, the in-memory values
// serving as defaults; texts are trimmed and cut to their sizes.
void ReadMainConfig(const TIniFile& ini, TMainConfig& main, TWebPostConfig& webPost);
// Writes every key of both sections.
void WriteMainConfig(TIniFile& ini, const TMainConfig& main, const TWebPostConfig& webPost);

// One virtual server: its settings from its own section of the configuration
// file, and (once started) its threads and socket.
class TServerObject : public TServerState, public std::enable_shared_from_this<TServerObject> {
 public:
  explicit TServerObject(TServerManager& manager);
  ~TServerObject() override;
  TServerObject(const TServerObject&) = delete;
  TServerObject& operator=(const TServerObject&) = delete;

  // Starts the server from the section; port -1 takes the configured port.
  // With ini null the configuration file is opened (and released) here.
  // The settings are written back and the file is saved, unless saveIni is
  // false: the caller then saves it (once for many servers).
  // The object must be owned by a shared_ptr (the registry shares it).
  bool Start(const std::string& sectionName, int32_t port, TIniFile* ini, bool saveIni = true);
  // Tells every player, waits (StopDrainRounds ms at most) for the
  // connections to close, stores the channels and releases the transport.
  void Stop();
  // Stop in three steps, so that many servers can stop together: players
  // told (false when the server does not run), connections closed, the rest.
  bool BeginStop();
  bool Drained() const;
  // Hands the registered channels to the database's writer, once per stop.
  void StoreChannels();
  void FinishStop();
  // Sets the defaults (port -1: the default port) and reads the section
  // ConfigName over them; false when a value cannot be used.
  bool LoadSettings(const TIniFile& ini, int32_t port);
  // Writes every setting into the section ConfigName and, with save, saves
  // the file.
  void SaveSettings(TIniFile* ini, bool save = true);

  // Transport of a started server (with PacketBuffer); all empty while
  // stopped.
  std::unique_ptr<TVXUDPListener> Listener;
  std::unique_ptr<TServerTransport> Transport;
  // Longest wait, in 1 ms rounds, for the connections to close at stop.
  int StopDrainRounds = 350;

  TZeveVira* Database() const override;

  static std::string DefaultWelcomeMessage();

 private:
  // The settings of a section that sets nothing (port -1: the default port).
  TServerSettings DefaultSettings(int32_t port) const;
  void StartTransport();
  void ReleaseTransport();
  void LogStopException(const std::exception& e) const;

  TServerManager& Manager;
  bool ChannelsStored = false;  // by the stop under way
};

// The administration interfaces as the manager sees them: started at the
// end of a startup, stopped in two steps around the servers' stop.
class TAdministration {
 public:
  virtual ~TAdministration() = default;
  // Starts what the manager's configuration enables. Every interface that
  // reads or changes server settings shares settingsLock.
  virtual void Start(TServerManager& manager, std::shared_mutex& settingsLock,
                     const std::string& documentRoot) = 0;
  // Before the servers stop: what reads them without the settings lock.
  virtual void StopBeforeServers() = 0;
  // After the servers stopped and the database closed: the rest.
  virtual void StopAfterServers() = 0;
};

using TServerList = std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>>;

class TServerManager {
 public:
  TServerManager();
  ~TServerManager();
  TServerManager(const TServerManager&) = delete;
  TServerManager& operator=(const TServerManager&) = delete;

  // Brings the server up; true when it runs. May raise.
  bool Startup();
  // Stops everything in order and releases the log last.
  void Shutdown();

  // The registry of running servers, at most one per section name.
  bool RegisterServer(const std::shared_ptr<TServerObject>& server);
  void UnregisterServer(const TServerObject* server);
  std::shared_ptr<TServerObject> FindServerByName(const std::string& sectionName);
  std::shared_ptr<TServerObject> FindServerByPort(int32_t port);
  TServerList ServerList();
  // Empty name: every server. Walks the registry from last to first.
  void RestartServers(const std::string& sectionName);
  void StopServers(const std::string& sectionName);
  // Sets (or creates) the account "admin" of a server with privileges 9.
  void SetAdminPassword(const std::string& sectionName, const std::string& password);

  // The administration interfaces that startup starts (none until set).
  void SetAdministration(std::unique_ptr<TAdministration> administration);
  TAdministration* Administration() const { return AdminServices.get(); }

  // The database, open for the life of the process once started.
  TZeveVira* Database() const { return ServerDatabase.get(); }
  // Lets tests run servers on a database of their own.
  void SetDatabase(std::unique_ptr<TZeveVira> database);

  TMainConfig MainConfig;
  TWebPostConfig WebPost;
  // Pause before the final log lines of a shutdown.
  int ShutdownWaitMs = 5000;
  // The event loops the servers' transports live on (null: the process's).
  TEventLoopPool* LoopPool = nullptr;
  // Called about once a second while startup starts servers (the daemon
  // tells its waiting parent that the start goes on).
  std::function<void()> StartProgress;

  // The server list's built-in address: none in this system, so a fresh
  // installation announces itself to no list until the operator sets one.
  static std::string BuiltInListAddress() { return ""; }
  // Follows the version numbers in the log and in what clients are told.
  static std::string PlatformText() { return "Linux"; }

 private:
  // Re-entered: a restart registers the server again under it.
  TRecursiveMutex RegistryLock;
  std::vector<std::shared_ptr<TServerObject>> Registry VX_GUARDED_BY(RegistryLock);
  std::unique_ptr<TZeveVira> ServerDatabase;
  std::unique_ptr<TAdministration> AdminServices;
  // Held shared by the interfaces while they read server settings and
  // exclusively while they change, restart or stop servers; taken before
  // the registry lock.
  std::shared_mutex SettingsLock;
};

// The process's one server manager.
TServerManager& ServerManager();

// A password of the given length drawn from "a".."z" and "1".."0" with the
// operating system's random source.
std::string RandomPassword(size_t length);

}  // namespace vx
