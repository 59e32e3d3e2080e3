#include "admin/administration_u.h"

#include "admin/metrics_u.h"
#include "admin/tcpquery_u.h"
#include "admin/webinterface_u.h"
#include "admin/webpost_u.h"
#include "host/logdebug.h"

namespace vx {

TAdminServices::TAdminServices() = default;
TAdminServices::~TAdminServices() = default;

void TAdminServices::Start(TServerManager& manager, std::shared_mutex& settingsLock,
                           const std::string& documentRoot) {
  // Every interface that reads or changes server settings shares one lock;
  // they start in the order web interface, query port, poster.
  TMainConfig& config = manager.MainConfig;
  if (config.HTTPServerEnabled && config.HTTPServerPort > 0) {
    WebInterface = std::make_unique<TWebInterface>(manager);
    WebInterface->SetSettingsLock(&settingsLock);
    if (!WebInterface->Start(config.HTTPServerPort, documentRoot, config.BoundToIp)) {
      Log(LMTWARNING, LMDIMPORTANT, "SERVER",
          "Start_Vorlantix_Server: cant initialise WebInterface");
      WebInterface.reset();
      config.HTTPServerEnabled = false;
    }
  }
  if (config.TCPQueryPort > 0) {
    TCPQuery = std::make_unique<TTCPQuery>(manager);
    TCPQuery->SetServerLock(settingsLock);
    if (!TCPQuery->Start(config.TCPQueryPort, config.BoundToIp)) TCPQuery.reset();
  }
  if (manager.WebPost.Enabled) {
    WebPostThread = std::make_unique<TWebPost>(manager, TWebPostProxy{});
    WebPostThread->SettingsLock = &settingsLock;
    WebPostThread->Start();
  }
  if (config.MetricsPort > 0) {
    Metrics = std::make_unique<TMetrics>(manager);
    Metrics->SettingsLock = &settingsLock;
    if (!Metrics->Start(config.MetricsPort, config.BoundToIp)) {
      Log(LMTWARNING, LMDIMPORTANT, "SERVER", "Start_Vorlantix_Server: cant initialise Metrics");
      Metrics.reset();
    }
  }
}

void TAdminServices::StopBeforeServers() {
  Metrics.reset();
}

void TAdminServices::StopAfterServers() {
  WebInterface.reset();
  if (WebPostThread) {
    WebPostThread->Terminate();
    WebPostThread->WaitFor();
    WebPostThread.reset();
  }
  TCPQuery.reset();
}

TAdminServices& InstallAdministration(TServerManager& manager) {
  auto services = std::make_unique<TAdminServices>();
  TAdminServices& installed = *services;
  manager.SetAdministration(std::move(services));
  return installed;
}

}  // namespace vx
