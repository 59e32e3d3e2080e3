// The administration interfaces of the process (web interface, query port,
// server list poster, monitoring endpoint), handed to the server manager by
// the program's entry: the manager starts them at the end of its startup
// and stops them at shutdown without knowing what they are.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>

#include "server/serverobject_u.h"

namespace vx {

class TWebInterface;
class TTCPQuery;
class TWebPost;
class TMetrics;

class TAdminServices final : public TAdministration {
 public:
  TAdminServices();
  ~TAdminServices() override;
  TAdminServices(const TAdminServices&) = delete;
  TAdminServices& operator=(const TAdminServices&) = delete;

  void Start(TServerManager& manager, std::shared_mutex& settingsLock,
             const std::string& documentRoot) override;
  void StopBeforeServers() override;
  void StopAfterServers() override;

  // Each null where the last startup did not create it.
  TWebInterface* WebInterfaceObject() const { return WebInterface.get(); }
  TTCPQuery* TCPQueryObject() const { return TCPQuery.get(); }
  TWebPost* WebPostObject() const { return WebPostThread.get(); }
  TMetrics* MetricsObject() const { return Metrics.get(); }

 private:
  std::unique_ptr<TWebInterface> WebInterface;
  std::unique_ptr<TTCPQuery> TCPQuery;
  std::unique_ptr<TWebPost> WebPostThread;
  std::unique_ptr<TMetrics> Metrics;
};

// Gives the manager the administration interfaces; the manager owns them.
TAdminServices& InstallAdministration(TServerManager& manager);

}  // namespace vx
