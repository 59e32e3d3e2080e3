// The reliable delivery of one client connection: sequence numbers,
// acknowledgements, the ordered delivery of commands, the one command in
// flight and its resend timing, round-trip samples, losses, silence, and the
// four outgoing queues with their priorities. A plain object without lock or
// thread: the connection buffer works on it under its own lock, and tests
// drive it on its own with a clock they move.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/Packets.h"
#include "host/TimeTools.h"
#include "transport/FIFOList.h"

namespace vx {

enum TConnectionState : uint8_t { csLogin, csConnected, csClosing, csClosed };

// Silence allowed per connection state, in ms.
struct TConnectionTimeouts {
  int32_t LoginTimeout = 2000;
  int32_t ConnectedTimeout = 15000;
  int32_t ClosingTimeout = 2000;
};

using TPacketFIFO = TFIFOList<TPacket>;

// What became of a received datagram. Every refusal leaves the datagram to
// the caller, who drops it; the texts are those of the protocol's errors.
enum class TIntakeResult : uint8_t {
  Accepted,             // delivered, answered, acknowledged or counted
  Repeated,             // a command repeat or a late maintenance packet: dropped
  NoConnection,         // no connection with this player id: dropped quietly
  ListenerBusy,         // the listener's queue is full: dropped unacknowledged
  Invalid,              // "Invalid Packet"
  ServerToClient,       // "S2C recv on Server"
  WrongConnection,      // "wrong Connection + player combo"
  AfterClose,           // "recv data after close"
  CommandWhileClosing,  // "recv command while closing."
  VoiceDuringLogin,     // "Recv voice data during login"
};
constexpr size_t IntakeResultCount = size_t(TIntakeResult::VoiceDuringLogin) + 1;
const char* IntakeResultText(TIntakeResult result);

// What became of a packet handed over to be sent.
enum class TQueueResult : uint8_t {
  Queued,
  NoConnection,       // no connection with this player id: dropped
  Closing,            // "Sending packet to closing or closed connection"
  VoiceNotConnected,  // "Sending voice packet to pre connected, closing or closed connection"
  InvalidClass,       // "Invalid packet on buffer"
  Overflow,           // a queue of the connection is full: the connection is dropped
};
constexpr size_t QueueResultCount = size_t(TQueueResult::Overflow) + 1;
const char* QueueResultText(TQueueResult result);

// Side effects of a call that the buffer's schedule follows.
struct TConnectionEffects {
  bool Deliver = false;         // the received packet goes to the listener
  bool Received = false;        // a packet restarted the silence clock
  bool StateChanged = false;    // the state or the close request changed
  bool SilenceEarlier = false;  // the silence deadline may have moved earlier
  uint32_t CreditDrops = 0;     // packets not sent for want of credit
  uint32_t StaleVoice = 0;      // voice packets dropped for their age
  uint32_t Resends = 0;         // pending commands sent again
};

// Aligned to the cache line, so that what queueing and sending touch first
// lies in as few lines as possible.
class alignas(64) TSingleConnection {
 public:
  static constexpr int RttRingSize = 16;
  static constexpr int64_t TimerBound = 120000;  // bound of the timer readings, ms
  // A voice packet that waited longer than this in the queue is worthless
  // to its listener and dropped.
  static constexpr uint32_t VoiceMaxAgeMs = 100;
  // Voice from a client that waited longer than this in the socket before
  // the server read it is dropped on arrival; with VoiceMaxAgeMs this bounds
  // how late a relayed frame can be.
  static constexpr uint32_t VoiceMaxWaitMs = 40;

  TSingleConnection(uint32_t playerID, uint32_t connectionID, uint32_t peerAddress,
                    uint16_t peerPort, uint32_t firstMaintenanceSequence,
                    const TConnectionTimeouts& timeouts);
  TSingleConnection(const TSingleConnection&) = delete;
  TSingleConnection& operator=(const TSingleConnection&) = delete;

  // A datagram of this connection's player id, of a class other than the
  // connectionless login request. Accepted with fx.Deliver: the caller
  // hands it to the listener; otherwise the caller drops it. canDeliver
  // false (the listener's queue is full) refuses commands that would be
  // delivered, unacknowledged, and voice.
  TIntakeResult Receive(std::unique_ptr<TPacket>& packet, TPacketClass cls, bool canDeliver,
                        TConnectionEffects& fx);

  // Queues a packet for sending; Overflow marks the connection overflowed.
  // msNow stamps voice packets for their age limit.
  TQueueResult Queue(std::unique_ptr<TPacket>& packet, bool closeAfter, uint32_t msNow,
                     TConnectionEffects& fx);
  // Closes once what is queued has left (a close request without a packet).
  void Close(TConnectionEffects& fx);

  // Whether NextPacket has something to send now, the pending command's
  // resend aside (see ResendDue).
  bool HasSendable() const;
  // The next packet to send, by priority (ack, resend or next command,
  // voice, maintenance); stamped, sealed and addressed. Null when nothing
  // goes out now.
  std::unique_ptr<TPacket> NextPacket(const TDefaultPerformanceTime& now, uint32_t msNow,
                                      TConnectionEffects& fx);
  // The pending command's resend interval has passed (restarts the resend
  // timer when the clock jumped).
  bool ResendElapsed(const TDefaultPerformanceTime& now);
  // ms until the pending command is due again (0 when due).
  int32_t ResendWait(const TDefaultPerformanceTime& now);

  // The silence check: the event to report (reTimeout or reClosed) is
  // returned through closed/timedOut; otherwise the ms left until the
  // silence limit. A closing connection silent for ClosingTimeout enters
  // csClosed here.
  int32_t CheckSilence(const TDefaultPerformanceTime& now, bool& closed, bool& timedOut);

  // Stores a round-trip sample and recomputes AveragePing and ResendTimeout
  // (rounded to nearest, halves to even; ResendTimeout at least 10 ms).
  void AddRttSample(int32_t valueMs);
  // Silence allowed in the current state (csClosed: none, returns 0); a
  // requested close allows ClosingTimeout, an overflowed connection none.
  int32_t SilenceLimit() const;
  // csClosing, or a close requested that waits for queued commands: silence
  // of ClosingTimeout closes the connection.
  bool Closing() const { return State == csClosing || CloseRequested; }
  // Spends credit for bytes sent to a peer that has not yet shown it
  // receives what is sent to it; false when that would go beyond three
  // times what the peer sent.
  bool SpendCredit(size_t bytes);
  // Restarts the timers that lie in the future (the clock went back).
  void GuardClock(const TDefaultPerformanceTime& now);
  // Sets the three silence limits.
  void SetTimeouts(const TConnectionTimeouts& timeouts);
  // Packet loss in hundredths of a percent.
  uint16_t PacketLoss() const;
  // Asks the processor to fetch what queueing and sending a packet read.
  void Prefetch() const {
    const char* p = reinterpret_cast<const char*>(this);
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
    __builtin_prefetch(p + 128);
  }
  // Latest start of any of its timers (the buffer watches the clock with it).
  double LatestStart() const { return LatestTimerStart; }

  // Fields are grouped by use, a cache line each: what queueing a voice
  // packet touches (line 0), what sending one touches besides (line 1), the
  // other queues (line 2), then what receiving touches, then the rest.
  uint32_t PlayerID;
  uint32_t ConnectionID;
  uint32_t PeerAddress;  // IPv4, network byte order
  uint16_t PeerPort;
  TConnectionState State = csLogin;
  // Close requested (Queue with closeAfter) while commands were still
  // queued: the connection enters csClosing when the last queued command
  // becomes the pending one. Until then Queue refuses packets as closing,
  // and ClosingTimeout of silence closes it as in csClosing.
  bool CloseRequested = false;
  bool ResendDue = false;  // found due by the schedule, not yet resent
  // A queue overflowed: the peer does not take what it is sent. Nothing more
  // is queued for it and it is reported as timed out.
  bool Overflowed = false;
  // Its time-out or close has been reported; until a packet revives it,
  // it waits for its removal and is not reported again.
  bool Reported = false;
  // A packet carrying the connection's id came from the peer, so the peer
  // receives what is sent to it. Until then what is sent to it (but the
  // login reply) is limited to Credit bytes.
  bool Validated = true;
  uint32_t VoiceSendCounter = 0;
  TPacketFIFO VoiceQueue{16, 16, 1024};
  size_t Slot = 0;  // position in the buffer's slot table

  std::unique_ptr<TPacket> PendingCommand;
 private:
  double LatestTimerStart = 0;

 public:
  int32_t ResendHeapIndex = -1;  // position in the buffer's resend heap
  uint32_t PacketsSent = 0;
  TPacketFIFO AckQueue{16, 16, 1024};
  int64_t BytesSent = 0;

  TPacketFIFO CommandQueue{16, 16, 1024};
  TPacketFIFO MaintenanceQueue{16, 16, 1024};

  TDefaultPerformanceTime LastReceiveTimer;
  uint32_t PacketsReceived = 0;
  int32_t SilenceHeapIndex = -1;  // position in the buffer's silence heap
  int64_t BytesReceived = 0;
  int64_t PacketsLost = 0;
  uint32_t CommandExpected = 1;
  uint32_t VoiceExpected = 1;
  uint32_t MaintenanceExpected;
  uint32_t MaintenanceSendSequence;
  int32_t ClosingTimeout;
  int32_t LoginTimeout;
  int32_t ConnectedTimeout;
  uint32_t CommandSendSequence = 0;
  int64_t Credit = 0;

  TDefaultPerformanceTime PendingSentTimer;
  TDefaultPerformanceTime ResendTimer;
  int32_t ResendTimeout = 0;
  std::array<int32_t, RttRingSize> RttSamples{};
  int32_t RttIndex = 0;
  int32_t AveragePing = 0;
  TDefaultPerformanceTime PingTimer;
  TSingleConnection* OlderSamePlayer = nullptr;  // next older connection with this PlayerID

 private:
  void Restart(TDefaultPerformanceTime& timer);
  void RequestClose(TConnectionEffects& fx);
  void EnterClosing(TConnectionEffects& fx);
  void EnterClosed(TConnectionEffects& fx);
  std::unique_ptr<TPacket> NextPacketOnce(const TDefaultPerformanceTime& now, uint32_t msNow,
                                          TConnectionEffects& fx);
  TIntakeResult ReceiveAck(TPacket& p, TConnectionEffects& fx);
  TIntakeResult ReceiveMaintenance(std::unique_ptr<TPacket>& packet);
};

}  // namespace vx
