#include "admin/webpost_u.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "common/TextTools.h"
#include "domain/channelobject_u.h"
#include "host/TimeTools.h"
#include "server/serverobject_u.h"

namespace vx {

TWebPost::TWebPost(TServerManager& manager, const TWebPostProxy& proxy) : Manager(manager) {
  Client.BoundIp = manager.MainConfig.BoundToIp;
  Client.Proxy.Enabled = proxy.UseProxy;
  Client.Proxy.Host = proxy.ProxyHost;
  Client.Proxy.Port = uint16_t(std::clamp(proxy.ProxyPort, 0, 65535));
  Client.Proxy.User = proxy.ProxyUser;
  Client.Proxy.Password = proxy.ProxyPassword;
}

TWebPost::~TWebPost() {
  Stop();
}

void TWebPost::Start() {
  if (Thread.joinable() || Terminated()) return;
  Thread = std::thread([this] { Execute(); });
}

void TWebPost::Terminate() {
  {
    std::scoped_lock guard(WaitLock);
    TerminateFlag = true;
  }
  WaitSignal.notify_all();
  Client.Cancel();
}

void TWebPost::WaitFor() {
  if (Thread.joinable() && Thread.get_id() != std::this_thread::get_id()) Thread.join();
}

void TWebPost::Execute() {
  while (!Terminated()) {
    if (!Wait()) break;
    try {
      PostingRound();
    } catch (...) {
      // A failed round changes nothing; the next one comes after the waits.
    }
    if (!Wait()) break;
  }
}

bool TWebPost::Wait() {
  const auto step = std::chrono::milliseconds(std::max<int64_t>(StepMs, 1));
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
  std::unique_lock guard(WaitLock);
  for (;;) {
    if (TerminateFlag) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    WaitSignal.wait_for(guard, std::min<std::chrono::steady_clock::duration>(step, end - now),
                        [this] { return TerminateFlag.load(); });
  }
}

void TWebPost::PostTo(const std::string& url, const THttpFormFields& fields) {
  try {
    Client.PostForm(url, fields);
  } catch (...) {
    // Lists come and go; a request that fails is not worth a log line.
  }
}

void TWebPost::PostingRound() {
  const std::string builtIn = TrimText(TServerManager::BuiltInListAddress());
  for (const auto& entry : Manager.ServerList()) {
    if (Terminated()) return;
    try {
      const std::string& configName = entry.first;
      const THttpFormFields fields = ServerFields(configName);
      // A server stopped since the snapshot is not announced any more.
      if (fields.empty()) continue;
      std::vector<std::string> posted;
      const auto postOnce = [&](const std::string& url) {
        if (url.empty() || std::find(posted.begin(), posted.end(), url) != posted.end()) return;
        posted.push_back(url);
        PostTo(url, fields);
      };
      postOnce(builtIn);
      postOnce(TrimText(Manager.WebPost.PostURL));
      if (const auto server = Manager.FindServerByName(configName)) {
        postOnce(TrimText(server->Settings()->WebPost_LinkURL));
      }
    } catch (...) {
      // One server's failure leaves the others to be posted.
    }
  }
}

THttpFormFields TWebPost::ServerFields(const std::string& configName) {
  std::shared_lock<std::shared_mutex> settings;
  if (SettingsLock != nullptr) settings = std::shared_lock(*SettingsLock);
  const std::shared_ptr<TServerObject> server = Manager.FindServerByName(configName);
  if (!server) return {};

  size_t players = 0;
  size_t channels = 0;
  {
    // The stop of a server releases its channel tree under the player list
    // lock, so both counts are read under it (and the tree under its own).
    TLockGuard<TMutex> guard(server->Players.Lock);
    players = server->Players.Items.size();
    if (server->Channels) {
      TLockGuard<TChannels> channelGuard(*server->Channels);
      channels = server->Channels->Count();
    }
  }
  const double seconds = (TDateTime::Now().Value - server->StartTime.Value) * 86400.0;
  const int64_t uptime = seconds > 0 ? int64_t(std::floor(seconds)) : 0;
  const TWebPostConfig& webPost = Manager.WebPost;
  const auto values = server->Settings();

  return {
      {"server_adminemail", webPost.AdminEmail},
      {"server_isplinkurl", webPost.ISPLinkURL},
      {"server_ispname", webPost.ISPName},
      {"server_ispcountry", webPost.ISPCountry},
      {"server_platform", values->ServerPlatform},
      {"server_version_major", std::to_string(values->VersionMajor)},
      {"server_version_minor", std::to_string(values->VersionMinor)},
      {"server_version_release", std::to_string(values->VersionRelease)},
      {"server_version_build", std::to_string(values->VersionBuild)},
      {"server_port", std::to_string(values->ServerUDPPort)},
      {"server_name", values->ServerName},
      {"server_uptime", std::to_string(uptime)},
      {"server_password", values->ServerPassword.empty() ? "0" : "1"},
      {"server_type1", (values->ServerType & SERVERTYPE_CLAN) != 0 ? "clan" : "public"},
      // Bit 0x04, set on every running server, marks the freeware edition.
      {"server_type2", (values->ServerType & SERVERTYPE_RUNNING) != 0 ? "freeware" : "commercial"},
      {"clients_current", std::to_string(players)},
      {"clients_maximum", std::to_string(values->ServerMaxUsers)},
      {"channels_current", std::to_string(channels)},
      {"server_linkurl", values->WebPost_LinkURL},
      {"server_queryport", std::to_string(Manager.MainConfig.TCPQueryPort)},
  };
}

}  // namespace vx
