// The schedule over the connections of one virtual server.
//
// - Connections live in a slot table in list order (connections are only
//   appended; a removal leaves a hole until the table is compacted, which
//   keeps the order). The cursors hold the slot of the connection served or
//   reported last; a try continues after it and wraps. After a removal they
//   still name the connection served or reported last, so the round goes on
//   with the next one.
// - Ready (bit per slot): the connection has something NextPacket would send
//   now: an ack, a due resend (ResendDue), a new command while none is
//   pending, voice or maintenance. Never set for csClosed. Kept by SyncSend
//   after every change of a connection's queues or pending command.
// - ResendHeap: connections with a pending command that is not yet due, by
//   the instant at which "time since ResendTimer > ResendTimeout" first
//   holds. Keys are exact (SyncSend re-keys). A try reads every entry whose
//   key has passed and moves the due ones into Ready, so the first ready
//   connection after the cursor is the one a visit of every connection in
//   turn would serve; the heap top gives the wait.
// - SilenceHeap / Due: every connection that is neither csClosed nor
//   reported sits either in the heap, keyed by a lower bound of its silence
//   deadline (LastReceiveTimer start + limit of its state), or in Due
//   (deadline passed, to be checked; csClosed connections stay in Due until
//   reported). A received packet only restarts the timer: the heap key goes
//   stale (too early) and is corrected when it reaches the top. A change
//   that makes the deadline earlier re-keys at once. A listener try moves
//   the entries whose key has passed into Due, then visits Due from the
//   cursor in turn: the first one due is reported (once: it then waits for
//   its removal, unless a packet revives it), the ones found not due go back
//   to the heap. The heap top, once its key is exact, gives the wait.
// - Keys are doubles, so keys within a microsecond of each other may stand
//   in either order; decisions are always taken on the timer readings, and
//   the waits read every key near the earliest one.
// - Timer readings guard against clock jumps: a clock that went back (a
//   try's "now" earlier than a timer start seen before) restarts the timers
//   that lie in the future, then every heap key is recomputed.
#include "transport/PacketBuffers.h"

#include <algorithm>
#include <limits>

namespace vx {

namespace {

// Keys are doubles in ms near 4e12, exact to about half a microsecond; an
// entry whose key is within this of now is checked with the exact reading.
constexpr double KeySlackMs = 0.002;
// The time left that a reading gives is the key minus now, rounded up, so
// the earliest key has the least time left, unless another key lies within
// the rounding noise of the clock arithmetic. Those are read too.
constexpr double NearKeysMs = 0.01;
// The longest wait a try reports.
constexpr int32_t TryWaitCap = 1000;
constexpr int32_t NoDeadline = std::numeric_limits<int32_t>::max();

uint32_t ClampToUInt32(int64_t v) {
  return uint32_t(std::clamp<int64_t>(v, 0, std::numeric_limits<uint32_t>::max()));
}
uint16_t ClampToUInt16(int64_t v) {
  return uint16_t(std::clamp<int64_t>(v, 0, std::numeric_limits<uint16_t>::max()));
}

double StartMs(const TDefaultPerformanceTime& t) {
  return t.StartInstant().Value * MsPerDay;
}

// The process clock in ms, wrapping: the age stamp of queued voice.
uint32_t WrappedMs(const TDefaultPerformanceTime& now) {
  return uint32_t(int64_t(StartMs(now)));
}

TDefaultPerformanceTime ClockNow() {
  TDefaultPerformanceTime now;
  now.Start();
  return now;
}

double ResendKey(const TSingleConnection& c) {
  // Due once the truncated reading exceeds ResendTimeout, i.e. from
  // ResendTimeout + 1 ms on.
  return StartMs(c.ResendTimer) + double(c.ResendTimeout) + 1.0;
}

double SilenceKey(const TSingleConnection& c) {
  return StartMs(c.LastReceiveTimer) + double(c.SilenceLimit());
}

}  // namespace

TCustomPacketBuffer::TCustomPacketBuffer() {
  Live.Reset(0);
  Ready.Reset(0);
  Due.Reset(0);
}

TCustomPacketBuffer::~TCustomPacketBuffer() = default;

TCustomPacketBuffer::TGuard::~TGuard() {
  const bool tell = Buffer.WorkPending && !Buffer.ShuttingDownFlag.load();
  Buffer.WorkPending = false;
  Held.unlock();
  if (tell && Buffer.WorkHandler) Buffer.WorkHandler();
}

// ---------------------------------------------------------------------------
// Bookkeeping

TSingleConnection* TCustomPacketBuffer::Find(uint32_t playerID) const {
  if (playerID < NewestByID.size()) return NewestByID[playerID];
  if (playerID < DenseIDs) return nullptr;
  const auto it = ByPlayer.find(playerID);
  return it == ByPlayer.end() ? nullptr : it->second;
}

void TCustomPacketBuffer::SetNewest(uint32_t playerID, TSingleConnection* c) {
  if (playerID >= DenseIDs) return;
  if (playerID >= NewestByID.size()) {
    if (c == nullptr) return;
    NewestByID.resize(
        std::min<size_t>(DenseIDs, std::max<size_t>(size_t(playerID) + 1, NewestByID.size() * 2)),
        nullptr);
  }
  NewestByID[playerID] = c;
}

// Keeps ResendDue, the resend heap and the Ready bit of one connection in
// line with its queues, pending command and state.
void TCustomPacketBuffer::SyncSend(TSingleConnection& c) {
  const bool closed = c.State == csClosed;
  if (!c.PendingCommand || closed) c.ResendDue = false;
  if (!closed && c.PendingCommand && !c.ResendDue) {
    const double key = ResendKey(c);
    if (!TResendHeap::Contains(c))
      ResendHeap.Push(&c, key);
    else if (ResendHeap.KeyOf(c) != key)
      ResendHeap.Update(&c, key);
  } else if (TResendHeap::Contains(c)) {
    ResendHeap.Erase(&c);
  }
  Ready.Assign(c.Slot, c.HasSendable());
}

// Called after the silence clock restarted, the state changed or the
// timeouts changed. A later deadline is left for the heap top to notice.
void TCustomPacketBuffer::SyncSilence(TSingleConnection& c) {
  if (c.Reported) {  // waits for its removal
    if (TSilenceHeap::Contains(c)) SilenceHeap.Erase(&c);
    Due.Clear(c.Slot);
    return;
  }
  if (c.State == csClosed) {
    if (TSilenceHeap::Contains(c)) SilenceHeap.Erase(&c);
    Due.Set(c.Slot);
    return;
  }
  const double key = SilenceKey(c);
  if (Due.Test(c.Slot)) {
    Due.Clear(c.Slot);
    SilenceHeap.Push(&c, key);
  } else if (!TSilenceHeap::Contains(c)) {
    SilenceHeap.Push(&c, key);
  } else if (key < SilenceHeap.KeyOf(c)) {
    SilenceHeap.Update(&c, key);
  }
}

void TCustomPacketBuffer::Apply(TSingleConnection& c, const TConnectionEffects& fx) {
  LatestInstant = std::max(LatestInstant, c.LatestStart());
  if (fx.CreditDrops) CreditDrops.fetch_add(fx.CreditDrops, std::memory_order_relaxed);
  if (fx.StaleVoice) StaleVoice.fetch_add(fx.StaleVoice, std::memory_order_relaxed);
  if (fx.Resends) Counters.Resent(fx.Resends);
  SyncSend(c);
  // A packet received restarts the silence clock (the heap key goes stale,
  // which the heap top corrects); anything that may bring the deadline
  // earlier re-keys now and lets the driver plan anew.
  if (fx.Received || fx.StateChanged || fx.SilenceEarlier) {
    SyncSilence(c);
    if (fx.StateChanged || fx.SilenceEarlier) WorkPending = true;
  }
}

size_t TCustomPacketBuffer::CursorBase(size_t cursor) const {
  // Before the cursor first named a connection it stands on the first one,
  // so a round starts with the second.
  return cursor == CursorAtFirst ? Live.FindNext(0) : cursor;
}

void TCustomPacketBuffer::MakeRoomForSlot() {
  if (SlotsUsed < Slots.size()) return;
  if (Slots.size() > 0 && size_t(LiveCount) * 2 <= Slots.size())
    Relayout(Slots.size());  // compact
  else
    Relayout(std::max<size_t>(64, Slots.size() * 2));
}

// Moves the connections to slots 0..LiveCount-1 of a table of the given
// capacity, keeping their order, bits and cursors.
void TCustomPacketBuffer::Relayout(size_t capacity) {
  std::vector<std::unique_ptr<TSingleConnection>> slots(capacity);
  TSlotBitSet live, ready, due;
  live.Reset(capacity);
  ready.Reset(capacity);
  due.Reset(capacity);
  auto mapCursor = [](size_t cursor, size_t oldSlot, size_t newSlot, size_t& mapped) {
    if (cursor != CursorAtFirst && cursor != NoSlot && oldSlot <= cursor) mapped = newSlot;
  };
  size_t sendCursor = NoSlot, receiveCursor = NoSlot;
  size_t n = 0;
  for (size_t old = 0; old < SlotsUsed; ++old) {
    if (!Slots[old]) continue;
    live.Set(n);
    if (Ready.Test(old)) ready.Set(n);
    if (Due.Test(old)) due.Set(n);
    mapCursor(SendCursor, old, n, sendCursor);
    mapCursor(ReceiveCursor, old, n, receiveCursor);
    Slots[old]->Slot = n;
    slots[n++] = std::move(Slots[old]);
  }
  if (SendCursor != CursorAtFirst) SendCursor = sendCursor;
  if (ReceiveCursor != CursorAtFirst) ReceiveCursor = receiveCursor;
  Slots = std::move(slots);
  SlotsUsed = n;
  Live = std::move(live);
  Ready = std::move(ready);
  Due = std::move(due);
}

void TCustomPacketBuffer::CheckClockJump(const TDefaultPerformanceTime& now) {
  const double nowValue = now.StartInstant().Value;
  if (nowValue >= LatestInstant) {
    LatestInstant = nowValue;
    return;
  }
  // The clock went back: restart the timers that lie in the future, once
  // for all, then recompute every key.
  for (size_t s = Live.FindNext(0); s != NoSlot; s = Live.FindNext(s + 1))
    Slots[s]->GuardClock(now);
  SilenceHeap.RekeyAll([](const TSingleConnection& c) { return SilenceKey(c); });
  ResendHeap.RekeyAll([](const TSingleConnection& c) { return ResendKey(c); });
  LatestInstant = nowValue;
}

// ---------------------------------------------------------------------------
// Connections

void TCustomPacketBuffer::AddConnection(uint32_t playerID, uint32_t connectionID,
                                        const std::string& peerIP, uint16_t peerPort,
                                        uint32_t firstMaintenanceSequence,
                                        size_t loginRequestBytes) {
  uint32_t peerAddress = 0;
  ParseIPv4(peerIP, peerAddress);
  TGuard guard(*this);
  auto conn = std::make_unique<TSingleConnection>(playerID, connectionID, peerAddress, peerPort,
                                                  firstMaintenanceSequence, Defaults);
  TSingleConnection* c = conn.get();
  if (loginRequestBytes > 0) {
    c->Validated = false;
    c->Credit = 3 * int64_t(loginRequestBytes);
  }
  MakeRoomForSlot();
  c->Slot = SlotsUsed++;
  Slots[c->Slot] = std::move(conn);
  const auto [it, inserted] = ByPlayer.try_emplace(playerID, c);
  if (!inserted) {
    c->OlderSamePlayer = it->second;  // the newest one wins
    it->second = c;
  }
  SetNewest(playerID, c);
  Live.Set(c->Slot);
  ++LiveCount;
  ResendHeap.Reserve(size_t(LiveCount));
  SilenceHeap.Reserve(size_t(LiveCount));
  LatestInstant = std::max(LatestInstant, c->LatestStart());
  SyncSilence(*c);
  WorkPending = true;  // a new silence deadline
}

void TCustomPacketBuffer::CloseConnection(uint32_t playerID) {
  TGuard guard(*this);
  TSingleConnection* c = Find(playerID);
  if (!c) return;
  TConnectionEffects fx;
  c->Close(fx);
  Apply(*c, fx);
}

void TCustomPacketBuffer::RemoveConnection(uint32_t playerID) {
  std::unique_ptr<TSingleConnection> owned;  // freed after the lock is released
  TLockGuard guard(Lock);
  const auto it = ByPlayer.find(playerID);
  if (it == ByPlayer.end()) return;
  TSingleConnection* c = it->second;
  if (c->OlderSamePlayer)
    it->second = c->OlderSamePlayer;
  else
    ByPlayer.erase(it);
  SetNewest(playerID, c->OlderSamePlayer);
  Live.Clear(c->Slot);
  Ready.Clear(c->Slot);
  Due.Clear(c->Slot);
  if (TResendHeap::Contains(*c)) ResendHeap.Erase(c);
  if (TSilenceHeap::Contains(*c)) SilenceHeap.Erase(c);
  owned = std::move(Slots[c->Slot]);
  --LiveCount;
}

int32_t TCustomPacketBuffer::ConnectionCount() const {
  TLockGuard guard(Lock);
  return LiveCount;
}

void TCustomPacketBuffer::SetDefaultTimeouts(const TConnectionTimeouts& timeouts) {
  TLockGuard guard(Lock);
  Defaults = timeouts;
}

TConnectionTimeouts TCustomPacketBuffer::DefaultTimeouts() const {
  TLockGuard guard(Lock);
  return Defaults;
}

bool TCustomPacketBuffer::SetConnectionTimeouts(uint32_t playerID,
                                                const TConnectionTimeouts& timeouts) {
  TGuard guard(*this);
  TSingleConnection* c = Find(playerID);
  if (!c) return false;
  c->SetTimeouts(timeouts);
  TConnectionEffects fx;
  fx.SilenceEarlier = true;
  Apply(*c, fx);
  return true;
}

bool TCustomPacketBuffer::InspectConnection(
    uint32_t playerID, const std::function<void(const TSingleConnection&)>& fn) const {
  TLockGuard guard(Lock);
  const TSingleConnection* c = Find(playerID);
  if (!c) return false;
  fn(*c);
  return true;
}

bool TCustomPacketBuffer::GetConnectionInfo(uint32_t playerID, uint32_t& connectionID,
                                            uint32_t& packetsSent, uint32_t& bytesSent,
                                            uint32_t& packetsReceived, uint32_t& bytesReceived,
                                            std::string& peerIP, uint16_t& peerPort,
                                            uint16_t& packetLoss, uint16_t& averagePing) const {
  TLockGuard guard(Lock);
  const TSingleConnection* c = Find(playerID);
  if (!c) {
    connectionID = 0;
    peerIP.clear();
    return false;
  }
  connectionID = c->ConnectionID;
  packetsSent = c->PacketsSent;
  bytesSent = ClampToUInt32(c->BytesSent);
  packetsReceived = c->PacketsReceived;
  bytesReceived = ClampToUInt32(c->BytesReceived);
  peerIP = IPv4Text(c->PeerAddress);
  peerPort = c->PeerPort;
  packetLoss = c->PacketLoss();
  averagePing = ClampToUInt16(c->AveragePing);
  return true;
}

void TCustomPacketBuffer::GetTotals(uint32_t& packetsSent, uint32_t& packetsReceived,
                                    int64_t& bytesSent, int64_t& bytesReceived) const {
  packetsSent = PacketsSent.load(std::memory_order_relaxed);
  packetsReceived = PacketsReceived.load(std::memory_order_relaxed);
  bytesSent = BytesSent.load(std::memory_order_relaxed);
  bytesReceived = BytesReceived.load(std::memory_order_relaxed);
}

void TCustomPacketBuffer::Shutdown() {
  TLockGuard guard(Lock);
  ShuttingDownFlag.store(true);
}

// ---------------------------------------------------------------------------
// Receiving

TIntakeResult TCustomPacketBuffer::ReceivePacket(std::unique_ptr<TPacket> packet) {
  if (!packet) return TIntakeResult::Invalid;
  TGuard guard(*this);
  const TIntakeResult r = ReceiveLocked(packet);
  CountIntake(r);
  return r;
}

void TCustomPacketBuffer::ReceivePackets(std::vector<std::unique_ptr<TPacket>>& packets) {
  {
    TGuard guard(*this);
    for (auto& packet : packets) {
      if (!packet) continue;
      CountIntake(ReceiveLocked(packet));
      packet.reset();
    }
  }
  packets.clear();
}

// A refused datagram stays in `packet` for the caller to drop.
TIntakeResult TCustomPacketBuffer::ReceiveLocked(std::unique_ptr<TPacket>& packet) {
  PacketsReceived.fetch_add(1, std::memory_order_relaxed);
  BytesReceived.fetch_add(int64_t(packet->Size()), std::memory_order_relaxed);
  if (!packet->IsValid()) return TIntakeResult::Invalid;
  const TPacketClass cls = packet->Class();
  if (cls == TPacketClass::VoiceS2C) return TIntakeResult::ServerToClient;
  TPacket& p = *packet;
  if (cls == TPacketClass::Maintenance) {
    const TMaintenanceHeader h = p.MaintenanceHeader();
    if (h.Type() == MAINT_LOGINREQUEST && h.ConnectionID() == 0 && h.PlayerID() == 0) {
      if (ReceiveQueue.Full()) return TIntakeResult::ListenerBusy;  // the client asks again
      ReceiveQueue.Add(std::move(packet));
      WorkPending = true;
      return TIntakeResult::Accepted;
    }
  }
  TSingleConnection* c = Find(GetLE32(p.Data() + 8));
  if (!c) return TIntakeResult::NoConnection;
  TConnectionEffects fx;
  const TIntakeResult r = c->Receive(packet, cls, !ReceiveQueue.Full(), fx);
  if (fx.Deliver) {
    ReceiveQueue.Add(std::move(packet));
    WorkPending = true;
  }
  if (r != TIntakeResult::WrongConnection && r != TIntakeResult::AfterClose) {
    Apply(*c, fx);
    if (Ready.Test(c->Slot)) WorkPending = true;  // an ack or a pong to send
  }
  return r;
}

bool TCustomPacketBuffer::TryReceive(uint32_t& playerID, TReceiveEvent& event,
                                     std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  TGuard guard(*this);
  return TryReceiveLocked(playerID, event, packet, waitMs);
}

bool TCustomPacketBuffer::TryReceiveLocked(uint32_t& playerID, TReceiveEvent& event,
                                           std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  const TDefaultPerformanceTime now = ClockNow();
  packet.reset();
  if (ShuttingDownFlag.load()) {
    playerID = 0;
    event = reShutdown;
    return true;
  }
  waitMs = uint32_t(TryWaitCap);
  if (ScanSilence(now, playerID, event)) return true;
  if (!Deferred.empty() && Deferred.begin()->first <= std::chrono::steady_clock::now()) {
    packet = std::move(Deferred.begin()->second);
    Deferred.erase(Deferred.begin());
    playerID = 0;
    event = rePacket;
    return true;
  }
  if (ReceiveQueue.Count() > 0) {
    packet = ReceiveQueue.Get();
    playerID = packet->PlayerID();
    event = rePacket;
    return true;
  }
  waitMs = uint32_t(std::min(SilenceWait(now, TryWaitCap), DeferredWait(TryWaitCap)));
  return false;
}

bool TCustomPacketBuffer::DeferPacket(std::unique_ptr<TPacket> packet,
                                      std::chrono::steady_clock::time_point at) {
  if (!packet) return false;
  TGuard guard(*this);
  if (Deferred.size() >= MaxDeferred || ShuttingDownFlag.load()) return false;
  Deferred.emplace(at, std::move(packet));
  WorkPending = true;  // a new deadline
  return true;
}

int32_t TCustomPacketBuffer::DeferredWait(int32_t cap) const {
  if (Deferred.empty()) return cap;
  const auto left = Deferred.begin()->first - std::chrono::steady_clock::now();
  const int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return int32_t(std::clamp<int64_t>(ms, 0, cap));
}

// The silence round: reports the first connection after the cursor that is
// closed or has been silent too long.
bool TCustomPacketBuffer::ScanSilence(const TDefaultPerformanceTime& now, uint32_t& playerID,
                                      TReceiveEvent& event) {
  CheckClockJump(now);
  const double nowMs = StartMs(now);
  // Entries whose (possibly early) key has passed become candidates.
  while (!SilenceHeap.Empty()) {
    const auto top = SilenceHeap.Top();
    if (top.Key > nowMs + KeySlackMs) break;
    const double key = SilenceKey(*top.Conn);
    if (key != top.Key) {
      SilenceHeap.Update(top.Conn, key);
      continue;
    }
    SilenceHeap.Pop();
    Due.Set(top.Conn->Slot);
  }
  // Visit the candidates in turn from the cursor.
  for (;;) {
    const size_t slot = Due.FindNextCircular(CursorBase(ReceiveCursor));
    if (slot == NoSlot) return false;
    TSingleConnection& c = *Slots[slot];
    if (c.Reported) {
      Due.Clear(slot);
      continue;
    }
    bool closed = false, timedOut = false;
    const bool wasClosed = c.State == csClosed;
    c.CheckSilence(now, closed, timedOut);
    if (closed && !wasClosed) SyncSend(c);  // a closed connection sends nothing
    if (!closed && !timedOut) {
      Due.Clear(slot);
      SilenceHeap.Push(&c, SilenceKey(c));
      continue;
    }
    ReceiveCursor = slot;
    c.Reported = true;
    Due.Clear(slot);
    playerID = c.PlayerID;
    event = closed ? reClosed : reTimeout;
    return true;
  }
}

// Time until the earliest silence deadline: the earliest key, and the keys
// within NearKeysMs of it, are read once they are exact.
int32_t TCustomPacketBuffer::SilenceWait(const TDefaultPerformanceTime& now, int32_t cap) {
  double bound = 0;
  auto* scratch = &Scratch;  // for the visitor, which runs under the lock too
  for (;;) {
    if (SilenceHeap.Empty()) return cap;
    bound = SilenceHeap.Top().Key + NearKeysMs;
    Scratch.clear();
    SilenceHeap.VisitUpTo(bound, [&](const auto& e) {
      if (SilenceKey(*e.Conn) != e.Key) scratch->push_back(e.Conn);
    });
    if (Scratch.empty()) break;
    for (TSingleConnection* c : Scratch) SilenceHeap.Update(c, SilenceKey(*c));
  }
  int32_t left = cap;
  SilenceHeap.VisitUpTo(bound, [&](const auto& e) {
    TSingleConnection& c = *e.Conn;
    left = std::min(left, c.SilenceLimit() -
                              c.LastReceiveTimer.ElapsedSince(now, TSingleConnection::TimerBound));
  });
  return std::max(0, left);
}

// ---------------------------------------------------------------------------
// Sending

TQueueResult TCustomPacketBuffer::SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter) {
  if (!packet) return TQueueResult::InvalidClass;
  TGuard guard(*this);
  const TQueueResult r = QueueLocked(packet, closeAfter, WrappedMs(ClockNow()));
  CountQueue(r);
  return r;
}

void TCustomPacketBuffer::SendPackets(std::vector<std::unique_ptr<TPacket>>& packets) {
  {
    TGuard guard(*this);
    const uint32_t msNow = WrappedMs(ClockNow());
    // The recipients' connections, and then the slots of their voice queues,
    // are fetched from memory together rather than one after the other as
    // each packet is queued.
    for (int round = 0; round < 2; ++round) {
      for (const auto& packet : packets) {
        if (!packet || !packet->IsVoiceS2C()) continue;
        const TSingleConnection* c = Find(packet->VoiceS2CHeader().PlayerID());
        if (c == nullptr) continue;
        if (round == 0)
          c->Prefetch();
        else
          c->VoiceQueue.PrefetchSlot();
      }
    }
    for (auto& packet : packets) {
      if (packet) CountQueue(QueueLocked(packet, false, msNow));
      packet.reset();
    }
  }
  packets.clear();
}

// A refused packet stays in `packet` for the caller to drop.
TQueueResult TCustomPacketBuffer::QueueLocked(std::unique_ptr<TPacket>& packet, bool closeAfter,
                                              uint32_t msNow) {
  TSingleConnection* c = Find(packet->PlayerID());  // EPacket for a datagram of no class
  if (!c) return TQueueResult::NoConnection;
  const bool voice = packet->IsVoiceS2C();
  TConnectionEffects fx;
  const TQueueResult r = c->Queue(packet, closeAfter, msNow, fx);
  if (r == TQueueResult::Queued && voice && !closeAfter) {
    // Voice is only queued for a connected connection, and queueing it
    // starts no timer and leaves the pending command alone: the connection
    // just has something to send now.
    Ready.Set(c->Slot);
    WorkPending = true;
    return r;
  }
  if (r == TQueueResult::Queued || r == TQueueResult::Overflow) {
    Apply(*c, fx);
    WorkPending = true;
  }
  return r;
}

bool TCustomPacketBuffer::TrySend(std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  TGuard guard(*this);
  const TDefaultPerformanceTime now = ClockNow();
  if (!TrySendLocked(packet, waitMs, now)) return false;
  PacketsSent.fetch_add(1, std::memory_order_relaxed);
  BytesSent.fetch_add(int64_t(packet->Size()), std::memory_order_relaxed);
  return true;
}

size_t TCustomPacketBuffer::TakeDue(std::vector<std::unique_ptr<TPacket>>& out, size_t max) {
  TGuard guard(*this);
  if (ShuttingDownFlag.load()) return 0;
  // The packets of a batch are taken at one instant.
  const TDefaultPerformanceTime now = ClockNow();
  const uint32_t msNow = WrappedMs(now);
  PrepareSend(now);
  PrefetchReady(max);
  std::unique_ptr<TPacket> packet;
  size_t taken = 0;
  int64_t bytes = 0;
  while (taken < max && NextDue(now, msNow, packet)) {
    bytes += int64_t(packet->Size());
    out.push_back(std::move(packet));
    ++taken;
  }
  PacketsSent.fetch_add(uint32_t(taken), std::memory_order_relaxed);
  BytesSent.fetch_add(bytes, std::memory_order_relaxed);
  return taken;
}

bool TCustomPacketBuffer::TrySendLocked(std::unique_ptr<TPacket>& packet, uint32_t& waitMs,
                                        const TDefaultPerformanceTime& now) {
  waitMs = uint32_t(TryWaitCap);
  if (ScanSend(now, packet)) return true;
  waitMs = uint32_t(ResendWaitLocked(now, TryWaitCap));
  return false;
}

// Pending commands whose resend time has come join the ready set. Every
// entry whose key has passed is read: keys a fraction of a microsecond apart
// may stand in the heap in the other order than their readings.
void TCustomPacketBuffer::PromoteDueResends(const TDefaultPerformanceTime& now) {
  const double nowMs = StartMs(now);
  auto* scratch = &Scratch;  // for the visitor, which runs under the lock too
  for (bool rekeyed = true; rekeyed;) {
    rekeyed = false;
    Scratch.clear();
    ResendHeap.VisitUpTo(nowMs + KeySlackMs, [&](const auto& e) { scratch->push_back(e.Conn); });
    for (TSingleConnection* c : Scratch) {
      if (c->ResendElapsed(now)) {
        ResendHeap.Erase(c);
        c->ResendDue = true;
        Ready.Set(c->Slot);
        continue;
      }
      const double key = ResendKey(*c);  // the reading may have restarted the timer
      if (key == ResendHeap.KeyOf(*c)) continue;
      ResendHeap.Update(c, key);
      rekeyed = true;
    }
  }
}

// The round of the sender's try: one packet from the first connection after
// the cursor that has one, once the resends due have joined the ready set.
bool TCustomPacketBuffer::ScanSend(const TDefaultPerformanceTime& now,
                                   std::unique_ptr<TPacket>& packet) {
  PrepareSend(now);
  return NextDue(now, WrappedMs(now), packet);
}

void TCustomPacketBuffer::PrepareSend(const TDefaultPerformanceTime& now) {
  CheckClockJump(now);
  PromoteDueResends(now);
}

// The connections a batch visits are fetched from memory together, rather
// than one after the other as each packet is built.
void TCustomPacketBuffer::PrefetchReady(size_t count) const {
  const size_t first = Ready.FindNextCircular(CursorBase(SendCursor));
  size_t slot = first;
  for (size_t n = 0; n < count && slot != NoSlot; ++n) {
    Slots[slot]->Prefetch();
    slot = Ready.FindNextCircular(slot);
    if (slot == first) break;
  }
}

// Taking a packet never makes a resend due at the same instant, so a batch
// taken at one instant needs PrepareSend once.
bool TCustomPacketBuffer::NextDue(const TDefaultPerformanceTime& now, uint32_t msNow,
                                  std::unique_ptr<TPacket>& packet) {
  for (;;) {
    const size_t slot = Ready.FindNextCircular(CursorBase(SendCursor));
    if (slot == NoSlot) return false;
    TSingleConnection& c = *Slots[slot];
    TConnectionEffects fx;
    packet = c.NextPacket(now, msNow, fx);
    Apply(c, fx);  // clears the bit when it found nothing
    if (packet) {
      SendCursor = slot;
      return true;
    }
  }
}

// Time until the earliest resend: the keys within NearKeysMs of the earliest
// are read.
int32_t TCustomPacketBuffer::ResendWaitLocked(const TDefaultPerformanceTime& now, int32_t cap) {
  if (ResendHeap.Empty()) return cap;
  int32_t left = cap;
  ResendHeap.VisitUpTo(ResendHeap.Top().Key + NearKeysMs,
                       [&](const auto& e) { left = std::min(left, e.Conn->ResendWait(now)); });
  return std::max(0, left);
}

int64_t TCustomPacketBuffer::NextDeadlineMs() {
  TLockGuard guard(Lock);
  if (ShuttingDownFlag.load()) return -1;
  const TDefaultPerformanceTime now = ClockNow();
  if (ReceiveQueue.Count() > 0 || Due.FindNext(0) != NoSlot) return 0;
  if (Ready.FindNext(0) != NoSlot) return 0;
  CheckClockJump(now);
  const int32_t silence = SilenceWait(now, NoDeadline);
  const int32_t resend = ResendWaitLocked(now, NoDeadline);
  const int32_t left = std::min({silence, resend, DeferredWait(NoDeadline)});
  return left == NoDeadline ? -1 : int64_t(left);
}

}  // namespace vx
