// The attacker's side of the hostile scenarios: UDP sockets bound to
// loopback addresses of their own that send login requests and never answer
// anything, counting what they sent and what came back, and a thread that
// sends such requests at a steady rate spread over many of them.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientPackets.h"

namespace vx::hostile {

struct TSourceCounts {
  uint64_t Requests = 0;
  uint64_t BytesSent = 0;
  uint64_t Replies = 0;  // login replies
  uint64_t ReplyBytes = 0;
  uint64_t OtherBytes = 0;  // everything else: notices, resends, pongs
  uint64_t OtherDatagrams = 0;
  // Login results of the replies (1, -1, -2, ...), counted by result.
  std::vector<std::pair<int32_t, uint64_t>> Results;

  void CountResult(int32_t result, uint64_t count = 1);
};

// One socket bound to localAddress (port chosen by the system) that talks
// to the server without ever acknowledging.
class TFloodSource {
 public:
  TFloodSource(const std::string& localAddress, const sockaddr_in& server);
  ~TFloodSource();
  TFloodSource(const TFloodSource&) = delete;
  TFloodSource& operator=(const TFloodSource&) = delete;

  void SendLogin(const client::TLoginRequest& request);
  // Reads every datagram that has arrived, without waiting; returns the
  // number of login replies among them.
  size_t Drain();

  int Fd() const { return Socket; }
  const std::string& Address() const { return LocalAddress; }
  TSourceCounts Counts;

 private:
  std::string LocalAddress;
  sockaddr_in Server{};
  int Socket = -1;
};

// The n-th loopback address of the flood: 127.0.1.1, 127.0.1.2, ...
// 127.0.1.250, 127.0.2.1 ... (the real clients use 127.0.0.1).
std::string FloodAddress(size_t n);
sockaddr_in ServerAddress(const std::string& host, uint16_t port);

// Sends never-completed login requests with fresh nicknames at a rate,
// taking turns over its sources, on a thread of its own; reads their
// answers meanwhile and for a while after the sending stops.
class TLoginFlood {
 public:
  TLoginFlood(const sockaddr_in& server, size_t addresses);
  ~TLoginFlood();
  TLoginFlood(const TLoginFlood&) = delete;
  TLoginFlood& operator=(const TLoginFlood&) = delete;

  // Sends for sendMs, then only reads until lingerMs later.
  void Start(double requestsPerSecond, int sendMs, int lingerMs);
  void Join();
  // Valid after Join.
  const std::vector<std::unique_ptr<TFloodSource>>& Sources() const { return Flood; }
  TSourceCounts Total() const;

 private:
  void Run(double requestsPerSecond, int sendMs, int lingerMs);

  std::vector<std::unique_ptr<TFloodSource>> Flood;
  std::thread Worker;
};

}  // namespace vx::hostile
