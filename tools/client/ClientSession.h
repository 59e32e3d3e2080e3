// The client's half of one connection, without a socket and without a
// clock: every call is given the time in milliseconds, incoming datagrams are
// handed in, and what must go out is collected by Poll.
//
// - Received commands are acknowledged (ResendCount and Sequence copied) and
//   delivered once and in order; repeats and strays are acknowledged and
//   dropped.
// - Own commands get a per-connection Sequence from 1; one is unacknowledged
//   at a time and is sent again with ResendCount raised by 1 after
//   ResendTimeoutMs until its acknowledgement arrives.
// - A MAINT_PING goes out after PingIntervalMs without sending anything, or
//   after PingIntervalMs without receiving anything when no ping went out for
//   as long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "client/ClientPackets.h"
#include "common/Packets.h"

namespace vx::client {

struct TSessionSettings {
  int32_t ResendTimeoutMs = 250;
  int32_t PingIntervalMs = 3000;
  size_t MaxQueuedCommands = 1024;  // own commands waiting to be sent
  size_t MaxDelivered = 4096;       // received commands and voice not yet taken
};

// What Receive made of a datagram.
enum class TReceiveKind {
  Rejected,     // no class, bad checksum, foreign ids, or no session yet
  Ack,          // an acknowledgement (of the pending command or a stray one)
  Command,      // a new command, acknowledged and delivered
  Repeat,       // a repeated or out-of-order command, acknowledged and dropped
  Voice,        // a relayed voice frame, delivered
  Pong,         // the answer to the last ping
  Maintenance,  // any other maintenance packet, ignored
};

struct TSessionCounters {
  uint64_t Rejected = 0;
  uint64_t AcksReceived = 0;  // acknowledgements of the pending command
  uint64_t CommandsReceived = 0;
  uint64_t Repeats = 0;
  uint64_t Dropped = 0;  // commands or voice lost to a full delivery queue
  uint64_t CommandsSent = 0;
  uint64_t Resends = 0;
  uint64_t PingsSent = 0;
  uint64_t Pongs = 0;
  int64_t LastRoundTripMs = -1;
};

class TClientSession {
 public:
  // The maintenance sequence of the login request.
  static constexpr uint32_t LoginRequestSequence = 1;

  explicit TClientSession(TSessionSettings settings = {}) : Settings(settings) {}

  TSessionSettings Settings;

  // Starts the connection with the ids of an accepted login.
  void Start(uint32_t connectionID, uint32_t playerID, int64_t nowMs);
  // Ends it: nothing is sent or accepted any more.
  void Stop();
  bool Active() const { return IsActive; }
  uint32_t ConnectionID() const { return OwnConnectionID; }
  uint32_t PlayerID() const { return OwnPlayerID; }

  // Takes one datagram from the server.
  TReceiveKind Receive(const TPacket& packet, int64_t nowMs);

  // Queues an own command (from MakeCommand or an encoder); the ids,
  // Sequence, ResendCount and checksum are written when it goes out. EClient
  // when the queue is full or the packet is no command.
  void QueueCommand(TPacket command);
  // Appends to out what must be sent now: acknowledgements, a due resend or
  // the next command, a due ping.
  void Poll(int64_t nowMs, std::vector<TPacket>& out);
  // Milliseconds until Poll has something to send (0 = now); capped at 1000.
  int64_t NextDueMs(int64_t nowMs) const;
  // Tells the session that something else (voice) was sent.
  void NoteSent(int64_t nowMs) { LastSendMs = nowMs; }
  // The VoiceCounter for the next own voice frame: 1, 2, ... 65534, 0, 1 ...
  uint16_t NextVoiceCounter();

  // True when every own command has been sent and acknowledged.
  bool CommandsIdle() const { return !Pending && CommandQueue.empty(); }
  uint32_t LastCommandSequence() const { return CommandSendSequence; }
  uint32_t LastMaintenanceSequence() const { return MaintenanceSendSequence; }

  // Delivered commands, oldest first. TakeCommand with a code takes the
  // oldest of that code and leaves the others in place.
  std::deque<TPacket>& Delivered() { return DeliveredCommands; }
  std::optional<TPacket> TakeCommand();
  std::optional<TPacket> TakeCommand(int16_t code);
  std::optional<TReceivedVoice> TakeVoice();

  const TSessionCounters& Counters() const { return Stats; }

 private:
  bool PingDue(int64_t nowMs) const;

  bool IsActive = false;
  uint32_t OwnConnectionID = 0;
  uint32_t OwnPlayerID = 0;

  uint32_t CommandSendSequence = 0;
  uint32_t CommandExpected = 1;
  uint32_t MaintenanceSendSequence = LoginRequestSequence;
  uint16_t VoiceCounter = 0;

  std::deque<TPacket> CommandQueue;
  std::optional<TPacket> Pending;
  int64_t LastTransmitMs = 0;
  std::vector<TPacket> Outbox;

  int64_t LastSendMs = 0;
  int64_t LastReceiveMs = 0;
  int64_t LastPingMs = 0;
  bool PingOutstanding = false;

  std::deque<TPacket> DeliveredCommands;
  std::deque<TReceivedVoice> DeliveredVoice;
  TSessionCounters Stats;
};

}  // namespace vx::client
