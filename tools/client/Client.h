// A blocking/polling protocol client over one UDP socket: logs in to a
// virtual server, walks the login steps, exchanges reliable commands and
// voice frames, pings while idle, and quits. It records every datagram it
// receives and sends, so tests can check exact bytes. Every wait has a
// time-out; nothing here runs a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ClientSession.h"
#include "common/Packets.h"

namespace vx::client {

struct TClientSettings {
  TSessionSettings Session;
  size_t MaxLogEntries = 65536;  // later datagrams are not recorded
};

// One recorded datagram.
struct TLogEntry {
  bool Outgoing = false;
  TPacketClass Class = TPacketClass::None;
  // Command code, maintenance type or voice target; 0 for an ack, -1 for a
  // datagram of no class.
  int32_t Code = -1;
  bool Valid = false;  // class and, where the class has one, checksum
  int64_t TimeMs = 0;  // milliseconds since the client was created
  std::vector<uint8_t> Bytes;
};

class TClient {
 public:
  // Datagrams are read into a buffer of this size; longer ones are cut.
  static constexpr size_t ReceiveBufferSize = 8192;

  explicit TClient(TClientSettings settings = {});
  ~TClient();
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  // Opens a UDP socket towards an IPv4 host (dotted or a name) and port;
  // EClient when that fails.
  void Open(const std::string& host, uint16_t port);
  void Close();
  bool IsOpen() const { return Socket >= 0; }
  uint16_t LocalPort() const;

  // Sends the login request and waits for the reply. An accepting reply
  // starts the session with the ids it carries. Nothing on a time-out.
  std::optional<TLoginReply> Login(const TLoginRequest& request, int timeoutMs);
  // Sends CMD_cs_LoginStep3 and collects the channels and players until
  // CMD_sc_LoginStep6 arrives; false on a time-out. Other commands that
  // arrive meanwhile stay queued for NextCommand and WaitCommand.
  bool EnterServer(const TLoginStep3& step3, int timeoutMs);
  const std::vector<TChannelEntry>& Channels() const { return ChannelList; }
  const std::vector<TPlayerEntry>& Players() const { return PlayerList; }

  // Queues a command for reliable delivery and sends it when it is its turn.
  void SendCommand(TPacket command);
  void SendCommand(int16_t code, std::span<const uint8_t> payload = {});
  // Waits until every own command is acknowledged.
  bool WaitCommandsAcked(int timeoutMs);
  // The oldest delivered command, or the oldest with the code (the others
  // stay queued), waiting at most timeoutMs.
  std::optional<TPacket> NextCommand(int timeoutMs);
  std::optional<TPacket> WaitCommand(int16_t code, int timeoutMs);

  // Sends a voice frame with the next voice counter; returns the counter.
  uint16_t SendVoice(const TVoiceFrame& frame);
  std::optional<TReceivedVoice> WaitVoice(int timeoutMs);

  // Sends CMD_cs_PlayerQuit and waits for the notice of the own departure,
  // which closes the connection on the server; acknowledges it and ends the
  // session. False on a time-out.
  bool Quit(int timeoutMs);

  // Sends arbitrary bytes as one datagram, outside the session.
  void SendRaw(std::span<const uint8_t> bytes);

  // One step: sends what is due, waits at most timeoutMs (less when the
  // session needs to send earlier) for datagrams, takes them in, and sends
  // the answers.
  void Pump(int timeoutMs);
  // Pumps until done() holds or timeoutMs has passed; done() is tested first.
  bool WaitFor(const std::function<bool()>& done, int timeoutMs);

  const std::vector<TLogEntry>& Log() const { return Records; }
  void ClearLog() { Records.clear(); }
  TClientSession& Session() { return Connection; }
  const std::optional<TLoginReply>& LastLoginReply() const { return LoginReply; }
  // Milliseconds since the client was created.
  int64_t NowMs() const;

 private:
  void Take(TPacket packet);
  void Flush();
  void Transmit(const TPacket& packet);
  void Record(const TPacket& packet, bool outgoing);
  void RequireOpen() const;

  TClientSettings Settings;
  TClientSession Connection;
  int Socket = -1;
  int64_t Epoch = 0;
  bool AwaitingLoginReply = false;
  std::optional<TLoginReply> LoginReply;
  std::vector<TChannelEntry> ChannelList;
  std::vector<TPlayerEntry> PlayerList;
  std::vector<TLogEntry> Records;
  std::vector<uint8_t> ReceiveBuffer;
  std::vector<TPacket> Outgoing;
};

}  // namespace vx::client
