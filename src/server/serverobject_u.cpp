#include "server/serverobject_u.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "common/Exceptions.h"
#include "common/TextN.h"
#include "common/TextTools.h"
#include "domain/channelobject_u.h"
#include "domain/clientobject_u.h"
#include "domain/scopenotify_u.h"
#include "domain/udplistener_u.h"
#include "domain/zevevira_channels_u.h"
#include "domain/zevevira_users_u.h"
#include "host/CommandLine.h"
#include "host/FileTools.h"
#include "host/IniFile.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "host/zevevira_writer_u.h"
#include "transport/PacketBuffers.h"
#include "transport/ServerTransport.h"
#include "transport/udpsocket_u.h"

namespace vx {

namespace {
constexpr const char* MainConfigSection = "Main Config";
constexpr const char* WebPostSection = "WebPost";
constexpr const char* DefaultServerSection = "server_cfg Default";
constexpr uint16_t AdminPrivileges = 9;
// The generated administrator password: 16 characters of 36, about 83 bits.
constexpr size_t AdminPasswordLength = 16;

std::string ReadTrimmed(const TIniFile& ini, const char* section, const char* key,
                        const std::string& def, size_t maxLength) {
  return CutText(TrimText(ini.ReadString(section, key, def)), maxLength);
}

void LogConfigOpenFailure(const std::string& path) {
  Log(LMTERROR, LMDALL, "SERVER", "unable to open server config file : " + path);
}
}  // namespace

void ReadMainConfig(const TIniFile& ini, TMainConfig& main, TWebPostConfig& webPost) {
  main.HTTPServerPort = ini.ReadInteger(MainConfigSection, "HTTPServer Port", main.HTTPServerPort);
  main.HTTPServerEnabled =
      ini.ReadBool(MainConfigSection, "HTTPServer Enabled", main.HTTPServerEnabled);
  main.ExternalIPDectection =
      ini.ReadBool(MainConfigSection, "ExternalIPDectection", main.ExternalIPDectection);
  main.DateTimeFormat = ini.ReadString(MainConfigSection, "DateTimeFormat", main.DateTimeFormat);
  main.TCPQueryPort = ini.ReadInteger(MainConfigSection, "TCPQueryPort", main.TCPQueryPort);
  main.BoundToIp = TrimText(ini.ReadString(MainConfigSection, "BoundToIp", main.BoundToIp));
  main.MetricsPort = ini.ReadInteger(MainConfigSection, "Metrics Port", main.MetricsPort);

  webPost.AdminEmail = ReadTrimmed(ini, WebPostSection, "AdminEmail", webPost.AdminEmail, 255);
  webPost.ISPLinkURL = ReadTrimmed(ini, WebPostSection, "ISPLinkURL", webPost.ISPLinkURL, 255);
  webPost.ISPName = ReadTrimmed(ini, WebPostSection, "ISPName", webPost.ISPName, 29);
  webPost.ISPCountry = ReadTrimmed(ini, WebPostSection, "ISPCountry", webPost.ISPCountry, 29);
  webPost.Enabled = ini.ReadBool(WebPostSection, "Enabled", webPost.Enabled);
  webPost.PostURL = ReadTrimmed(ini, WebPostSection, "PostURL", webPost.PostURL, 255);
}

void WriteMainConfig(TIniFile& ini, const TMainConfig& main, const TWebPostConfig& webPost) {
  ini.WriteInteger(MainConfigSection, "HTTPServer Port", main.HTTPServerPort);
  ini.WriteBool(MainConfigSection, "HTTPServer Enabled", main.HTTPServerEnabled);
  ini.WriteBool(MainConfigSection, "ExternalIPDectection", main.ExternalIPDectection);
  ini.WriteString(MainConfigSection, "DateTimeFormat", main.DateTimeFormat);
  ini.WriteInteger(MainConfigSection, "TCPQueryPort", main.TCPQueryPort);
  ini.WriteString(MainConfigSection, "BoundToIp", main.BoundToIp);
  ini.WriteInteger(MainConfigSection, "Metrics Port", main.MetricsPort);

  ini.WriteString(WebPostSection, "AdminEmail", webPost.AdminEmail);
  ini.WriteString(WebPostSection, "ISPLinkURL", webPost.ISPLinkURL);
  ini.WriteString(WebPostSection, "ISPName", webPost.ISPName);
  ini.WriteString(WebPostSection, "ISPCountry", webPost.ISPCountry);
  ini.WriteBool(WebPostSection, "Enabled", webPost.Enabled);
  ini.WriteString(WebPostSection, "PostURL", webPost.PostURL);
}

std::string RandomPassword(size_t length) {
  static constexpr char Alphabet[] = "abcdefghijklmnopqrstuvwxyz1234567890";
  std::string password;
  while (password.size() < length) {
    uint8_t byte = 0;
    if (getrandom(&byte, 1, 0) != 1) {
      if (errno == EINTR) continue;
      throw Exception("no random source for the administrator password");
    }
    // 252 = 7 * 36: taking only bytes below it keeps every character equally likely.
    if (byte < 252) password += Alphabet[byte % 36];
  }
  return password;
}

// ---------------------------------------------------------------------------
// TServerObject

TServerObject::TServerObject(TServerManager& manager) : Manager(manager) {}
TServerObject::~TServerObject() {
  ReleaseTransport();
}

std::string TServerObject::DefaultWelcomeMessage() {
  // The project's public address: players cannot reach the administration
  // port, and operators are told to set a message of their own.
  return "[Welcome to Vorlantix, check https://vorlantix.org/]";
}

TServerSettings TServerObject::DefaultSettings(int32_t port) const {
  TServerSettings d;
  d.SectionName = CutText(ConfigName, 29);
  d.ServerPlatform = CutText(TServerManager::PlatformText(), 29);
  d.VersionMajor = ProgramVersionMajor;
  d.VersionMinor = ProgramVersionMinor;
  d.VersionRelease = ProgramVersionRelease;
  d.VersionBuild = ProgramVersionBuild;
  d.ServerName = "Vorlantix Server";
  d.ServerType = 1;
  d.ServerWelcomeMessage = DefaultWelcomeMessage();
  d.ServerMaxUsers = 12;
  d.ServerUDPPort = port == -1 ? DefaultServerUDPPort : port;
  d.ServerFlags = 2;
  return d;
}

bool TServerObject::LoadSettings(const TIniFile& ini, int32_t port) {
  NextPlayerID = 1;
  StartTime = TDateTime::Now();
  TServerSettings d = DefaultSettings(port);
  const std::string& s = ConfigName;
  d.ServerName = CutText(ini.ReadString(s, "ServerName", d.ServerName), 29);
  d.ServerType = uint16_t(ini.ReadInteger(s, "ServerType", d.ServerType));
  d.ServerWelcomeMessage =
      CutText(ini.ReadString(s, "ServerWelcomeMessage", d.ServerWelcomeMessage), 255);
  const int32_t maxUsers = ini.ReadInteger(s, "ServerMaxUsers", d.ServerMaxUsers);
  d.ServerUDPPort = ini.ReadInteger(s, "ServerUDPPort", d.ServerUDPPort);
  d.ServerPassword = CutText(ini.ReadString(s, "ServerPassword", d.ServerPassword), 29);
  d.ServerFlags = uint16_t(ini.ReadInteger(s, "ServerFlags", d.ServerFlags));
  d.AllowCodecCelp51 = ini.ReadBool(s, "AllowCodecCelp51", d.AllowCodecCelp51);
  d.AllowCodecCelp63 = ini.ReadBool(s, "AllowCodecCelp63", d.AllowCodecCelp63);
  d.AllowCodecGSM148 = ini.ReadBool(s, "AllowCodecGSM148", d.AllowCodecGSM148);
  d.AllowCodecGSM164 = ini.ReadBool(s, "AllowCodecGSM164", d.AllowCodecGSM164);
  d.AllowCodecWindowsCELP52 = ini.ReadBool(s, "AllowCodecWindowsCELP52", d.AllowCodecWindowsCELP52);
  d.WebPost_LinkURL = CutText(ini.ReadString(s, "WebPost_LinkURL", d.WebPost_LinkURL), 255);
  if (maxUsers < 0 || maxUsers > 65535) {
    ReplaceSettings(std::make_shared<const TServerSettings>(std::move(d)));
    LogFmt(LMTERROR, LMDALL, "SERVER",
           "server %1: ServerMaxUsers %2 is out of range (0 to 65535), server not started",
           {ConfigName, maxUsers});
    return false;
  }
  d.ServerMaxUsers = uint16_t(maxUsers);
  ReplaceSettings(std::make_shared<const TServerSettings>(std::move(d)));
  return true;
}

void TServerObject::SaveSettings(TIniFile* ini, bool save) {
  std::unique_ptr<TIniFile> own;
  if (ini == nullptr) {
    own = std::make_unique<TIniFile>(ProcessSettings().IniPath);
    if (!own->Load()) {
      LogConfigOpenFailure(own->FileName());
      return;
    }
    ini = own.get();
  }
  const auto d = Settings();
  const std::string& s = ConfigName;
  ini->WriteString(s, "ServerName", d->ServerName);
  ini->WriteInteger(s, "ServerType", d->ServerType);
  ini->WriteString(s, "ServerWelcomeMessage", d->ServerWelcomeMessage);
  ini->WriteInteger(s, "ServerMaxUsers", d->ServerMaxUsers);
  ini->WriteInteger(s, "ServerUDPPort", d->ServerUDPPort);
  ini->WriteString(s, "ServerPassword", d->ServerPassword);
  ini->WriteInteger(s, "ServerFlags", d->ServerFlags);
  ini->WriteBool(s, "AllowCodecCelp51", d->AllowCodecCelp51);
  ini->WriteBool(s, "AllowCodecCelp63", d->AllowCodecCelp63);
  ini->WriteBool(s, "AllowCodecGSM148", d->AllowCodecGSM148);
  ini->WriteBool(s, "AllowCodecGSM164", d->AllowCodecGSM164);
  ini->WriteBool(s, "AllowCodecWindowsCELP52", d->AllowCodecWindowsCELP52);
  ini->WriteString(s, "WebPost_LinkURL", d->WebPost_LinkURL);
  if (save && !ini->Save()) LogConfigOpenFailure(ini->FileName());
}

bool TServerObject::Start(const std::string& sectionName, int32_t port, TIniFile* ini,
                          bool saveIni) {
  ConfigName = sectionName;
  if (!Manager.RegisterServer(shared_from_this())) {
    Log(LMTERROR, LMDALL, "SERVER", "unable to register server");
    return false;
  }
  std::unique_ptr<TIniFile> own;
  if (ini == nullptr) {
    own = std::make_unique<TIniFile>(ProcessSettings().IniPath);
    if (!own->Load()) {
      LogConfigOpenFailure(own->FileName());
      Manager.UnregisterServer(this);
      return false;
    }
    ini = own.get();
  }
  if (!LoadSettings(*ini, port)) {
    Manager.UnregisterServer(this);
    return false;
  }
  const int32_t udpPort = Settings()->ServerUDPPort;
  LogFmt(LMTALL, LMDINFO, "server", "Starting server with port: %1", {udpPort});
  SaveSettings(ini, saveIni || own != nullptr);
  own.reset();
  // The file keeps the type as read; the running value always has 0x04.
  EditSettings([](TServerSettings& s) {
    s.ServerType =
        uint16_t((s.ServerType & ~(SERVERTYPE_RUNNING | SERVERTYPE_CLEARED)) | SERVERTYPE_RUNNING);
  });
  try {
    StartTransport();
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, "SERVER",
        "can not initialise udp communication with port " + std::to_string(udpPort));
    // The system's reason: the port taken, the address not this machine's, ...
    LogFmt(LMTERROR, LMDALL, "SERVER", "udp port %1: %2", {udpPort, e.what()});
    ReleaseTransport();
    Manager.UnregisterServer(this);
    return false;
  }
  return true;
}

TZeveVira* TServerObject::Database() const {
  return Manager.Database();
}

void TServerObject::StartTransport() {
  ChannelsStored = false;
  {
    TLockGuard<TMutex> guard(Players.Lock);
    Players.Items.clear();
    Players.Changed();
    // Readers take the player list's lock before they look at the channels.
    Channels = std::make_unique<TChannels>(ConfigName);
    Channels->SetDefaultCodec(DefaultCodec());
    TLockGuard<TChannels> channels(*Channels);
    if (TZeveVira* db = Database()) {
      LoadChannels(*Channels, *db, ConfigName);
    } else {
      Channels->CreateDefaultChannel();
    }
  }
  PacketBuffer = std::make_unique<TCustomPacketBuffer>();
  Listener = std::make_unique<TVXUDPListener>(*this);
  Transport = std::make_unique<TServerTransport>(*PacketBuffer, *Listener);
  const int32_t udpPort = Settings()->ServerUDPPort;
  if (udpPort < 0 || udpPort > 65535) throw EUDPSocket("port out of range");
  TEventLoopPool& loops = Manager.LoopPool ? *Manager.LoopPool : TEventLoopPool::Shared();
  Transport->Start(uint16_t(udpPort), Manager.MainConfig.BoundToIp, loops.Pick());
}

// Leaves the event loop, closes the socket and releases the buffer, in an
// order that never leaves work running on something already released.
void TServerObject::ReleaseTransport() {
  if (Transport) Transport->Stop();
  if (PacketBuffer) PacketBuffer->Shutdown();
  // Saves handed over by this server's handlers answer through its buffer
  // and players: they complete before those go.
  if (TZeveVira* db = Database()) db->Writer().Sync();
  Transport.reset();
  Listener.reset();
  PacketBuffer.reset();
  TLockGuard<TMutex> guard(Players.Lock);
  Players.Items.clear();
  Players.Changed();
  if (Channels) {
    TLockGuard<TChannels> channels(*Channels);
    Channels->ClearChannels();
  }
  Channels.reset();
}

void TServerObject::Stop() {
  if (!BeginStop()) return;
  for (int i = 0; i < StopDrainRounds && !Drained(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FinishStop();
}

bool TServerObject::BeginStop() {
  if (!PacketBuffer) return false;
  try {
    RemoveAllClients(*this);
  } catch (const std::exception& e) {
    LogStopException(e);
  }
  return true;
}

bool TServerObject::Drained() const {
  return !PacketBuffer || PacketBuffer->ConnectionCount() == 0;
}

void TServerObject::FinishStop() {
  StoreChannels();
  try {
    ReleaseTransport();
  } catch (const std::exception& e) {
    LogStopException(e);
  }
}

void TServerObject::StoreChannels() {
  try {
    if (!PacketBuffer || !Channels || ChannelsStored) return;
    ChannelsStored = true;
    TLockGuard<TChannels> channels(*Channels);
    if (TZeveVira* db = Database()) SaveChannels(*Channels, *db, ConfigName);
  } catch (const std::exception& e) {
    LogStopException(e);
  }
}

void TServerObject::LogStopException(const std::exception& e) const {
  Log(LMTERROR, LMDALL, "SERVER",
      "TServerObject.Stop(" + ConfigName + ") Exception: " + ExceptionClassName(e));
}

// ---------------------------------------------------------------------------
// TServerManager

TServerManager::TServerManager() = default;
TServerManager::~TServerManager() = default;

void TServerManager::SetDatabase(std::unique_ptr<TZeveVira> database) {
  ServerDatabase = std::move(database);
  if (ServerDatabase) ServerDatabase->Writer().Start();
}

bool TServerManager::RegisterServer(const std::shared_ptr<TServerObject>& server) {
  TLockGuard guard(RegistryLock);
  for (const auto& s : Registry) {
    if (s->ConfigName == server->ConfigName) return false;
  }
  Registry.push_back(server);
  return true;
}

void TServerManager::UnregisterServer(const TServerObject* server) {
  TLockGuard guard(RegistryLock);
  std::erase_if(Registry, [server](const auto& s) { return s.get() == server; });
}

std::shared_ptr<TServerObject> TServerManager::FindServerByName(const std::string& sectionName) {
  TLockGuard guard(RegistryLock);
  for (const auto& s : Registry) {
    if (s->ConfigName == sectionName) return s;
  }
  return nullptr;
}

std::shared_ptr<TServerObject> TServerManager::FindServerByPort(int32_t port) {
  TLockGuard guard(RegistryLock);
  for (const auto& s : Registry) {
    if (s->Settings()->ServerUDPPort == port) return s;
  }
  return nullptr;
}

TServerList TServerManager::ServerList() {
  TLockGuard guard(RegistryLock);
  TServerList list;
  list.reserve(Registry.size());
  for (const auto& s : Registry) list.emplace_back(s->ConfigName, s);
  return list;
}

void TServerManager::RestartServers(const std::string& sectionName) {
  TLockGuard guard(RegistryLock);
  for (size_t i = Registry.size(); i-- > 0;) {
    if (i >= Registry.size()) continue;
    std::shared_ptr<TServerObject> server = Registry[i];
    if (!sectionName.empty() && server->ConfigName != sectionName) continue;
    server->Stop();
    UnregisterServer(server.get());
    server->Start(server->ConfigName, -1, nullptr);
    if (!sectionName.empty()) break;
  }
}

void TServerManager::StopServers(const std::string& sectionName) {
  TLockGuard guard(RegistryLock);
  if (sectionName.empty()) {
    // All of them together: every player is told at once, the connections
    // of all servers drain in the same wait, then each server is released,
    // from last to first.
    std::vector<std::shared_ptr<TServerObject>> stopping;
    for (size_t i = Registry.size(); i-- > 0;) {
      if (Registry[i]->BeginStop()) stopping.push_back(Registry[i]);
    }
    const int rounds = stopping.empty() ? 0 : stopping.front()->StopDrainRounds;
    for (int i = 0; i < rounds; ++i) {
      if (std::all_of(stopping.begin(), stopping.end(), [](auto& s) { return s->Drained(); }))
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The channel saves of all servers go to disk together.
    for (auto& server : stopping) server->StoreChannels();
    if (ServerDatabase) ServerDatabase->Writer().Sync();
    for (size_t i = Registry.size(); i-- > 0;) {
      if (i >= Registry.size()) continue;
      std::shared_ptr<TServerObject> server = Registry[i];
      server->FinishStop();
      UnregisterServer(server.get());
    }
    return;
  }
  for (size_t i = Registry.size(); i-- > 0;) {
    if (i >= Registry.size()) continue;
    std::shared_ptr<TServerObject> server = Registry[i];
    if (!sectionName.empty() && server->ConfigName != sectionName) continue;
    server->Stop();
    UnregisterServer(server.get());
    if (!sectionName.empty()) break;
  }
}

void TServerManager::SetAdminPassword(const std::string& sectionName, const std::string& password) {
  if (!ServerDatabase) return;
  TZeveViraUsers users(*ServerDatabase);
  if (auto admin = users.GetUser(sectionName, "admin", false)) {
    admin->Priviliges = AdminPrivileges;
    admin->LogInPassWord = CutText(password, 29);
    users.StoreUser(sectionName, *admin);
    return;
  }
  TClientObject admin;
  admin.LogInName = "admin";
  admin.NickName = "admin";
  admin.Priviliges = AdminPrivileges;
  admin.RegisteredBy = "Server";
  admin.LogInPassWord = CutText(password, 29);
  users.AddUser(sectionName, admin);
}

bool TServerManager::Startup() {
  // Read the command line again, so that a restart of the manager sees it.
  TCommandLine& settings = ProcessSettings();
  settings = TCommandLine{};
  ParseCommandLine(ProcessArguments(), settings);
  ApplyDefaultPaths(settings, CurrentDirectory(), InstalledHttpDocs());

  CreateLogFile(settings.LogPath, settings.IniPath);
  Log(LMTALL, LMDINFO, "server", "Server startup initialized");
  Log(LMTALL, LMDINFO, "server",
      "Server version: " + VersionText() + " " + PlatformText() + "\r\nOK");

  ServerDatabase.reset();

  // A save that a crash interrupted leaves its temporary file behind.
  for (const std::string* path : {&settings.IniPath, &settings.DatabasePath}) {
    for (const std::string& removed : RemoveStaleTempFiles(*path)) {
      LogFmt(LMTWARNING, LMDINFO, "SERVER", "removed the temporary file of an unfinished save: %1",
             {removed});
    }
  }

  TIniFile ini(settings.IniPath);
  if (!ini.Load()) {
    LogFmt(LMTERROR, LMDALL, "SERVER",
           "Start_Vorlantix_Server: unable to open server config file: %1 ", {settings.IniPath});
    return false;
  }
  MainConfig = TMainConfig{};
  WebPost = TWebPostConfig{};
  try {
    ReadMainConfig(ini, MainConfig, WebPost);
  } catch (const std::exception&) {
    Log(LMTERROR, LMDALL, "SERVER", "Start_Vorlantix_Server: error in config file");
    return false;
  }
  if (TrimText(WebPost.PostURL) == TrimText(BuiltInListAddress())) WebPost.PostURL.clear();
  WriteMainConfig(ini, MainConfig, WebPost);
  if (!ini.Save()) {
    LogFmt(LMTERROR, LMDALL, "SERVER",
           "Start_Vorlantix_Server: unable to open server config file: %1 ", {settings.IniPath});
    return false;
  }

  try {
    auto database = std::make_unique<TZeveVira>();
    database->SetOpenFlag(TFBOpenFlag::CreateNotExists);
    database->SetFileName(settings.DatabasePath);
    database->SetActive(true);
    database->SetDatabaseName("Vorlantix db");
    database->Flush();
    database->Writer().Start();
    ServerDatabase = std::move(database);
  } catch (const std::exception&) {
    LogFmt(LMTERROR, LMDIMPORTANT, "SERVER",
           "Start_Vorlantix_Server: unable to open server db file : %1", {settings.DatabasePath});
    return false;
  }

  bool anyServer = false;
  auto progressAt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (int n = 0;; ++n) {
    const std::string section = ini.ReadString(ServersSection, std::to_string(n), "");
    if (section.empty()) break;
    anyServer = true;
    auto server = std::make_shared<TServerObject>(*this);
    server->Start(section, -1, &ini, false);  // the file is saved once, below
    if (!settings.AdminPassword.empty()) SetAdminPassword(section, settings.AdminPassword);
    if (StartProgress && std::chrono::steady_clock::now() >= progressAt) {
      StartProgress();
      progressAt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }
  }

  if (!anyServer) {
    auto server = std::make_shared<TServerObject>(*this);
    server->Start(DefaultServerSection, -1, &ini);
    ini.WriteString(ServersSection, "0", DefaultServerSection);
    Log(LMTWARNING, LMDINFO, "SERVER", "Default Server created");
    const std::string password = settings.AdminPassword.empty()
                                     ? RandomPassword(AdminPasswordLength)
                                     : CutText(settings.AdminPassword, 29);
    TClientObject admin;
    admin.LogInName = "admin";
    admin.NickName = "admin";
    admin.RegisteredBy = "Server";
    admin.Priviliges = AdminPrivileges;
    admin.LogInPassWord = password;
    TZeveViraUsers(*ServerDatabase).AddUser(DefaultServerSection, admin);
    Log(LMTWARNING, LMDINFO, "SERVER", "Default Administrator account created");
    LogFmt(LMTWARNING, LMDINFO, "SERVER", "LoginName: admin LoginPw: %1", {password});
    ini.Save();
  }

  if (AdminServices) AdminServices->Start(*this, SettingsLock, settings.HttpDocsPath);

  ini.Save();
  Log(LMTALL, LMDINFO, "server", "Server startup finished");
  return true;
}

void TServerManager::SetAdministration(std::unique_ptr<TAdministration> administration) {
  AdminServices = std::move(administration);
}

void TServerManager::Shutdown() {
  Log(LMTALL, LMDINFO, "server", "Server shutdown initialized");
  if (AdminServices) AdminServices->StopBeforeServers();
  {
    // No query or web session reads a server while the servers stop.
    std::unique_lock settings(SettingsLock);
    StopServers("");
  }
  if (ServerDatabase) {
    ServerDatabase->Writer().Commit();  // a failure is logged with its reason
    ServerDatabase->SetActive(false);
    ServerDatabase.reset();
  }
  if (AdminServices) AdminServices->StopAfterServers();
  {
    TLockGuard guard(RegistryLock);
    Registry.clear();
  }
  if (ShutdownWaitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ShutdownWaitMs));
  Log(LMTALL, LMDINFO, "server", "Server shutdown finished");
  ReleaseLogFile();
}

TServerManager& ServerManager() {
  static TServerManager manager;
  return manager;
}

}  // namespace vx
