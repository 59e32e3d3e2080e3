// The server manager, which brings the whole server up and down and keeps the
// registry of running virtual servers, and the virtual server object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ThreadSafety.h"
#include "host/TimeTools.h"
#include "transport/udplistener_u.h"

namespace vx {

class TIniFile;
class TCustomPacketBuffer;
class TServerTransport;
class TEventLoopPool;
class TWebInterface;
class TTCPQuery;
class TWebPost;
class TMetrics;
class TZeveVira;
class TServerManager;

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

// ServerType bits.
constexpr uint16_t SERVERTYPE_CLAN = 0x01;
constexpr uint16_t SERVERTYPE_PUBLIC = 0x02;
constexpr uint16_t SERVERTYPE_RUNNING = 0x04;
constexpr uint16_t SERVERTYPE_CLEARED = 0x08;
// ServerFlags bits.
constexpr uint16_t SERVERFLAG_ANYONE_REGISTERS = 0x01;
constexpr uint16_t SERVERFLAG_ANYONE_CREATES_CHANNELS = 0x02;

constexpr int32_t DefaultServerUDPPort = 8767;

// One virtual server: its settings from its own section of the configuration
// file, and (once started) its threads and socket.
class TServerObject : public std::enable_shared_from_this<TServerObject> {
 public:
  explicit TServerObject(TServerManager& manager);
  ~TServerObject();
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

  // Codec of new channels: the last permitted one in the order 0, 4, 1, 2, 3;
  // -1 when none is permitted.
  int DefaultCodec() const;

  std::string ConfigName;

  // The server record that the protocol threads work on.
  std::string SectionName;  // text 29
  int32_t ServerUDPPort = DefaultServerUDPPort;
  std::string ServerName;      // text 29
  std::string ServerPlatform;  // text 29
  uint16_t VersionMajor = 0, VersionMinor = 0, VersionRelease = 0, VersionBuild = 0;
  uint16_t ServerType = 1;
  std::string ServerWelcomeMessage;  // text 255
  bool AllowCodecCelp51 = true;
  bool AllowCodecCelp63 = true;
  bool AllowCodecGSM148 = true;
  bool AllowCodecGSM164 = true;
  bool AllowCodecWindowsCELP52 = true;
  uint16_t ServerMaxUsers = 12;
  std::string ServerPassword;  // text 29
  uint16_t ServerFlags = 2;
  TDateTime StartTime;
  std::string WebPost_LinkURL;  // text 255
  int32_t NextPlayerID = 1;

  // Transport of a started server; all empty while stopped.
  std::unique_ptr<TCustomPacketBuffer> PacketBuffer;
  std::unique_ptr<TVXUDPListener> Listener;
  std::unique_ptr<TServerTransport> Transport;
  TLockedPlayerList Players;
  // The channel tree; its lock is taken after the player list's lock.
  std::unique_ptr<TChannels> Channels;
  // Longest wait, in 1 ms rounds, for the connections to close at stop.
  int StopDrainRounds = 350;

  // The process's database (null when none is open).
  TZeveVira* Database() const;

  static std::string DefaultWelcomeMessage();

 private:
  void SetDefaults(int32_t port);
  void StartTransport();
  void ReleaseTransport();
  void LogStopException(const std::exception& e) const;

  TServerManager& Manager;
  bool ChannelsStored = false;  // by the stop under way
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

  // The administration objects, null where startup did not create them.
  TWebInterface* WebInterfaceObject() const { return WebInterface.get(); }
  TTCPQuery* TCPQueryObject() const { return TCPQuery.get(); }
  TWebPost* WebPostObject() const { return WebPostThread.get(); }
  TMetrics* MetricsObject() const { return Metrics.get(); }

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
  // Web interface, query port and server list poster, as configured.
  void StartAdministration(const std::string& documentRoot);

  // Re-entered: a restart registers the server again under it.
  TRecursiveMutex RegistryLock;
  std::vector<std::shared_ptr<TServerObject>> Registry VX_GUARDED_BY(RegistryLock);
  std::unique_ptr<TZeveVira> ServerDatabase;
  // The administration objects, each absent until startup creates it.
  std::unique_ptr<TWebInterface> WebInterface;
  std::unique_ptr<TTCPQuery> TCPQuery;
  std::unique_ptr<TWebPost> WebPostThread;
  std::unique_ptr<TMetrics> Metrics;
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
