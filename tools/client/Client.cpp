#include "client/Client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/ByteOrder.h"

namespace vx::client {

namespace {

// Datagrams taken in by one Pump at most, so a flood cannot hold it forever.
constexpr int MaxDatagramsPerPump = 256;

int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TClient::TClient(TClientSettings settings)
    : Settings(settings),
      Connection(settings.Session),
      Epoch(SteadyMs()),
      ReceiveBuffer(ReceiveBufferSize) {}

TClient::~TClient() {
  Close();
}

int64_t TClient::NowMs() const {
  return SteadyMs() - Epoch;
}

void TClient::Open(const std::string& host, uint16_t port) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) throw EClient("Unknown host " + host + ": " + gai_strerror(rc));
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof address));
  freeaddrinfo(found);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);

  Socket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Socket < 0) throw EClient(std::string("Cannot create a UDP socket: ") + strerror(errno));
  // A connected socket only takes datagrams from the server's address.
  if (connect(Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const std::string reason = strerror(errno);
    Close();
    throw EClient("Cannot address " + host + ": " + reason);
  }
}

void TClient::Close() {
  if (Socket >= 0) close(Socket);
  Socket = -1;
}

uint16_t TClient::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (Socket < 0 || getsockname(Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

void TClient::RequireOpen() const {
  if (Socket < 0) throw EClient("The client is not open");
}

std::optional<TLoginReply> TClient::Login(const TLoginRequest& request, int timeoutMs) {
  RequireOpen();
  Connection.Stop();
  LoginReply.reset();
  AwaitingLoginReply = true;
  Transmit(EncodeLoginRequest(request, TClientSession::LoginRequestSequence));
  WaitFor([this] { return LoginReply.has_value(); }, timeoutMs);
  AwaitingLoginReply = false;
  return LoginReply;
}

bool TClient::EnterServer(const TLoginStep3& step3, int timeoutMs) {
  ChannelList.clear();
  PlayerList.clear();
  SendCommand(EncodeLoginStep3(step3));
  bool complete = false;
  auto collect = [&] {
    // Take the login steps in the order they arrived, leaving others queued.
    auto& delivered = Connection.Delivered();
    for (auto it = delivered.begin(); it != delivered.end() && !complete;) {
      if (DecodeLoginStep4(*it, ChannelList) || DecodeLoginStep5(*it, PlayerList)) {
        it = delivered.erase(it);
      } else if (CommandCode(*it) == cmd::CMD_sc_LoginStep6) {
        delivered.erase(it);
        complete = true;
      } else {
        ++it;
      }
    }
    return complete;
  };
  return WaitFor(collect, timeoutMs);
}

void TClient::SendCommand(TPacket command) {
  RequireOpen();
  if (!Connection.Active()) throw EClient("Not logged in");
  Connection.QueueCommand(std::move(command));
  Flush();
}

void TClient::SendCommand(int16_t code, std::span<const uint8_t> payload) {
  SendCommand(MakeCommand(code, payload));
}

bool TClient::WaitCommandsAcked(int timeoutMs) {
  return WaitFor([this] { return Connection.CommandsIdle(); }, timeoutMs);
}

std::optional<TPacket> TClient::NextCommand(int timeoutMs) {
  std::optional<TPacket> command;
  WaitFor([&] { return (command = Connection.TakeCommand()).has_value(); }, timeoutMs);
  return command;
}

std::optional<TPacket> TClient::WaitCommand(int16_t code, int timeoutMs) {
  std::optional<TPacket> command;
  WaitFor([&] { return (command = Connection.TakeCommand(code)).has_value(); }, timeoutMs);
  return command;
}

uint16_t TClient::SendVoice(const TVoiceFrame& frame) {
  RequireOpen();
  if (!Connection.Active()) throw EClient("Not logged in");
  const uint16_t counter = Connection.NextVoiceCounter();
  Transmit(EncodeVoice(frame, Connection.ConnectionID(), Connection.PlayerID(), counter));
  Connection.NoteSent(NowMs());
  return counter;
}

std::optional<TReceivedVoice> TClient::WaitVoice(int timeoutMs) {
  std::optional<TReceivedVoice> voice;
  WaitFor([&] { return (voice = Connection.TakeVoice()).has_value(); }, timeoutMs);
  return voice;
}

bool TClient::Quit(int timeoutMs) {
  if (!IsOpen() || !Connection.Active()) return false;
  SendCommand(MakeCommand(cmd::CMD_cs_PlayerQuit));
  const uint32_t self = Connection.PlayerID();
  auto departed = [&] {
    auto& delivered = Connection.Delivered();
    for (auto it = delivered.begin(); it != delivered.end(); ++it) {
      if (CommandCode(*it) == cmd::CMD_sc_NotifyPlayerLeftScope && NotifiedPlayerID(*it) == self) {
        delivered.erase(it);
        return true;
      }
    }
    return false;
  };
  // The notice's acknowledgement goes out within the Pump that took it in.
  const bool closed = WaitFor(departed, timeoutMs);
  Connection.Stop();
  return closed;
}

void TClient::SendRaw(std::span<const uint8_t> bytes) {
  RequireOpen();
  Transmit(TPacket(bytes.data(), bytes.size()));
}

void TClient::Pump(int timeoutMs) {
  RequireOpen();
  Flush();
  const int64_t wait =
      std::clamp<int64_t>(Connection.NextDueMs(NowMs()), 0, std::max(timeoutMs, 0));
  pollfd descriptor{Socket, POLLIN, 0};
  if (poll(&descriptor, 1, int(wait)) > 0) {
    for (int i = 0; i < MaxDatagramsPerPump; ++i) {
      const ssize_t n = recv(Socket, ReceiveBuffer.data(), ReceiveBuffer.size(), MSG_TRUNC);
      if (n < 0) {
        // A refused earlier send is reported once; the next read goes on.
        if (errno == EINTR || errno == ECONNREFUSED) continue;
        break;
      }
      Take(TPacket(ReceiveBuffer.data(), std::min(size_t(n), ReceiveBuffer.size())));
    }
  }
  Flush();
}

bool TClient::WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const int64_t deadline = NowMs() + std::max(timeoutMs, 0);
  while (!done()) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    Pump(int(left));
  }
  return true;
}

void TClient::Take(TPacket packet) {
  Record(packet, false);
  if (AwaitingLoginReply) {
    if (auto reply = DecodeLoginReply(packet)) {
      LoginReply = reply;
      AwaitingLoginReply = false;
      if (reply->Result == LOGIN_ACCEPTED)
        Connection.Start(reply->ConnectionID, reply->PlayerID, NowMs());
      return;
    }
  }
  Connection.Receive(packet, NowMs());
}

void TClient::Flush() {
  if (Socket < 0) return;
  Outgoing.clear();
  Connection.Poll(NowMs(), Outgoing);
  for (const TPacket& packet : Outgoing) Transmit(packet);
}

void TClient::Transmit(const TPacket& packet) {
  Record(packet, true);
  // A lost datagram is the protocol's business: commands are resent, the
  // rest is sent once. A refused one is therefore not an error here.
  [[maybe_unused]] const ssize_t sent = send(Socket, packet.Data(), packet.Size(), 0);
}

void TClient::Record(const TPacket& packet, bool outgoing) {
  if (Records.size() >= Settings.MaxLogEntries) return;
  TLogEntry& entry = Records.emplace_back();
  entry.Outgoing = outgoing;
  entry.Class = packet.Class();
  entry.Valid = packet.IsValid();
  entry.TimeMs = NowMs();
  entry.Bytes.assign(packet.Data(), packet.Data() + packet.Size());
  const uint8_t* p = packet.Data();
  switch (entry.Class) {
    case TPacketClass::Command:
      entry.Code = CommandCode(packet);
      break;
    case TPacketClass::Maintenance:
      entry.Code = MaintenanceType(packet);
      break;
    case TPacketClass::VoiceC2S:
    case TPacketClass::VoiceS2C:
      entry.Code = p[2];
      break;
    case TPacketClass::Ack:
      entry.Code = 0;
      break;
    case TPacketClass::None:
      entry.Code = -1;
      break;
  }
}

}  // namespace vx::client
