// The server list poster: a thread that announces every virtual server of
// the process to web server lists with an HTTP form post, 150 seconds after
// start and every 300 seconds after that.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "net/HttpClient.h"

namespace vx {

class TServerManager;

// The poster's proxy use; the server always runs without one.
struct TWebPostProxy {
  bool UseProxy = false;
  std::string ProxyHost;
  int32_t ProxyPort = 8080;
  std::string ProxyUser;
  std::string ProxyPassword;
};

class TWebPost {
 public:
  TWebPost(TServerManager& manager, const TWebPostProxy& proxy = {});
  ~TWebPost();  // stops the thread
  TWebPost(const TWebPost&) = delete;
  TWebPost& operator=(const TWebPost&) = delete;

  // Starts the thread (once).
  void Start();
  // Asks the thread to end: a wait ends at the next step, a request in
  // flight is abandoned at once.
  void Terminate();
  // Waits for the thread to end.
  void WaitFor();
  void Stop() {
    Terminate();
    WaitFor();
  }
  bool Terminated() const { return TerminateFlag.load(); }

  // One posting round: every registered server, in registry order, to the
  // built-in list address, to "PostURL" and to its own "WebPost_LinkURL".
  // Request failures are swallowed. Runs on the caller's thread.
  void PostingRound();
  // The form fields of the registered server with that section name;
  // empty when no such server is registered.
  THttpFormFields ServerFields(const std::string& configName);

  // The wait before and after each round, and the step in which a wait
  // checks for a stop request. Set them before Start.
  int64_t WaitMs = 150 * 1000;
  int64_t StepMs = 250;
  // Connect and read time-outs of the requests, the local address of the
  // connections ("BoundToIp" at creation) and the proxy; set before Start.
  THttpClient Client;
  // When set, held shared while a server's settings are read, so that an
  // interface that changes or restarts servers under it exclusively (the
  // query port's ServerLock) never changes them under the reader.
  std::shared_mutex* SettingsLock = nullptr;

 private:
  void Execute();
  // Waits WaitMs in steps of StepMs; false when a stop request ended it.
  bool Wait();
  void PostTo(const std::string& url, const THttpFormFields& fields);

  TServerManager& Manager;
  std::thread Thread;
  std::mutex WaitLock;
  std::condition_variable WaitSignal;
  std::atomic<bool> TerminateFlag{false};
};

}  // namespace vx
