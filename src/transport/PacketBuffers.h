// TCustomPacketBuffer: the transport core of one virtual server.
// It validates arriving datagrams, matches them to their connection,
// acknowledges, orders and delivers commands, counts losses, answers pings,
// watches connections for silence, queues outgoing packets per connection in
// four priorities, delivers commands reliably (stop-and-wait with adaptive
// retransmission) and hands out the packets to send one connection at a
// time, visiting the connections in turn (singly, or as many as are due at
// once, in the same order).
//
// The designed order and priorities are kept, but no call scans every
// connection: connections are found by PlayerID through a table (a hash map
// for large ids), the
// connections with something to send (and those whose silence deadline has
// passed) are marked in bit sets over their list positions, and resend and
// silence deadlines sit in heaps. PacketBuffers.cpp describes the invariants.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/Exceptions.h"
#include "common/Packets.h"
#include "host/TimeTools.h"
#include "host/events.h"
#include "transport/FIFOList.h"
#include "transport/PacketBuffersIndex.h"
#include "transport/ServerCounters.h"

namespace vx {

class ECustomPacketBuffer : public Exception {
 public:
  using Exception::Exception;
};

enum TConnectionState : uint8_t { csLogin, csConnected, csClosing, csClosed };

enum TReceiveEvent : uint8_t { rePacket, reTimeout, reClosed, reShutdown };

// Silence allowed per connection state, in ms.
struct TConnectionTimeouts {
  int32_t LoginTimeout = 2000;
  int32_t ConnectedTimeout = 15000;
  int32_t ClosingTimeout = 2000;
};

using TPacketFIFO = TFIFOList<TPacket>;

// One client connection. Internal to the buffer: everything goes through
// TCustomPacketBuffer, which holds its lock while it touches a connection.
class TSingleConnection {
 public:
  static constexpr int RttRingSize = 16;

  TSingleConnection(uint32_t playerID, uint32_t connectionID, const std::string& peerIP,
                    uint16_t peerPort, uint32_t firstMaintenanceSequence,
                    const TConnectionTimeouts& timeouts);
  TSingleConnection(const TSingleConnection&) = delete;
  TSingleConnection& operator=(const TSingleConnection&) = delete;

  // Stores a round-trip sample and recomputes AveragePing and ResendTimeout
  // (rounded to nearest, halves to even; ResendTimeout at least 10 ms).
  void AddRttSample(int32_t valueMs);
  // Silence allowed in the current state (csClosed: none, returns 0); a
  // requested close allows ClosingTimeout.
  int32_t SilenceLimit() const;
  // csClosing, or a close requested that waits for queued commands: silence
  // of ClosingTimeout closes the connection.
  bool Closing() const { return State == csClosing || CloseRequested; }

  // Fields are grouped by use: what queueing and sending a packet touch
  // first, then what receiving touches, then the rest.
  uint32_t PlayerID;
  uint32_t ConnectionID;
  std::string PeerIP;
  uint16_t PeerPort;
  TConnectionState State = csLogin;
  // Close requested (SendPacket with CloseAfter) while commands were still
  // queued: the connection enters csClosing when the last queued command
  // becomes the pending one. Until then SendPacket refuses it as closing,
  // and ClosingTimeout of silence closes it as in csClosing.
  bool CloseRequested = false;
  bool ResendDue = false;  // pulled from the resend heap, not yet resent
  size_t Slot = 0;         // position in the buffer's slot table
  std::unique_ptr<TPacket> PendingCommand;
  TPacketFIFO AckQueue{16, 16, 1024};
  TPacketFIFO CommandQueue{16, 16, 1024};
  TPacketFIFO VoiceQueue{16, 16, 1024};
  TPacketFIFO MaintenanceQueue{16, 16, 1024};
  uint32_t CommandSendSequence = 0;
  uint32_t VoiceSendCounter = 0;
  uint32_t PacketsSent = 0;
  int32_t ResendHeapIndex = -1;
  int64_t BytesSent = 0;
  TDefaultPerformanceTime LastSendTimer;

  TDefaultPerformanceTime LastReceiveTimer;
  int32_t SilenceHeapIndex = -1;
  uint32_t PacketsReceived = 0;
  int64_t BytesReceived = 0;
  int64_t PacketsLost = 0;
  uint32_t MaintenanceSendSequence;
  uint32_t CommandExpected = 1;
  uint32_t VoiceExpected = 1;
  uint32_t MaintenanceExpected;

  TDefaultPerformanceTime PendingSentTimer;
  TDefaultPerformanceTime ResendTimer;
  int32_t ResendTimeout = 0;
  std::array<int32_t, RttRingSize> RttSamples{};
  int32_t RttIndex = 0;
  int32_t AveragePing = 0;
  TDefaultPerformanceTime PingTimer;
  int32_t ClosingTimeout;
  int32_t LoginTimeout;
  int32_t ConnectedTimeout;
  TSingleConnection* OlderSamePlayer = nullptr;  // next older connection with this PlayerID
};

// How the tries find work. Indexed is the buffer as used. Literal runs the
// plain design's scans as written, visiting the connections one by one with
// index cursors (shifted on removals so that they keep naming the same
// connection); it exists as the reference that tests compare Indexed with.
enum class TScanMode { Indexed, Literal };

class TCustomPacketBuffer {
 public:
  explicit TCustomPacketBuffer(TScanMode mode = TScanMode::Indexed);
  ~TCustomPacketBuffer();
  TCustomPacketBuffer(const TCustomPacketBuffer&) = delete;
  TCustomPacketBuffer& operator=(const TCustomPacketBuffer&) = delete;

  // Creates a connection in csLogin and appends it to the list.
  void AddConnection(uint32_t playerID, uint32_t connectionID, const std::string& peerIP,
                     uint16_t peerPort, uint32_t firstMaintenanceSequence);
  // Removes and frees the newest connection with this PlayerID with all it
  // holds; unknown ids are ignored.
  void RemoveConnection(uint32_t playerID);

  // Datagram intake. Raises ECustomPacketBuffer (or passes on another error)
  // after discarding the packet.
  void ReceivePacket(std::unique_ptr<TPacket> packet);
  // ReceivePacket for each packet in order under one hold of the lock; the
  // errors of single packets are swallowed (the packet is discarded).
  // Empties packets. With wake false the listener and the sender are not
  // woken for these packets: the caller then tries the turns itself.
  void ReceivePackets(std::vector<std::unique_ptr<TPacket>>& packets, bool wake = true);
  // Queues a packet for its connection. Refused packets are dropped quietly;
  // a full queue raises EFIFOList "Can't allocate needed memory".
  void SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter);
  // SendPacket(packet, false) for each packet in order under one hold of the
  // lock, waking the sender once. A full queue raises after the packets
  // before it were queued. Empties packets.
  void SendPackets(std::vector<std::unique_ptr<TPacket>>& packets);

  // The listener's blocking wait.
  void WaitReceived(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet);
  // The sender's blocking wait: the next packet to transmit, or null once the
  // buffer shuts down.
  std::unique_ptr<TPacket> WaitSend();

  // Turns. Events are handled, and due packets written to the socket, by one
  // thread at a time each, but not always by the same one: a thread that
  // finds a turn free does the work itself instead of waking the listener or
  // the sender (a thread hand-off costs more than the work). Whoever holds a
  // turn takes from the buffer and finishes with what it took before the
  // turn passes on, so events are handled, and datagrams leave, in the
  // designed order. While the receive turn is held the sender is not woken
  // for new packets: the holder tries the send turn after ending it.
  // These calls are not to be mixed with WaitReceived and WaitSend.
  //
  // The listener thread: blocks until it holds the receive turn with an
  // event (the shutdown event too).
  void BeginReceive(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet);
  // Any thread: takes the receive turn with the next event when the turn is
  // free and an event is there; never hands out the shutdown event.
  bool TryBeginReceive(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet);
  // Ends the receive turn.
  void EndReceive();
  // EndReceive, then TryBeginReceive, under one hold of the lock.
  bool ContinueReceive(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet);
  // Wakes the listener thread (a caller that stops handling events while
  // some are left).
  void WakeListener();
  // The sender thread: blocks until it holds the send turn with at least
  // one due packet (up to max in out); 0 once the buffer shuts down.
  size_t BeginSend(std::vector<std::unique_ptr<TPacket>>& out, size_t max);
  // Any thread: takes the send turn with the due packets when it is free.
  bool TryBeginSend(std::vector<std::unique_ptr<TPacket>>& out, size_t max);
  // With the send turn held, after the packets taken were written: the next
  // due packets, or false once none is due and the turn was given up.
  bool ContinueSend(std::vector<std::unique_ptr<TPacket>>& out, size_t max);

  // One try of WaitSend / WaitReceived without blocking (the plain design's "one
  // try"): true with a result, or false with the time in ms the wait would
  // sleep (before its 2 ms margin). Used by the waits and by tests.
  bool TrySend(std::unique_ptr<TPacket>& packet, uint32_t& waitMs);
  bool TryReceive(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet,
                  uint32_t& waitMs);

  // For an unknown id only connectionID (0) and peerIP (empty) are set and
  // false is returned. Figures wider than their output are clamped.
  bool GetConnectionInfo(uint32_t playerID, uint32_t& connectionID, uint32_t& packetsSent,
                         uint32_t& bytesSent, uint32_t& packetsReceived, uint32_t& bytesReceived,
                         std::string& peerIP, uint16_t& peerPort, uint16_t& packetLoss,
                         uint16_t& averagePing) const;
  // Whole-server totals, read without the lock.
  void GetTotals(uint32_t& packetsSent, uint32_t& packetsReceived, int64_t& bytesSent,
                 int64_t& bytesReceived) const;
  int32_t ConnectionCount() const;
  // Dropped datagrams, refused logins and resends, for monitoring.
  TServerCounters Counters;

  void Shutdown();
  bool ShuttingDown() const { return ShuttingDownFlag.load(); }
  // Bit 0: the sender finished, bit 1: the listener finished.
  void ThreadDone(int bit);

  // Timeouts that connections added from now on start with.
  void SetDefaultTimeouts(const TConnectionTimeouts& timeouts);
  TConnectionTimeouts DefaultTimeouts() const;
  // Sets the timeouts of one connection (the newest with this PlayerID).
  bool SetConnectionTimeouts(uint32_t playerID, const TConnectionTimeouts& timeouts);

  // Runs fn on the connection under the buffer's lock (for tests and
  // diagnostics); false when there is none.
  bool InspectConnection(uint32_t playerID,
                         const std::function<void(const TSingleConnection&)>& fn) const;

 private:
  using TResendHeap = TConnectionHeap<TSingleConnection, &TSingleConnection::ResendHeapIndex>;
  using TSilenceHeap = TConnectionHeap<TSingleConnection, &TSingleConnection::SilenceHeapIndex>;
  static constexpr size_t NoSlot = TSlotBitSet::npos;
  // The cursor's state before it ever named a connection: the first one.
  static constexpr size_t CursorAtFirst = NoSlot - 1;

  // A wake-up of the listener's or the sender's wait, kept under Lock like
  // an auto-reset event: set while nobody waits, it stays set until the
  // next try resets it. A thread waiting for it is notified when the
  // setter releases the lock, so that setting it costs no system call while
  // its thread is busy.
  struct TWakeSignal {
    explicit TWakeSignal(uint8_t bit) : Bit(bit) {}
    std::condition_variable Cv;
    bool Signaled = false;
    int Waiting = 0;
    const uint8_t Bit;
  };
  // Holds Lock; on release notifies the waits signalled meanwhile.
  class TGuard {
   public:
    explicit TGuard(TCustomPacketBuffer& buffer) : Buffer(buffer), Held(buffer.Lock) {}
    ~TGuard();
    TGuard(const TGuard&) = delete;
    TGuard& operator=(const TGuard&) = delete;

   private:
    friend class TCustomPacketBuffer;
    TCustomPacketBuffer& Buffer;
    std::unique_lock<std::mutex> Held;
  };
  // Sets s; force: notifies its waiting thread even where wake-ups are
  // held back.
  void Signal(TWakeSignal& s, bool force = false);
  void NotifyPending();
  // Sleeps on s for at most ms with the guard's lock released meanwhile.
  void WaitLocked(TGuard& guard, TWakeSignal& s, uint32_t ms);
  void ReceiveLocked(std::unique_ptr<TPacket>& packet);
  bool TryBeginReceiveLocked(uint32_t& playerID, TReceiveEvent& event,
                             std::unique_ptr<TPacket>& packet);
  void EndReceiveLocked();
  bool QueueLocked(std::unique_ptr<TPacket>& packet, bool closeAfter);
  bool TrySendLocked(std::unique_ptr<TPacket>& packet, uint32_t& waitMs);
  bool TrySendLocked(std::unique_ptr<TPacket>& packet, uint32_t& waitMs,
                     TDefaultPerformanceTime& now);
  // Takes more due packets into out, up to max, and counts all of out.
  void FillSendBatch(std::vector<std::unique_ptr<TPacket>>& out, size_t max);
  bool WakeSuppressed(const TWakeSignal& s) const;
  bool TryReceiveLocked(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet,
                        uint32_t& waitMs);

  TSingleConnection* Find(uint32_t playerID) const;
  void SetNewest(uint32_t playerID, TSingleConnection* c);
  std::unique_ptr<TPacket> NextPacket(TSingleConnection& c, TDefaultPerformanceTime& now);
  bool ScanSend(TDefaultPerformanceTime& now, std::unique_ptr<TPacket>& packet, uint32_t& waitMs);
  bool ScanSilence(TDefaultPerformanceTime& now, uint32_t& playerID, TReceiveEvent& event);
  uint32_t SilenceWait(TDefaultPerformanceTime& now);
  bool ScanSendLiteral(TDefaultPerformanceTime& now, std::unique_ptr<TPacket>& packet,
                       uint32_t& waitMs);
  bool ScanSilenceLiteral(TDefaultPerformanceTime& now, uint32_t& playerID, TReceiveEvent& event,
                          uint32_t& waitMs);
  std::vector<TSingleConnection*> ConnectionList() const;
  template <class F>
  bool LiteralRound(int32_t& cursor, F visit);
  void ShiftLiteralCursors(const TSingleConnection& removed);
  void RequestClose(TSingleConnection& c);
  void EnterClosing(TSingleConnection& c);
  void EnterClosed(TSingleConnection& c, bool wakeListener);
  void Restart(TDefaultPerformanceTime& timer);
  void SyncSend(TSingleConnection& c);
  void SyncSilence(TSingleConnection& c);
  void CheckClockJump(const TDefaultPerformanceTime& now);
  size_t CursorBase(size_t cursor) const;
  void MakeRoomForSlot();
  void Relayout(size_t capacity);
  static double ResendKey(const TSingleConnection& c);
  static double SilenceKey(const TSingleConnection& c);

  mutable std::mutex Lock;  // the lock of Connections: the buffer's only lock
  TPacketFIFO ReceiveQueue{512, 512, 4096};
  // Connections in list order by slot; removed ones leave null holes until
  // the table is compacted.
  std::vector<std::unique_ptr<TSingleConnection>> Slots;
  size_t SlotsUsed = 0;  // next free slot at the end
  int32_t LiveCount = 0;
  // The newest connection per PlayerID (older ones chain through
  // OlderSamePlayer).
  std::unordered_map<uint32_t, TSingleConnection*> ByPlayer;
  // The same for the ids below DenseIDs (ids are handed out counting up
  // from 1), as a table indexed by id: the lookup of every packet.
  static constexpr uint32_t DenseIDs = 1u << 16;
  std::vector<TSingleConnection*> NewestByID;
  // Slots holding a connection.
  TSlotBitSet Live;
  // Connections with a packet to send now (never csClosed).
  TSlotBitSet Ready;
  // Silence deadline passed (to be checked), or csClosed.
  TSlotBitSet Due;
  // Pending commands not yet due, by resend deadline.
  TResendHeap ResendHeap;
  // Connections neither csClosed nor in Due, by a lower bound of their
  // silence deadline.
  TSilenceHeap SilenceHeap;
  std::vector<TSingleConnection*> Scratch;  // of ScanSend and SilenceWait
  // Latest timer start seen, to notice the clock going back.
  double LatestInstant = 0;

  TWakeSignal ReceiveEvent{1};
  TWakeSignal SendEvent{2};
  uint8_t Notify = 0;              // bits of the waits to notify when Lock is released
  bool ReceiveTurn = false;        // an event is being handled
  bool SendTurn = false;           // packets taken are being written
  bool ReceiveTurnWanted = false;  // the listener waits for the receive turn
  bool SendTurnWanted = false;     // the sender waits for the send turn
  bool IntakeQuiet = false;        // ReceivePackets without wake-ups
  // When the listener's sleep ends at the latest.
  std::chrono::steady_clock::time_point ListenerWakeAt;
  // When the sender's sleep ends at the latest.
  std::chrono::steady_clock::time_point SenderWakeAt;
  TWindowsEvent DoneEvent;
  std::atomic<uint8_t> DoneBits{0};
  std::atomic<bool> ShuttingDownFlag{false};
  bool ShutdownRan = false;
  std::atomic<uint32_t> PacketsSent{0};
  std::atomic<int64_t> BytesSent{0};
  std::atomic<uint32_t> PacketsReceived{0};
  std::atomic<int64_t> BytesReceived{0};
  size_t SendCursor = CursorAtFirst;     // slot of the connection served last
  size_t ReceiveCursor = CursorAtFirst;  // slot of the connection reported last
  TConnectionTimeouts Defaults;
  TScanMode Mode;
  int32_t LiteralSendCursor = 0;  // the plain design's index cursors (Literal mode)
  int32_t LiteralReceiveCursor = 0;
};

}  // namespace vx
