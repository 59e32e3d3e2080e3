#include "vxhostile/HostileFlood.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "client/ClientSession.h"

namespace vx::hostile {

namespace {

using TClock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  throw client::EClient(what + ": " + std::strerror(errno));
}

}  // namespace

void TSourceCounts::CountResult(int32_t result, uint64_t count) {
  for (auto& [r, n] : Results) {
    if (r == result) {
      n += count;
      return;
    }
  }
  Results.emplace_back(result, count);
}

std::string FloodAddress(size_t n) {
  return "127.0." + std::to_string(1 + n / 250) + "." + std::to_string(1 + n % 250);
}

sockaddr_in ServerAddress(const std::string& host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
    throw client::EClient("Not an IPv4 address: " + host);
  return a;
}

TFloodSource::TFloodSource(const std::string& localAddress, const sockaddr_in& server)
    : LocalAddress(localAddress), Server(server) {
  Socket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Socket < 0) Fail("Cannot create a UDP socket");
  sockaddr_in local = ServerAddress(localAddress, 0);
  if (bind(Socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    close(Socket);
    Fail("Cannot bind to " + localAddress);
  }
  // Room for what the server sends while this thread is busy sending.
  const int size = 1 << 20;
  setsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

TFloodSource::~TFloodSource() {
  close(Socket);
}

void TFloodSource::SendLogin(const client::TLoginRequest& request) {
  const TPacket p =
      client::EncodeLoginRequest(request, client::TClientSession::LoginRequestSequence);
  const ssize_t n = sendto(Socket, p.Data(), p.Size(), 0,
                           reinterpret_cast<const sockaddr*>(&Server), sizeof Server);
  if (n < 0) return;  // a full socket buffer: the request was never sent
  ++Counts.Requests;
  Counts.BytesSent += uint64_t(n);
}

size_t TFloodSource::Drain() {
  uint8_t buffer[8192];
  size_t replies = 0;
  for (;;) {
    const ssize_t n = recv(Socket, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR || errno == ECONNREFUSED) continue;
      return replies;
    }
    const TPacket p(buffer, size_t(n));
    if (auto reply = client::DecodeLoginReply(p)) {
      ++Counts.Replies;
      Counts.ReplyBytes += uint64_t(n);
      Counts.CountResult(reply->Result);
      ++replies;
    } else {
      ++Counts.OtherDatagrams;
      Counts.OtherBytes += uint64_t(n);
    }
  }
}

TLoginFlood::TLoginFlood(const sockaddr_in& server, size_t addresses) {
  for (size_t i = 0; i < addresses; ++i)
    Flood.push_back(std::make_unique<TFloodSource>(FloodAddress(i), server));
}

TLoginFlood::~TLoginFlood() {
  Join();
}

void TLoginFlood::Start(double requestsPerSecond, int sendMs, int lingerMs) {
  Join();
  Worker = std::thread([=, this] { Run(requestsPerSecond, sendMs, lingerMs); });
}

void TLoginFlood::Join() {
  if (Worker.joinable()) Worker.join();
}

void TLoginFlood::Run(double requestsPerSecond, int sendMs, int lingerMs) {
  const auto start = TClock::now();
  const auto sendEnd = start + std::chrono::milliseconds(sendMs);
  const auto end = sendEnd + std::chrono::milliseconds(lingerMs);
  std::vector<pollfd> fds;
  for (const auto& s : Flood) fds.push_back({s->Fd(), POLLIN, 0});
  client::TLoginRequest request;
  uint64_t sent = 0;
  for (auto now = start; now < end; now = TClock::now()) {
    if (now < sendEnd) {
      const double elapsed = std::chrono::duration<double>(now - start).count();
      // Requests due by now; a stall is not made up in one burst.
      const auto due = uint64_t(elapsed * requestsPerSecond);
      if (due > sent + 64) sent = due - 64;
      for (; sent < due; ++sent) {
        request.NickName = "flood" + std::to_string(sent);
        Flood[sent % Flood.size()]->SendLogin(request);
      }
    }
    if (poll(fds.data(), fds.size(), 1) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & POLLIN) Flood[i]->Drain();
    }
  }
  for (const auto& s : Flood) s->Drain();
}

TSourceCounts TLoginFlood::Total() const {
  TSourceCounts t;
  for (const auto& s : Flood) {
    const TSourceCounts& c = s->Counts;
    t.Requests += c.Requests;
    t.BytesSent += c.BytesSent;
    t.Replies += c.Replies;
    t.ReplyBytes += c.ReplyBytes;
    t.OtherBytes += c.OtherBytes;
    t.OtherDatagrams += c.OtherDatagrams;
    for (const auto& [r, n] : c.Results) t.CountResult(r, n);
  }
  return t;
}

}  // namespace vx::hostile
