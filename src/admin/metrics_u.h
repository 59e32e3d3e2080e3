// The monitoring endpoint: a small HTTP listener of its own ("Metrics Port"
// in "Main Config", off by default) that answers "/metrics" with the
// figures of every running virtual server and of the process, in the
// Prometheus text format.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include "net/HttpServer.h"

namespace vx {

class TServerManager;

class TMetrics {
 public:
  explicit TMetrics(TServerManager& manager);
  ~TMetrics();  // stops the listener
  TMetrics(const TMetrics&) = delete;
  TMetrics& operator=(const TMetrics&) = delete;

  // Listens on the port (0: any free port) and address (empty: every
  // address). False when it cannot.
  bool Start(int32_t port, const std::string& bindAddress);
  void Stop();
  uint16_t BoundPort() const;

  // When set, held shared while the servers are read, so that a restart
  // under it never swaps a server's parts under the reader.
  std::shared_mutex* SettingsLock = nullptr;

  // The page: every figure with its help and type lines.
  std::string Render();

 private:
  TServerManager& Manager;
  std::unique_ptr<THTTPServer> Server;
};

}  // namespace vx
