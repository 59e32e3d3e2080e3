// Connection buffers and reliable delivery.
//
// How the plain scans are answered without visiting every connection:
//
// - Connections live in a slot table in list order (connections are only
//   appended; a removal leaves a hole until the table is compacted, which
//   keeps the order). The cursors hold the slot of the connection served or
//   reported last; a try continues after it and wraps, exactly as the index
//   cursor of the plain design does while no connection is removed.
// - Ready (bit per slot): the connection has something NextPacket would send
//   now: an ack, a due resend (ResendDue), a new command while none is
//   pending, voice or maintenance. Never set for csClosed. Kept by SyncSend
//   after every change of a connection's queues or pending command.
// - ResendHeap: connections with a pending command that is not yet due, by
//   the instant at which "time since ResendTimer > ResendTimeout" first
//   holds. Keys are exact (SyncSend re-keys). A try reads every entry whose
//   key has passed and moves the due ones into Ready, so the first ready
//   connection after the cursor is the one the plain design's round would
//   serve; the heap top gives the wait.
// - SilenceHeap / Due: every connection that is not csClosed sits either in
//   the heap, keyed by a lower bound of its silence deadline (LastReceiveTimer
//   start + limit of its state), or in Due (deadline passed, to be checked;
//   csClosed connections stay in Due until removed). A received packet only
//   restarts the timer: the heap key goes stale (too early) and is corrected
//   when it reaches the top. A change that makes the deadline earlier
//   re-keys at once. A listener try moves the entries whose key has passed
//   into Due, then visits Due from the cursor in round-robin order with the
//   designed closing and timeout checks: the first one due is reported,
//   the ones found not due go back to the heap. The heap top, once its key
//   is exact, gives the wait.
// - Keys are doubles, so keys within a microsecond of each other may stand
//   in either order; decisions are always taken on the designed timer
//   readings, and the waits read every key near the earliest one.
// - TScanMode::Literal keeps the plain scans as designed (index cursors,
//   every connection visited) as the reference the tests compare with.
// - Timer readings keep the designed clock-jump guards. A clock that went
//   back (a try's "now" earlier than a timer start the buffer made) is
//   answered with one pass over all connections that does what the
//   plain design's next scans would do (restart the timers that lie in the
//   future), then every heap key is recomputed.
//
// The close request (SendPacket with CloseAfter) drains the commands queued
// before it: with commands queued, the connection only gets CloseRequested
// (SendPacket refuses it as closing, ClosingTimeout of silence closes it) and
// enters csClosing when NextPacket makes the last queued command the pending
// one, so only the acknowledgement of that final command closes it. Without
// queued commands it enters csClosing at once, as designed. The request and
// the entry into csClosing each restart LastReceiveTimer, so ClosingTimeout
// of silence is counted from them rather than from the last packet received.
//
// Where this differs from the plain design, on purpose:
// - After a removal the cursors keep naming the connection served or
//   reported last, so the round goes on with the next one; the plain design's
//   index cursor stays put while the list shifts under it, which skips one
//   connection (or restarts at index 0 when it falls off the end). The
//   Literal mode shifts its index cursors the same way, so that both modes
//   stay comparable with removals.
// - The "now" of a try is taken after the lock, not before.
// - ReceiveEvent is also set when a connection becomes csClosed through an
//   acknowledgement, when it enters csClosing from the sender, and when its
//   timeouts change, so that the listener reacts without waiting out its
//   sleep. These are extra wake-ups only.
// - The listener's and the sender's waits are condition variables under the
//   buffer's lock instead of pipe events: a wake-up set while its thread is
//   busy costs no system call, and a try and the sleep that follows it see
//   one consistent state. Their semantics (auto-reset, pending until the
//   next try, the waits' lengths) are the events'.
// - Turns (BeginReceive ... ContinueSend in the header): any thread may take
//   the next event or the next due packets when nobody else holds that
//   turn, so the socket thread handles what it read when the listener is
//   idle, and the thread that handled events writes what they queued when
//   the sender is idle. Everything is still taken from the buffer in the
//   designed order, one holder at a time; only which thread does the work
//   changes. The listener and sender threads remain for timers, for work
//   that arrives while another thread holds a turn, and for the shutdown.
// - Out-of-bound timer readings (the guard that restarts a timer) happen for
//   the connections an indexed try looks at, not for every connection of the
//   list; they only differ from the plain design for silences or resend waits
//   above 120 s, which do not occur with the designed timeouts.
#include "transport/PacketBuffers.h"

#include <algorithm>
#include <limits>

namespace vx {

namespace {

constexpr int64_t TimerBound = 120000;  // bound of the timer readings, ms
// Keys are doubles in ms near 4e12, exact to about half a microsecond; an
// entry whose key is within this of now is checked with the exact reading.
constexpr double KeySlackMs = 0.002;
// The time left that a reading gives is the key minus now, rounded up, so
// the earliest key has the least time left, unless another key lies within
// the rounding noise of the clock arithmetic. Those are read too.
constexpr double NearKeysMs = 0.01;
constexpr int16_t CMD_sc_LoginStep6 = 8;
constexpr size_t PongSize = 24;

// Round(num / den) to nearest, halves to even (den > 0).
int64_t RoundHalfEven(__int128 num, __int128 den) {
  if (num < 0) return -RoundHalfEven(-num, den);
  __int128 q = num / den;
  const __int128 r = num % den;
  if (2 * r > den || (2 * r == den && (q & 1))) ++q;
  return int64_t(q);
}

int32_t ClampToInt32(int64_t v) {
  return int32_t(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                     std::numeric_limits<int32_t>::max()));
}
uint32_t ClampToUInt32(int64_t v) {
  return uint32_t(std::clamp<int64_t>(v, 0, std::numeric_limits<uint32_t>::max()));
}
uint16_t ClampToUInt16(int64_t v) {
  return uint16_t(std::clamp<int64_t>(v, 0, std::numeric_limits<uint16_t>::max()));
}

double StartMs(const TDefaultPerformanceTime& t) {
  return t.StartInstant().Value * MsPerDay;
}

}  // namespace

// ---------------------------------------------------------------------------
// TSingleConnection

TSingleConnection::TSingleConnection(uint32_t playerID, uint32_t connectionID,
                                     const std::string& peerIP, uint16_t peerPort,
                                     uint32_t firstMaintenanceSequence,
                                     const TConnectionTimeouts& timeouts)
    : PlayerID(playerID),
      ConnectionID(connectionID),
      PeerIP(peerIP),
      PeerPort(peerPort),
      MaintenanceSendSequence(firstMaintenanceSequence),
      MaintenanceExpected(firstMaintenanceSequence + 2),
      ClosingTimeout(timeouts.ClosingTimeout),
      LoginTimeout(timeouts.LoginTimeout),
      ConnectedTimeout(timeouts.ConnectedTimeout) {
  PendingSentTimer.Start();
  ResendTimer.Start();
  LastReceiveTimer.Start();
  LastSendTimer.Start();
  PingTimer.Start();
  RttSamples.fill(50);
  RttIndex = 0;
  AddRttSample(50);  // RttIndex 1, AveragePing 50, ResendTimeout 60
}

void TSingleConnection::AddRttSample(int32_t valueMs) {
  RttSamples[size_t(RttIndex)] = valueMs;
  RttIndex = (RttIndex + 1) % RttRingSize;
  int64_t sum = 0;
  for (int32_t s : RttSamples) sum += s;
  AveragePing = ClampToInt32(RoundHalfEven(sum, RttRingSize));
  // sum / 16 * 1.2 = sum * 3 / 40, rounded exactly.
  ResendTimeout = std::max(ClampToInt32(RoundHalfEven(__int128(sum) * 3, 40)), 10);
}

int32_t TSingleConnection::SilenceLimit() const {
  switch (State) {
    case csLogin:
      return CloseRequested ? ClosingTimeout : LoginTimeout;
    case csConnected:
      return CloseRequested ? ClosingTimeout : ConnectedTimeout;
    case csClosing:
      return ClosingTimeout;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// TCustomPacketBuffer: bookkeeping

TCustomPacketBuffer::TCustomPacketBuffer(TScanMode mode) : Mode(mode) {
  Live.Reset(0);
  Ready.Reset(0);
  Due.Reset(0);
}

TCustomPacketBuffer::~TCustomPacketBuffer() {
  if (!ShutdownRan) Shutdown();
}

double TCustomPacketBuffer::ResendKey(const TSingleConnection& c) {
  // Due once the truncated reading exceeds ResendTimeout, i.e. from
  // ResendTimeout + 1 ms on.
  return StartMs(c.ResendTimer) + double(c.ResendTimeout) + 1.0;
}

double TCustomPacketBuffer::SilenceKey(const TSingleConnection& c) {
  return StartMs(c.LastReceiveTimer) + double(c.SilenceLimit());
}

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

void TCustomPacketBuffer::Restart(TDefaultPerformanceTime& timer) {
  timer.Start();
  LatestInstant = std::max(LatestInstant, timer.StartInstant().Value);
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
  const bool ready = !closed && (c.AckQueue.Count() > 0 || c.ResendDue ||
                                 (!c.PendingCommand && c.CommandQueue.Count() > 0) ||
                                 c.VoiceQueue.Count() > 0 || c.MaintenanceQueue.Count() > 0);
  Ready.Assign(c.Slot, ready);
}

// Called after the silence clock restarted, the state changed or the
// timeouts changed. A later deadline is left for the heap top to notice.
void TCustomPacketBuffer::SyncSilence(TSingleConnection& c) {
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

// A close request and csClosing each start a fresh silence clock, so that
// the client has the whole ClosingTimeout to acknowledge what is pending.
void TCustomPacketBuffer::RequestClose(TSingleConnection& c) {
  c.CloseRequested = true;
  Restart(c.LastReceiveTimer);
  SyncSilence(c);
}

void TCustomPacketBuffer::EnterClosing(TSingleConnection& c) {
  c.State = csClosing;
  c.CloseRequested = false;
  Restart(c.LastReceiveTimer);
  SyncSilence(c);
  Signal(ReceiveEvent);  // the listener's wait may now be too long
}

void TCustomPacketBuffer::EnterClosed(TSingleConnection& c, bool wakeListener) {
  c.State = csClosed;
  c.CloseRequested = false;
  SyncSend(c);
  SyncSilence(c);
  if (wakeListener) Signal(ReceiveEvent);
}

size_t TCustomPacketBuffer::CursorBase(size_t cursor) const {
  // Before the cursor first named a connection it stands on the first one,
  // like the plain design's index 0, so a round starts with the second.
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
  // The clock went back: every scan of the plain design reads every timer and
  // restarts those that lie in the future. Do that once for all.
  for (size_t s = Live.FindNext(0); s != NoSlot; s = Live.FindNext(s + 1)) {
    TSingleConnection& c = *Slots[s];
    if (c.State != csClosed) c.LastReceiveTimer.ElapsedSince(now, TimerBound);
    if (c.PendingCommand) c.ResendTimer.ElapsedSince(now, TimerBound);
  }
  SilenceHeap.RekeyAll([](const TSingleConnection& c) { return SilenceKey(c); });
  ResendHeap.RekeyAll([](const TSingleConnection& c) { return ResendKey(c); });
  LatestInstant = nowValue;
}

// ---------------------------------------------------------------------------
// Connections

void TCustomPacketBuffer::AddConnection(uint32_t playerID, uint32_t connectionID,
                                        const std::string& peerIP, uint16_t peerPort,
                                        uint32_t firstMaintenanceSequence) {
  std::lock_guard guard(Lock);
  auto conn = std::make_unique<TSingleConnection>(playerID, connectionID, peerIP, peerPort,
                                                  firstMaintenanceSequence, Defaults);
  TSingleConnection* c = conn.get();
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
  LatestInstant = std::max(LatestInstant, c->LastReceiveTimer.StartInstant().Value);
  SyncSilence(*c);
}

void TCustomPacketBuffer::RemoveConnection(uint32_t playerID) {
  std::unique_ptr<TSingleConnection> owned;  // freed after the lock is released
  {
    std::lock_guard guard(Lock);
    const auto it = ByPlayer.find(playerID);
    if (it == ByPlayer.end()) return;
    TSingleConnection* c = it->second;
    if (Mode == TScanMode::Literal) ShiftLiteralCursors(*c);
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
}

int32_t TCustomPacketBuffer::ConnectionCount() const {
  std::lock_guard guard(Lock);
  return LiveCount;
}

void TCustomPacketBuffer::SetDefaultTimeouts(const TConnectionTimeouts& timeouts) {
  std::lock_guard guard(Lock);
  Defaults = timeouts;
}

TConnectionTimeouts TCustomPacketBuffer::DefaultTimeouts() const {
  std::lock_guard guard(Lock);
  return Defaults;
}

bool TCustomPacketBuffer::SetConnectionTimeouts(uint32_t playerID,
                                                const TConnectionTimeouts& timeouts) {
  TGuard guard(*this);
  TSingleConnection* c = Find(playerID);
  if (!c) return false;
  c->LoginTimeout = timeouts.LoginTimeout;
  c->ConnectedTimeout = timeouts.ConnectedTimeout;
  c->ClosingTimeout = timeouts.ClosingTimeout;
  SyncSilence(*c);
  Signal(ReceiveEvent);  // the listener recomputes its wait
  return true;
}

bool TCustomPacketBuffer::InspectConnection(
    uint32_t playerID, const std::function<void(const TSingleConnection&)>& fn) const {
  std::lock_guard guard(Lock);
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
  std::lock_guard guard(Lock);
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
  peerIP = c->PeerIP;
  peerPort = c->PeerPort;
  packetLoss = 0;
  if (c->PacketsReceived > 0) {
    const __int128 lost = c->PacketsLost;
    packetLoss = ClampToUInt16(RoundHalfEven(lost * 10000, __int128(c->PacketsReceived) + lost));
  }
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

// ---------------------------------------------------------------------------
// Receiving

void TCustomPacketBuffer::ReceivePacket(std::unique_ptr<TPacket> packet) {
  if (!packet) return;
  TGuard guard(*this);
  ReceiveLocked(packet);
}

void TCustomPacketBuffer::ReceivePackets(std::vector<std::unique_ptr<TPacket>>& packets,
                                         bool wake) {
  {
    TGuard guard(*this);
    IntakeQuiet = !wake;
    for (auto& packet : packets) {
      if (!packet) continue;
      try {
        ReceiveLocked(packet);
      } catch (...) {
        Counters.DropCurrentException();  // as ReceivePacket: the datagram is discarded
      }
      packet.reset();
    }
    IntakeQuiet = false;
  }
  packets.clear();
}

// Any error below leaves with `packet` still owning the datagram (or with
// the queue that raised having destroyed it): the caller frees it.
void TCustomPacketBuffer::ReceiveLocked(std::unique_ptr<TPacket>& packet) {
  PacketsReceived.fetch_add(1, std::memory_order_relaxed);
  BytesReceived.fetch_add(int64_t(packet->Size()), std::memory_order_relaxed);
  if (!packet->IsValid()) throw ECustomPacketBuffer("Invalid Packet");
  const TPacketClass cls = packet->Class();
  if (cls == TPacketClass::VoiceS2C) throw ECustomPacketBuffer("S2C recv on Server");
  TPacket& p = *packet;
  if (cls == TPacketClass::Maintenance) {
    const TMaintenanceHeader h = p.MaintenanceHeader();
    if (h.Type() == MAINT_LOGINREQUEST && h.ConnectionID() == 0 && h.PlayerID() == 0) {
      ReceiveQueue.Add(std::move(packet));
      Signal(ReceiveEvent);
      return;
    }
  }
  TSingleConnection* cp = Find(GetLE32(p.Data() + 8));
  if (!cp) return Counters.Drop(TDropReason::UnknownPlayer);
  TSingleConnection& c = *cp;
  if (GetLE32(p.Data() + 4) != c.ConnectionID)
    throw ECustomPacketBuffer("wrong Connection + player combo");
  if (c.State == csClosed) throw ECustomPacketBuffer("recv data after close");
  c.PeerIP = p.PeerIP;
  c.PeerPort = p.PeerPort;
  Restart(c.LastReceiveTimer);
  SyncSilence(c);

  switch (cls) {
    case TPacketClass::Ack: {
      c.PacketsReceived += 1;
      c.BytesReceived += int64_t(AckPacketSize);
      const TAckHeader ack = p.AckHeader();
      if (!c.PendingCommand) return;
      const TCommandHeader pending = c.PendingCommand->CommandHeader();
      if (pending.Sequence() != ack.Sequence()) return;
      if (ack.ResendCount() == 0) {
        const int32_t rtt = c.PendingSentTimer.ElapsedMs(TimerBound, true);
        if (rtt > 0) c.AddRttSample(rtt);
      } else {
        c.PacketsLost += ack.ResendCount();
      }
      if (c.State == csLogin && pending.Code() == CMD_sc_LoginStep6) {
        c.State = csConnected;
        SyncSilence(c);
      } else if (c.State == csClosing) {
        EnterClosed(c, true);
      }
      c.PendingCommand.reset();
      SyncSend(c);
      Signal(SendEvent);
      return;
    }
    case TPacketClass::Command: {
      const TCommandHeader cmd = p.CommandHeader();
      auto ackPacket = std::make_unique<TPacket>(AckPacketSize);
      PutLE16(ackPacket->Data(), MAGIC_ACK);
      TAckHeader ack = ackPacket->AckHeader();
      ack.SetResendCount(cmd.ResendCount());
      ack.SetConnectionID(c.ConnectionID);
      ack.SetPlayerID(c.PlayerID);
      ack.SetSequence(cmd.Sequence());
      c.AckQueue.Add(std::move(ackPacket));
      Ready.Set(c.Slot);
      c.PacketsReceived += 1;
      c.BytesReceived += int64_t(p.Size());
      if (cmd.Sequence() == c.CommandExpected) {
        c.CommandExpected += 1;
        if (c.State == csClosing) throw ECustomPacketBuffer("recv command while closing.");
        ReceiveQueue.Add(std::move(packet));
        Signal(ReceiveEvent);
      }
      Signal(SendEvent);
      return;
    }
    case TPacketClass::VoiceC2S: {
      if (c.State == csLogin) throw ECustomPacketBuffer("Recv voice data during login");
      const uint32_t counter = p.VoiceC2SHeader().VoiceCounter();
      if (counter >= c.VoiceExpected) {
        const uint32_t gap = counter - c.VoiceExpected;
        if (gap < 10000) c.PacketsLost += gap;
        c.VoiceExpected = counter + 1 >= 65535 ? 0 : counter + 1;
      }
      const size_t size = p.Size();
      ReceiveQueue.Add(std::move(packet));
      c.PacketsReceived += 1;
      c.BytesReceived += int64_t(size);
      Signal(ReceiveEvent);
      return;
    }
    case TPacketClass::Maintenance: {
      const TMaintenanceHeader h = p.MaintenanceHeader();
      const uint32_t sequence = h.Sequence();
      if (sequence < c.MaintenanceExpected) return;
      c.PacketsLost += sequence - c.MaintenanceExpected;
      c.MaintenanceExpected = sequence + 1;
      const uint16_t type = h.Type();
      if (type == MAINT_PING && c.State == csConnected) {
        // Answered in place; ConnectionID, Sequence and Checksum are
        // written when the pong is sent.
        p.Resize(PongSize);
        TMaintenanceHeader pong = p.MaintenanceHeader();
        pong.SetType(MAINT_PONG);
        pong.SetPlayerID(c.PlayerID);
        PutLE32(p.Data() + MaintenanceHeaderSize, sequence);
        c.MaintenanceQueue.Add(std::move(packet));
        Ready.Set(c.Slot);
        Signal(SendEvent);
      } else if (type == MAINT_PONG && c.State == csConnected && p.Size() >= PongSize &&
                 GetLE32(p.Data() + MaintenanceHeaderSize) == c.MaintenanceSendSequence) {
        const int32_t rtt = c.PingTimer.ElapsedMs(3000, false);
        if (rtt >= 0) {
          c.AddRttSample(rtt);
          SyncSend(c);  // the resend deadline moved with ResendTimeout
        }
      }
      return;
    }
    default:
      return;
  }
}

bool TCustomPacketBuffer::TryReceive(uint32_t& playerID, TReceiveEvent& event,
                                     std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  TGuard guard(*this);
  return TryReceiveLocked(playerID, event, packet, waitMs);
}

bool TCustomPacketBuffer::TryReceiveLocked(uint32_t& playerID, TReceiveEvent& event,
                                           std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  TDefaultPerformanceTime now;
  now.Start();
  packet.reset();
  if (ShuttingDownFlag.load()) {
    playerID = 0;
    event = reShutdown;
    return true;
  }
  ReceiveEvent.Signaled = false;
  waitMs = 1000;
  const bool literal = Mode == TScanMode::Literal;
  if (literal ? ScanSilenceLiteral(now, playerID, event, waitMs)
              : ScanSilence(now, playerID, event))
    return true;
  if (ReceiveQueue.Count() > 0) {
    packet = ReceiveQueue.Get();
    playerID = packet->PlayerID();
    event = rePacket;
    return true;
  }
  if (!literal) waitMs = std::min(waitMs, SilenceWait(now));
  return false;
}

// The round of the listener's try: reports the first connection after the
// cursor that is closed or has been silent too long.
bool TCustomPacketBuffer::ScanSilence(TDefaultPerformanceTime& now, uint32_t& playerID,
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
  // Visit the candidates in round-robin order from the cursor.
  for (;;) {
    const size_t slot = Due.FindNextCircular(CursorBase(ReceiveCursor));
    if (slot == NoSlot) return false;
    TSingleConnection& c = *Slots[slot];
    TReceiveEvent found = reClosed;
    if (c.State != csClosed) {
      const int32_t elapsed = c.LastReceiveTimer.ElapsedSince(now, TimerBound);
      if (c.Closing() && elapsed >= c.ClosingTimeout) {
        EnterClosed(c, false);
      } else if (std::max(0, c.SilenceLimit() - elapsed) == 0) {
        found = reTimeout;
      } else {
        Due.Clear(slot);
        SilenceHeap.Push(&c, SilenceKey(c));
        continue;
      }
    }
    ReceiveCursor = slot;
    playerID = c.PlayerID;
    event = found;
    return true;
  }
}

// Time until the earliest silence deadline: the earliest key, and the keys
// within NearKeysMs of it, are read once they are exact.
uint32_t TCustomPacketBuffer::SilenceWait(TDefaultPerformanceTime& now) {
  double bound = 0;
  for (;;) {
    if (SilenceHeap.Empty()) return 1000;
    bound = SilenceHeap.Top().Key + NearKeysMs;
    Scratch.clear();
    SilenceHeap.VisitUpTo(bound, [&](const auto& e) {
      if (SilenceKey(*e.Conn) != e.Key) Scratch.push_back(e.Conn);
    });
    if (Scratch.empty()) break;
    for (TSingleConnection* c : Scratch) SilenceHeap.Update(c, SilenceKey(*c));
  }
  int32_t left = 1000;
  SilenceHeap.VisitUpTo(bound, [&](const auto& e) {
    TSingleConnection& c = *e.Conn;
    left = std::min(left, c.SilenceLimit() - c.LastReceiveTimer.ElapsedSince(now, TimerBound));
  });
  return uint32_t(std::max(0, left));
}

void TCustomPacketBuffer::WaitReceived(uint32_t& playerID, TReceiveEvent& event,
                                       std::unique_ptr<TPacket>& packet) {
  TGuard guard(*this);
  uint32_t waitMs = 0;
  while (!TryReceiveLocked(playerID, event, packet, waitMs))
    WaitLocked(guard, ReceiveEvent, waitMs + 2);
}

// ---------------------------------------------------------------------------
// Sending

void TCustomPacketBuffer::SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter) {
  if (!packet) return;
  TGuard guard(*this);
  QueueLocked(packet, closeAfter);
}

void TCustomPacketBuffer::SendPackets(std::vector<std::unique_ptr<TPacket>>& packets) {
  try {
    TGuard guard(*this);
    for (auto& packet : packets)
      if (packet) QueueLocked(packet, false);
  } catch (...) {
    packets.clear();
    throw;
  }
  packets.clear();
}

// Queues one packet; false when it was refused (and freed).
bool TCustomPacketBuffer::QueueLocked(std::unique_ptr<TPacket>& packet, bool closeAfter) {
  TSingleConnection* cp = Find(packet->PlayerID());  // EPacket for a datagram of no class
  if (!cp) {
    packet.reset();
    return false;
  }
  TSingleConnection& c = *cp;
  try {
    const TPacketClass cls = packet->Class();
    const bool open = (c.State == csLogin || c.State == csConnected) && !c.CloseRequested;
    if (cls == TPacketClass::VoiceS2C && !(open && c.State == csConnected))
      throw ECustomPacketBuffer(
          "Sending voice packet to pre connected, closing or closed connection");
    if (!open) throw ECustomPacketBuffer("Sending packet to closing or closed connection");
    switch (cls) {
      case TPacketClass::Command:
        c.CommandQueue.Add(std::move(packet));
        break;
      case TPacketClass::VoiceS2C:
        c.VoiceQueue.Add(std::move(packet));
        break;
      case TPacketClass::Maintenance:
        c.MaintenanceQueue.Add(std::move(packet));
        break;
      default:
        throw ECustomPacketBuffer("Invalid packet on buffer");
    }
    Signal(SendEvent);
    if (closeAfter) {
      // The mend: with commands queued, the connection enters csClosing only
      // once the last of them (this one, when it is a command) is pending.
      if (c.CommandQueue.Count() > 0)
        RequestClose(c);
      else
        EnterClosing(c);
    }
    SyncSend(c);
    return true;
  } catch (const ECustomPacketBuffer&) {
    packet.reset();  // dropped quietly
    return false;
  }
}

std::unique_ptr<TPacket> TCustomPacketBuffer::NextPacket(TSingleConnection& c,
                                                         TDefaultPerformanceTime& now) {
  std::unique_ptr<TPacket> p;
  if (c.AckQueue.Count() > 0) {
    p = c.AckQueue.Get();
  } else {
    bool resend = false;
    if (c.PendingCommand) {
      resend = c.ResendTimer.ElapsedSince(now, TimerBound) > c.ResendTimeout;
      c.ResendDue = false;  // resent now, or found not due after all
    }
    if (resend) {
      Counters.Resent();
      TCommandHeader h = c.PendingCommand->CommandHeader();
      h.SetResendCount(uint16_t(h.ResendCount() + 1));
      p = std::make_unique<TPacket>();
      p->Assign(*c.PendingCommand);
      Restart(c.ResendTimer);
    } else if (!c.PendingCommand && c.CommandQueue.Count() > 0) {
      c.PendingCommand = c.CommandQueue.Get();
      TCommandHeader h = c.PendingCommand->CommandHeader();
      c.CommandSendSequence += 1;
      h.SetSequence(c.CommandSendSequence);
      h.SetConnectionID(c.ConnectionID);
      h.SetResendCount(0);
      Restart(c.PendingSentTimer);
      c.ResendTimer.Assign(c.PendingSentTimer);
      p = std::make_unique<TPacket>();
      p->Assign(*c.PendingCommand);
      if (c.CloseRequested && c.CommandQueue.Count() == 0) EnterClosing(c);
    } else if (c.VoiceQueue.Count() > 0) {
      p = c.VoiceQueue.Get();
      c.VoiceSendCounter = c.VoiceSendCounter >= 65535 ? 0 : c.VoiceSendCounter + 1;
      TVoiceS2CHeader h = p->VoiceS2CHeader();
      h.SetVoiceCounter(uint16_t(c.VoiceSendCounter));
      h.SetConnectionID(c.ConnectionID);
    } else if (c.MaintenanceQueue.Count() > 0) {
      p = c.MaintenanceQueue.Get();
      TMaintenanceHeader h = p->MaintenanceHeader();
      c.MaintenanceSendSequence += 1;
      h.SetSequence(c.MaintenanceSendSequence);
      if (h.Type() != MAINT_LOGINREPLY) h.SetConnectionID(c.ConnectionID);
    }
  }
  if (p) {
    p->SealChecksum();
    p->SetPeer(c.PeerIP, c.PeerPort);
    c.LastSendTimer.Assign(now);
    c.PacketsSent += 1;
    c.BytesSent += int64_t(p->Size());
  }
  SyncSend(c);
  return p;
}

bool TCustomPacketBuffer::TrySend(std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  TGuard guard(*this);
  return TrySendLocked(packet, waitMs);
}

bool TCustomPacketBuffer::TrySendLocked(std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  TDefaultPerformanceTime now;
  now.Start();
  return TrySendLocked(packet, waitMs, now);
}

bool TCustomPacketBuffer::TrySendLocked(std::unique_ptr<TPacket>& packet, uint32_t& waitMs,
                                        TDefaultPerformanceTime& now) {
  SendEvent.Signaled = false;
  waitMs = 1000;
  return Mode == TScanMode::Literal ? ScanSendLiteral(now, packet, waitMs)
                                    : ScanSend(now, packet, waitMs);
}

// The round of the sender's try: one packet from the first connection after
// the cursor that has one.
bool TCustomPacketBuffer::ScanSend(TDefaultPerformanceTime& now, std::unique_ptr<TPacket>& packet,
                                   uint32_t& waitMs) {
  CheckClockJump(now);
  const double nowMs = StartMs(now);
  // Pending commands whose resend time has come join the ready set. Every
  // entry whose key has passed is read: keys a fraction of a microsecond
  // apart may stand in the heap in the other order than their readings.
  for (bool rekeyed = true; rekeyed;) {
    rekeyed = false;
    Scratch.clear();
    ResendHeap.VisitUpTo(nowMs + KeySlackMs, [&](const auto& e) { Scratch.push_back(e.Conn); });
    for (TSingleConnection* c : Scratch) {
      if (c->ResendTimer.ElapsedSince(now, TimerBound) > c->ResendTimeout) {
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
  for (;;) {
    const size_t slot = Ready.FindNextCircular(CursorBase(SendCursor));
    if (slot == NoSlot) break;
    packet = NextPacket(*Slots[slot], now);  // clears the bit when it finds nothing
    if (packet) {
      SendCursor = slot;
      return true;
    }
  }
  // Time until the earliest resend: the keys within NearKeysMs of the
  // earliest are read.
  if (!ResendHeap.Empty()) {
    int32_t left = int32_t(waitMs);
    ResendHeap.VisitUpTo(ResendHeap.Top().Key + NearKeysMs, [&](const auto& e) {
      TSingleConnection& c = *e.Conn;
      left = std::min(left, c.ResendTimeout - c.ResendTimer.ElapsedSince(now, TimerBound));
    });
    waitMs = uint32_t(std::max(0, left));
  }
  return false;
}

std::unique_ptr<TPacket> TCustomPacketBuffer::WaitSend() {
  if (ShuttingDownFlag.load()) return nullptr;
  TGuard guard(*this);
  std::unique_ptr<TPacket> packet;
  uint32_t waitMs = 0;
  bool found = TrySendLocked(packet, waitMs);
  while (!found && !ShuttingDownFlag.load()) {
    WaitLocked(guard, SendEvent, waitMs + 2);
    if (!ShuttingDownFlag.load()) found = TrySendLocked(packet, waitMs);
  }
  if (packet && !ShuttingDownFlag.load()) {
    PacketsSent.fetch_add(1, std::memory_order_relaxed);
    BytesSent.fetch_add(int64_t(packet->Size()), std::memory_order_relaxed);
  }
  return packet;
}

// ---------------------------------------------------------------------------
// Turns

void TCustomPacketBuffer::BeginReceive(uint32_t& playerID, TReceiveEvent& event,
                                       std::unique_ptr<TPacket>& packet) {
  TGuard guard(*this);
  for (;;) {
    if (ReceiveTurn) {
      ReceiveTurnWanted = true;
      WaitLocked(guard, ReceiveEvent, 1000);
      continue;
    }
    uint32_t waitMs = 0;
    if (TryReceiveLocked(playerID, event, packet, waitMs)) {
      ReceiveTurn = true;
      return;
    }
    ListenerWakeAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs + 2);
    WaitLocked(guard, ReceiveEvent, waitMs + 2);
  }
}

bool TCustomPacketBuffer::TryBeginReceive(uint32_t& playerID, TReceiveEvent& event,
                                          std::unique_ptr<TPacket>& packet) {
  TGuard guard(*this);
  return TryBeginReceiveLocked(playerID, event, packet);
}

bool TCustomPacketBuffer::ContinueReceive(uint32_t& playerID, TReceiveEvent& event,
                                          std::unique_ptr<TPacket>& packet) {
  TGuard guard(*this);
  EndReceiveLocked();
  return TryBeginReceiveLocked(playerID, event, packet);
}

bool TCustomPacketBuffer::TryBeginReceiveLocked(uint32_t& playerID, TReceiveEvent& event,
                                                std::unique_ptr<TPacket>& packet) {
  if (ReceiveTurn || ShuttingDownFlag.load()) return false;
  uint32_t waitMs = 0;
  if (TryReceiveLocked(playerID, event, packet, waitMs)) {
    ReceiveTurn = true;
    return true;
  }
  // Events handled here may have brought a silence deadline before the end
  // of the listener's sleep (a new connection, a shorter timeout): it then
  // wakes up and plans anew.
  if (ReceiveEvent.Waiting > 0 &&
      std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs + 2) < ListenerWakeAt)
    Signal(ReceiveEvent, true);
  return false;
}

void TCustomPacketBuffer::EndReceive() {
  TGuard guard(*this);
  EndReceiveLocked();
}

void TCustomPacketBuffer::EndReceiveLocked() {
  ReceiveTurn = false;
  if (ReceiveTurnWanted) {
    ReceiveTurnWanted = false;
    Signal(ReceiveEvent, true);
  }
}

void TCustomPacketBuffer::WakeListener() {
  TGuard guard(*this);
  Signal(ReceiveEvent, true);
}

void TCustomPacketBuffer::FillSendBatch(std::vector<std::unique_ptr<TPacket>>& out, size_t max) {
  std::unique_ptr<TPacket> packet;
  uint32_t waitMs = 0;
  // The packets of a batch are taken at one instant.
  TDefaultPerformanceTime now;
  now.Start();
  while (out.size() < max && TrySendLocked(packet, waitMs, now)) out.push_back(std::move(packet));
  if (out.size() < max && SendEvent.Waiting > 0 &&
      std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs + 2) < SenderWakeAt) {
    // A resend is due before the sender's sleep ends (a command went out
    // from another thread): it wakes up and plans anew.
    Signal(SendEvent, true);
  }
  int64_t bytes = 0;
  for (const auto& p : out) bytes += int64_t(p->Size());
  PacketsSent.fetch_add(uint32_t(out.size()), std::memory_order_relaxed);
  BytesSent.fetch_add(bytes, std::memory_order_relaxed);
}

size_t TCustomPacketBuffer::BeginSend(std::vector<std::unique_ptr<TPacket>>& out, size_t max) {
  out.clear();
  if (max == 0) return 0;
  TGuard guard(*this);
  for (;;) {
    if (ShuttingDownFlag.load()) return 0;
    if (SendTurn) {
      SendTurnWanted = true;
      WaitLocked(guard, SendEvent, 1000);
      continue;
    }
    std::unique_ptr<TPacket> packet;
    uint32_t waitMs = 0;
    if (TrySendLocked(packet, waitMs)) {
      out.push_back(std::move(packet));
      FillSendBatch(out, max);
      SendTurn = true;
      return out.size();
    }
    SenderWakeAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs + 2);
    WaitLocked(guard, SendEvent, waitMs + 2);
  }
}

bool TCustomPacketBuffer::TryBeginSend(std::vector<std::unique_ptr<TPacket>>& out, size_t max) {
  out.clear();
  TGuard guard(*this);
  if (SendTurn || max == 0 || ShuttingDownFlag.load()) return false;
  FillSendBatch(out, max);
  if (out.empty()) return false;
  SendTurn = true;
  return true;
}

bool TCustomPacketBuffer::ContinueSend(std::vector<std::unique_ptr<TPacket>>& out, size_t max) {
  out.clear();
  TGuard guard(*this);
  if (!ShuttingDownFlag.load() && max > 0) FillSendBatch(out, max);
  if (!out.empty()) return true;
  SendTurn = false;
  if (SendTurnWanted) {
    SendTurnWanted = false;
    Signal(SendEvent, true);
  }
  return false;
}

// ---------------------------------------------------------------------------
// The plain scans as designed (TScanMode::Literal): every try visits the
// connections one by one from an index cursor. The reference for tests.

std::vector<TSingleConnection*> TCustomPacketBuffer::ConnectionList() const {
  std::vector<TSingleConnection*> list;
  for (size_t s = Live.FindNext(0); s != NoSlot; s = Live.FindNext(s + 1))
    list.push_back(Slots[s].get());
  return list;
}

// A removal shifts the list under the index cursors. The plain design leaves
// them where they are, which skips a connection; here they keep naming the
// connection served or reported last, as the slot cursors of the indexed
// mode do, so that both modes can be compared with removals too.
void TCustomPacketBuffer::ShiftLiteralCursors(const TSingleConnection& removed) {
  int32_t index = 0;
  for (size_t s = Live.FindNext(0); s != removed.Slot; s = Live.FindNext(s + 1)) ++index;
  auto shift = [&](int32_t& cursor, bool named) {
    if (!named || index > cursor) return;
    --cursor;  // -1: before the first connection
  };
  shift(LiteralSendCursor, SendCursor != CursorAtFirst);
  shift(LiteralReceiveCursor, ReceiveCursor != CursorAtFirst);
}

// One round of the plain design: visit the connections from the one after the
// index cursor, advancing it before each visit, until visit() says stop or
// the cursor is back where it started.
template <class F>
bool TCustomPacketBuffer::LiteralRound(int32_t& cursor, F visit) {
  const std::vector<TSingleConnection*> list = ConnectionList();
  const int32_t count = int32_t(list.size());
  if (cursor >= count) cursor = 0;
  if (count == 0) return false;
  const bool beforeFirst = cursor < 0;
  if (beforeFirst) cursor = count - 1;
  const int32_t start = cursor;
  do {
    cursor = (cursor + 1) % count;
    if (visit(*list[size_t(cursor)])) return true;
  } while (cursor != start);
  if (beforeFirst) cursor = -1;
  return false;
}

bool TCustomPacketBuffer::ScanSendLiteral(TDefaultPerformanceTime& now,
                                          std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
  return LiteralRound(LiteralSendCursor, [&](TSingleConnection& c) {
    if (c.State == csClosed) return false;
    packet = NextPacket(c, now);
    if (packet) {
      SendCursor = c.Slot;  // named from now on (see ShiftLiteralCursors)
      return true;
    }
    const int32_t nextDue =
        c.PendingCommand
            ? std::max(0, c.ResendTimeout - c.ResendTimer.ElapsedSince(now, TimerBound))
            : 3000;
    waitMs = std::min(waitMs, uint32_t(nextDue));
    return false;
  });
}

bool TCustomPacketBuffer::ScanSilenceLiteral(TDefaultPerformanceTime& now, uint32_t& playerID,
                                             TReceiveEvent& event, uint32_t& waitMs) {
  return LiteralRound(LiteralReceiveCursor, [&](TSingleConnection& c) {
    int32_t elapsed = 0;
    if (c.State != csClosed) elapsed = c.LastReceiveTimer.ElapsedSince(now, TimerBound);
    if (c.Closing() && elapsed >= c.ClosingTimeout) EnterClosed(c, false);
    if (c.State == csClosed || c.SilenceLimit() - elapsed <= 0) {
      ReceiveCursor = c.Slot;  // named from now on (see ShiftLiteralCursors)
      playerID = c.PlayerID;
      event = c.State == csClosed ? reClosed : reTimeout;
      return true;
    }
    waitMs = std::min(waitMs, uint32_t(c.SilenceLimit() - elapsed));
    return false;
  });
}

// ---------------------------------------------------------------------------
// Lifecycle

void TCustomPacketBuffer::Shutdown() {
  ShutdownRan = true;
  {
    TGuard guard(*this);
    ShuttingDownFlag.store(true);
    Signal(ReceiveEvent, true);
    Signal(SendEvent, true);
  }
  DoneEvent.WaitFor(2000);
}

// ---------------------------------------------------------------------------
// Wake-ups

TCustomPacketBuffer::TGuard::~TGuard() {
  if (!Held.owns_lock()) return;
  const uint8_t notify = Buffer.Notify;
  Buffer.Notify = 0;
  Held.unlock();
  if (notify & Buffer.ReceiveEvent.Bit) Buffer.ReceiveEvent.Cv.notify_one();
  if (notify & Buffer.SendEvent.Bit) Buffer.SendEvent.Cv.notify_one();
}

// The intake that asked for quiet, and a receive turn for the sender (its
// holder tries the send turn when it ends), hold back the notification; the
// wake-up stays set for the next try.
bool TCustomPacketBuffer::WakeSuppressed(const TWakeSignal& s) const {
  return IntakeQuiet || (&s == &SendEvent && ReceiveTurn);
}

void TCustomPacketBuffer::Signal(TWakeSignal& s, bool force) {
  s.Signaled = true;
  if (s.Waiting > 0 && (force || !WakeSuppressed(s))) Notify |= s.Bit;
}

void TCustomPacketBuffer::NotifyPending() {
  if (Notify & ReceiveEvent.Bit) ReceiveEvent.Cv.notify_one();
  if (Notify & SendEvent.Bit) SendEvent.Cv.notify_one();
  Notify = 0;
}

void TCustomPacketBuffer::WaitLocked(TGuard& guard, TWakeSignal& s, uint32_t ms) {
  // What this thread signalled is delivered before it sleeps.
  NotifyPending();
  ++s.Waiting;
  s.Cv.wait_for(guard.Held, std::chrono::milliseconds(ms), [&] { return s.Signaled; });
  --s.Waiting;
  s.Signaled = false;  // consumed, as the auto-reset event
}

void TCustomPacketBuffer::ThreadDone(int bit) {
  if (bit < 0 || bit > 7) return;
  const uint8_t mask = uint8_t(1u << bit);
  const uint8_t bits = uint8_t(DoneBits.fetch_or(mask) | mask);
  if (bits == 0x03) DoneEvent.SetEvent();
}

}  // namespace vx
