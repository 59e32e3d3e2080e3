// TCustomPacketBuffer: the transport core of one virtual server, between the
// UDP socket and the protocol handlers. It keeps one TSingleConnection per
// client connection (reliable delivery, SingleConnection.h) and the schedule
// over them: which connection has something to send, whose resend is due,
// whose silence has lasted too long, and which events wait for the
// listener. Connections are served in turn, one packet each, in list order.
//
// The buffer runs no thread and never blocks: whoever drives the server
// (its event loop, or a test) asks it for the next event (TryReceive) and
// the packets due (TakeDue, TrySend), and for the time until the next
// deadline (NextDeadlineMs). Other threads queue packets through SendPacket
// under its lock; the work handler then tells the driver.
//
// No call visits every connection: connections are found by PlayerID in a
// table (a hash map for large ids), the connections with something to send
// (and those whose silence deadline has passed) are bits over their list
// positions, and resend and silence deadlines sit in heaps.
// PacketBuffers.cpp describes the invariants.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/Packets.h"
#include "common/ThreadSafety.h"
#include "host/TimeTools.h"
#include "transport/FIFOList.h"
#include "transport/PacketBuffersIndex.h"
#include "transport/ServerCounters.h"
#include "transport/SingleConnection.h"

namespace vx {

enum TReceiveEvent : uint8_t { rePacket, reTimeout, reClosed, reShutdown };

class TCustomPacketBuffer {
 public:
  TCustomPacketBuffer();
  ~TCustomPacketBuffer();
  TCustomPacketBuffer(const TCustomPacketBuffer&) = delete;
  TCustomPacketBuffer& operator=(const TCustomPacketBuffer&) = delete;

  // Called, outside the lock, after a call that gave the driver work: an
  // event to report, a packet to send, an earlier deadline. Set before the
  // buffer is used from more than one thread.
  void SetWorkHandler(std::function<void()> handler) { WorkHandler = std::move(handler); }

  // Creates a connection in csLogin and appends it to the list. A login
  // request of loginRequestBytes (above 0) creates it: until the peer sends
  // a packet with the connection's id, it gets besides the login reply at
  // most three times the bytes it sent.
  void AddConnection(uint32_t playerID, uint32_t connectionID, const std::string& peerIP,
                     uint16_t peerPort, uint32_t firstMaintenanceSequence,
                     size_t loginRequestBytes = 0);
  // Closes the newest connection with this PlayerID once what is queued on
  // it has left (as SendPacket with CloseAfter does); it is then reported
  // as closed. Unknown ids are ignored.
  void CloseConnection(uint32_t playerID);
  // Removes and frees the newest connection with this PlayerID with all it
  // holds; unknown ids are ignored.
  void RemoveConnection(uint32_t playerID);

  // Datagram intake; every datagram counts in the totals. Refusals are
  // counted per result and the datagram dropped.
  TIntakeResult ReceivePacket(std::unique_ptr<TPacket> packet);
  // ReceivePacket for each packet in order under one hold of the lock.
  // Empties packets.
  void ReceivePackets(std::vector<std::unique_ptr<TPacket>>& packets);
  // Queues a packet for its connection; refusals are counted and the packet
  // dropped. A connection whose queue is full takes no more packets and is
  // reported as timed out: a peer that does not take what it is sent never
  // holds up what is sent to the others. A packet of no class raises EPacket.
  TQueueResult SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter);
  // SendPacket(packet, false) for each packet in order under one hold of
  // the lock. Empties packets.
  void SendPackets(std::vector<std::unique_ptr<TPacket>>& packets);

  // Holds a login request back until the moment given (the answers to an
  // address that failed too often wait): TryReceive hands it out again then.
  // False (the packet dropped, the client asks again) when too many wait.
  bool DeferPacket(std::unique_ptr<TPacket> packet, std::chrono::steady_clock::time_point at);

  // The listener's try: the next event, closed or silent connections first
  // (one per try, in turn), then the packets in arrival order; after the
  // shutdown the shutdown event. Without an event, waitMs is the time until
  // the next silence deadline, at most 1000. Held-back login requests come
  // before the packets that arrived, once their moment has come.
  bool TryReceive(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet,
                  uint32_t& waitMs);
  // The sender's try: the next packet to write, from the first connection
  // after the one served last that has one. Without one, waitMs is the time
  // until the next resend, at most 1000.
  bool TrySend(std::unique_ptr<TPacket>& packet, uint32_t& waitMs);
  // The packets TrySend would hand out one after the other, up to max, all
  // at one clock reading, appended to out. Counts them in the totals.
  size_t TakeDue(std::vector<std::unique_ptr<TPacket>>& out, size_t max);
  // ms until the earliest silence or resend deadline (0: one is due), or -1
  // when there is none (no connection waits for anything).
  int64_t NextDeadlineMs();

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
  // Datagrams by what became of them, and packets handed over to be sent by
  // what became of them (Queued included).
  uint64_t IntakeCount(TIntakeResult result) const {
    return IntakeCounts[size_t(result)].load(std::memory_order_relaxed);
  }
  uint64_t QueueCount(TQueueResult result) const {
    return QueueCounts[size_t(result)].load(std::memory_order_relaxed);
  }
  // Packets dropped because a peer's queue was full, beyond what an
  // unvalidated peer may be sent, and voice dropped for its age.
  uint64_t OverflowDropCount() const { return QueueCount(TQueueResult::Overflow); }
  uint64_t CreditDropCount() const { return CreditDrops.load(std::memory_order_relaxed); }
  uint64_t StaleVoiceCount() const { return StaleVoice.load(std::memory_order_relaxed); }
  // Refused logins and resends, for monitoring.
  TServerCounters Counters;

  // From now on TryReceive reports the shutdown, TakeDue hands out nothing
  // and the work handler is no longer called.
  void Shutdown();
  bool ShuttingDown() const { return ShuttingDownFlag.load(); }

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
  // The ids below DenseIDs (handed out counting up from 1) are found in a
  // table indexed by id: the lookup of every packet.
  static constexpr uint32_t DenseIDs = 1u << 16;

  TIntakeResult ReceiveLocked(std::unique_ptr<TPacket>& packet) VX_REQUIRES(Lock);
  TQueueResult QueueLocked(std::unique_ptr<TPacket>& packet, bool closeAfter, uint32_t msNow)
      VX_REQUIRES(Lock);
  bool TrySendLocked(std::unique_ptr<TPacket>& packet, uint32_t& waitMs,
                     const TDefaultPerformanceTime& now) VX_REQUIRES(Lock);
  bool TryReceiveLocked(uint32_t& playerID, TReceiveEvent& event, std::unique_ptr<TPacket>& packet,
                        uint32_t& waitMs) VX_REQUIRES(Lock);
  bool ScanSend(const TDefaultPerformanceTime& now, std::unique_ptr<TPacket>& packet)
      VX_REQUIRES(Lock);
  void PrepareSend(const TDefaultPerformanceTime& now) VX_REQUIRES(Lock);
  // Asks the processor to fetch the connections of the next `count` sends.
  void PrefetchReady(size_t count) const VX_REQUIRES(Lock);
  bool NextDue(const TDefaultPerformanceTime& now, uint32_t msNow, std::unique_ptr<TPacket>& packet)
      VX_REQUIRES(Lock);
  void PromoteDueResends(const TDefaultPerformanceTime& now) VX_REQUIRES(Lock);
  int32_t ResendWaitLocked(const TDefaultPerformanceTime& now, int32_t cap) VX_REQUIRES(Lock);
  bool ScanSilence(const TDefaultPerformanceTime& now, uint32_t& playerID, TReceiveEvent& event)
      VX_REQUIRES(Lock);
  int32_t SilenceWait(const TDefaultPerformanceTime& now, int32_t cap) VX_REQUIRES(Lock);
  int32_t DeferredWait(int32_t cap) const VX_REQUIRES(Lock);
  // Follows what a call on a connection did: heaps, bits, wake-ups.
  void Apply(TSingleConnection& c, const TConnectionEffects& fx) VX_REQUIRES(Lock);
  void SyncSend(TSingleConnection& c) VX_REQUIRES(Lock);
  void SyncSilence(TSingleConnection& c) VX_REQUIRES(Lock);
  void CheckClockJump(const TDefaultPerformanceTime& now) VX_REQUIRES(Lock);
  TSingleConnection* Find(uint32_t playerID) const VX_REQUIRES(Lock);
  void SetNewest(uint32_t playerID, TSingleConnection* c) VX_REQUIRES(Lock);
  size_t CursorBase(size_t cursor) const VX_REQUIRES(Lock);
  void MakeRoomForSlot() VX_REQUIRES(Lock);
  void Relayout(size_t capacity) VX_REQUIRES(Lock);
  void CountIntake(TIntakeResult r) {
    IntakeCounts[size_t(r)].fetch_add(1, std::memory_order_relaxed);
  }
  void CountQueue(TQueueResult r) {
    QueueCounts[size_t(r)].fetch_add(1, std::memory_order_relaxed);
  }
  // Holds the lock; tells the work handler, after the lock is released,
  // when the call gave the driver work.
  class VX_SCOPED_CAPABILITY TGuard {
   public:
    explicit TGuard(TCustomPacketBuffer& buffer) VX_ACQUIRE(buffer.Lock)
        : Buffer(buffer), Held(buffer.Lock.Native()) {}
    ~TGuard() VX_RELEASE();
    TGuard(const TGuard&) = delete;
    TGuard& operator=(const TGuard&) = delete;

   private:
    TCustomPacketBuffer& Buffer;
    std::unique_lock<std::mutex> Held;
  };
  friend class TGuard;

  mutable TMutex Lock;  // the lock of the connection list: the buffer's only lock
  std::function<void()> WorkHandler;
  // Tell the handler when the lock is released.
  bool WorkPending VX_GUARDED_BY(Lock) = false;
  TPacketFIFO ReceiveQueue VX_GUARDED_BY(Lock){512, 512, 4096};
  // Login requests held back, by the moment they are handed out.
  static constexpr size_t MaxDeferred = 256;
  std::multimap<std::chrono::steady_clock::time_point, std::unique_ptr<TPacket>> Deferred
      VX_GUARDED_BY(Lock);
  // Connections in list order by slot; removed ones leave null holes until
  // the table is compacted.
  std::vector<std::unique_ptr<TSingleConnection>> Slots VX_GUARDED_BY(Lock);
  size_t SlotsUsed VX_GUARDED_BY(Lock) = 0;  // next free slot at the end
  int32_t LiveCount VX_GUARDED_BY(Lock) = 0;
  // The newest connection per PlayerID (older ones chain through
  // OlderSamePlayer), and the same for the small ids as a table.
  std::unordered_map<uint32_t, TSingleConnection*> ByPlayer VX_GUARDED_BY(Lock);
  std::vector<TSingleConnection*> NewestByID VX_GUARDED_BY(Lock);
  // Slots holding a connection.
  TSlotBitSet Live VX_GUARDED_BY(Lock);
  // Connections with a packet to send now (never csClosed).
  TSlotBitSet Ready VX_GUARDED_BY(Lock);
  // Silence deadline passed (to be checked), or csClosed.
  TSlotBitSet Due VX_GUARDED_BY(Lock);
  // Pending commands not yet due, by resend deadline.
  TResendHeap ResendHeap VX_GUARDED_BY(Lock);
  // Connections neither csClosed nor in Due nor reported, by a lower bound
  // of their silence deadline.
  TSilenceHeap SilenceHeap VX_GUARDED_BY(Lock);
  std::vector<TSingleConnection*> Scratch VX_GUARDED_BY(Lock);
  // Latest timer start seen, to notice the clock going back.
  double LatestInstant VX_GUARDED_BY(Lock) = 0;

  std::atomic<bool> ShuttingDownFlag{false};
  std::atomic<uint32_t> PacketsSent{0};
  std::atomic<int64_t> BytesSent{0};
  std::atomic<uint32_t> PacketsReceived{0};
  std::atomic<int64_t> BytesReceived{0};
  std::array<std::atomic<uint64_t>, IntakeResultCount> IntakeCounts{};
  std::array<std::atomic<uint64_t>, QueueResultCount> QueueCounts{};
  std::atomic<uint64_t> CreditDrops{0};
  std::atomic<uint64_t> StaleVoice{0};
  // Slots of the connections served and reported last.
  size_t SendCursor VX_GUARDED_BY(Lock) = CursorAtFirst;
  size_t ReceiveCursor VX_GUARDED_BY(Lock) = CursorAtFirst;
  TConnectionTimeouts Defaults VX_GUARDED_BY(Lock);
};

}  // namespace vx
