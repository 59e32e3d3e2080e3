#include "transport/SingleConnection.h"

#include <algorithm>
#include <limits>

#include "common/WireLayout.h"

namespace vx {

namespace {

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

}  // namespace

const char* IntakeResultText(TIntakeResult result) {
  switch (result) {
    case TIntakeResult::Accepted:
      return "accepted";
    case TIntakeResult::Repeated:
      return "repeated";
    case TIntakeResult::NoConnection:
      return "no connection";
    case TIntakeResult::ListenerBusy:
      return "listener busy";
    case TIntakeResult::Invalid:
      return "Invalid Packet";
    case TIntakeResult::ServerToClient:
      return "S2C recv on Server";
    case TIntakeResult::WrongConnection:
      return "wrong Connection + player combo";
    case TIntakeResult::AfterClose:
      return "recv data after close";
    case TIntakeResult::CommandWhileClosing:
      return "recv command while closing.";
    case TIntakeResult::VoiceDuringLogin:
      return "Recv voice data during login";
  }
  return "";
}

const char* QueueResultText(TQueueResult result) {
  switch (result) {
    case TQueueResult::Queued:
      return "queued";
    case TQueueResult::NoConnection:
      return "no connection";
    case TQueueResult::Closing:
      return "Sending packet to closing or closed connection";
    case TQueueResult::VoiceNotConnected:
      return "Sending voice packet to pre connected, closing or closed connection";
    case TQueueResult::InvalidClass:
      return "Invalid packet on buffer";
    case TQueueResult::Overflow:
      return "queue full";
  }
  return "";
}

TSingleConnection::TSingleConnection(uint32_t playerID, uint32_t connectionID, uint32_t peerAddress,
                                     uint16_t peerPort, uint32_t firstMaintenanceSequence,
                                     const TConnectionTimeouts& timeouts)
    : PlayerID(playerID),
      ConnectionID(connectionID),
      PeerAddress(peerAddress),
      PeerPort(peerPort),
      MaintenanceExpected(firstMaintenanceSequence + 2),
      MaintenanceSendSequence(firstMaintenanceSequence),
      ClosingTimeout(timeouts.ClosingTimeout),
      LoginTimeout(timeouts.LoginTimeout),
      ConnectedTimeout(timeouts.ConnectedTimeout) {
  Restart(PendingSentTimer);
  Restart(ResendTimer);
  Restart(LastReceiveTimer);
  Restart(PingTimer);
  RttSamples.fill(50);
  RttIndex = 0;
  AddRttSample(50);  // RttIndex 1, AveragePing 50, ResendTimeout 60
}

void TSingleConnection::Restart(TDefaultPerformanceTime& timer) {
  timer.Start();
  LatestTimerStart = std::max(LatestTimerStart, timer.StartInstant().Value);
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
  if (Overflowed && State != csClosed) return 0;
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

bool TSingleConnection::SpendCredit(size_t bytes) {
  if (Validated) return true;
  if (int64_t(bytes) > Credit) return false;
  Credit -= int64_t(bytes);
  return true;
}

void TSingleConnection::SetTimeouts(const TConnectionTimeouts& timeouts) {
  LoginTimeout = timeouts.LoginTimeout;
  ConnectedTimeout = timeouts.ConnectedTimeout;
  ClosingTimeout = timeouts.ClosingTimeout;
}

uint16_t TSingleConnection::PacketLoss() const {
  if (PacketsReceived == 0) return 0;
  const __int128 lost = PacketsLost;
  const int64_t loss = RoundHalfEven(lost * 10000, __int128(PacketsReceived) + lost);
  return uint16_t(std::clamp<int64_t>(loss, 0, std::numeric_limits<uint16_t>::max()));
}

void TSingleConnection::GuardClock(const TDefaultPerformanceTime& now) {
  // Every timer reading restarts a timer that lies in the future.
  if (State != csClosed) LastReceiveTimer.ElapsedSince(now, TimerBound);
  if (PendingCommand) ResendTimer.ElapsedSince(now, TimerBound);
  LatestTimerStart = std::min(LatestTimerStart, now.StartInstant().Value);
}

// ---------------------------------------------------------------------------
// Closing

// A close request and csClosing each start a fresh silence clock, so that
// the client has the whole ClosingTimeout to acknowledge what is pending.
void TSingleConnection::RequestClose(TConnectionEffects& fx) {
  CloseRequested = true;
  Restart(LastReceiveTimer);
  fx.StateChanged = fx.SilenceEarlier = true;
}

void TSingleConnection::EnterClosing(TConnectionEffects& fx) {
  State = csClosing;
  CloseRequested = false;
  Restart(LastReceiveTimer);
  fx.StateChanged = fx.SilenceEarlier = true;
}

void TSingleConnection::EnterClosed(TConnectionEffects& fx) {
  State = csClosed;
  CloseRequested = false;
  ResendDue = false;
  fx.StateChanged = true;
}

void TSingleConnection::Close(TConnectionEffects& fx) {
  if (Closing() || State == csClosed) return;
  // With commands queued, the connection enters csClosing only once the
  // last of them is pending.
  if (CommandQueue.Count() > 0)
    RequestClose(fx);
  else
    EnterClosing(fx);
}

// ---------------------------------------------------------------------------
// Receiving

TIntakeResult TSingleConnection::Receive(std::unique_ptr<TPacket>& packet, TPacketClass cls,
                                         bool canDeliver, TConnectionEffects& fx) {
  TPacket& p = *packet;
  if (GetLE32(p.Data() + 4) != ConnectionID) return TIntakeResult::WrongConnection;
  if (State == csClosed) return TIntakeResult::AfterClose;
  Reported = false;  // alive again: its next silence is reported anew
  Validated = true;
  PeerAddress = p.PeerAddress;
  PeerPort = p.PeerPort;
  Restart(LastReceiveTimer);
  fx.Received = true;

  switch (cls) {
    case TPacketClass::Ack:
      return ReceiveAck(p, fx);
    case TPacketClass::Command: {
      const TCommandHeader cmd = p.CommandHeader();
      const bool next = cmd.Sequence() == CommandExpected;
      // With the listener's queue full the command is neither acknowledged
      // nor counted: the client sends it again.
      if (next && !canDeliver) return TIntakeResult::ListenerBusy;
      auto ackPacket = std::make_unique<TPacket>(AckPacketSize);
      PutLE16(ackPacket->Data(), MAGIC_ACK);
      TAckHeader ack = ackPacket->AckHeader();
      ack.SetResendCount(cmd.ResendCount());
      ack.SetConnectionID(ConnectionID);
      ack.SetPlayerID(PlayerID);
      ack.SetSequence(cmd.Sequence());
      AckQueue.Add(std::move(ackPacket));
      PacketsReceived += 1;
      BytesReceived += int64_t(p.Size());
      if (!next) return TIntakeResult::Repeated;  // acknowledged all the same
      CommandExpected += 1;
      if (State == csClosing) return TIntakeResult::CommandWhileClosing;
      fx.Deliver = true;
      return TIntakeResult::Accepted;
    }
    case TPacketClass::VoiceC2S: {
      if (State == csLogin) return TIntakeResult::VoiceDuringLogin;
      if (!canDeliver) return TIntakeResult::ListenerBusy;  // late voice is worthless anyway
      const uint32_t counter = p.VoiceC2SHeader().VoiceCounter();
      if (counter >= VoiceExpected) {
        const uint32_t gap = counter - VoiceExpected;
        if (gap < 10000) PacketsLost += gap;
        VoiceExpected = counter + 1 >= 65535 ? 0 : counter + 1;
      }
      PacketsReceived += 1;
      BytesReceived += int64_t(p.Size());
      // Voice that lay in the socket too long (the server could not keep
      // up) is dropped here, before it costs a relay to every listener.
      if (p.WaitedMs > VoiceMaxWaitMs) {
        ++fx.StaleVoice;
        return TIntakeResult::Accepted;
      }
      fx.Deliver = true;
      return TIntakeResult::Accepted;
    }
    case TPacketClass::Maintenance:
      return ReceiveMaintenance(packet);
    default:
      return TIntakeResult::Invalid;
  }
}

TIntakeResult TSingleConnection::ReceiveAck(TPacket& p, TConnectionEffects& fx) {
  PacketsReceived += 1;
  BytesReceived += int64_t(AckPacketSize);
  const TAckHeader ack = p.AckHeader();
  if (!PendingCommand) return TIntakeResult::Accepted;
  const TCommandHeader pending = PendingCommand->CommandHeader();
  if (pending.Sequence() != ack.Sequence()) return TIntakeResult::Accepted;
  if (ack.ResendCount() == 0) {
    const int32_t rtt = PendingSentTimer.ElapsedMs(TimerBound, true);
    if (rtt > 0) AddRttSample(rtt);
  } else {
    PacketsLost += ack.ResendCount();
  }
  if (State == csLogin && pending.Code() == cmd::CMD_sc_LoginStep6) {
    State = csConnected;
    fx.StateChanged = true;
  } else if (State == csClosing) {
    EnterClosed(fx);
  }
  PendingCommand.reset();
  ResendDue = false;
  return TIntakeResult::Accepted;
}

TIntakeResult TSingleConnection::ReceiveMaintenance(std::unique_ptr<TPacket>& packet) {
  TPacket& p = *packet;
  const TMaintenanceHeader h = p.MaintenanceHeader();
  const uint32_t sequence = h.Sequence();
  if (sequence < MaintenanceExpected) return TIntakeResult::Repeated;
  PacketsLost += sequence - MaintenanceExpected;
  MaintenanceExpected = sequence + 1;
  const uint16_t type = h.Type();
  if (type == MAINT_PING && State == csConnected) {
    // Answered in place; ConnectionID, Sequence and Checksum are written
    // when the pong is sent.
    p.Resize(PongSize);
    TMaintenanceHeader pong = p.MaintenanceHeader();
    pong.SetType(MAINT_PONG);
    pong.SetPlayerID(PlayerID);
    PutLE32(p.Data() + TPongLayout::PingSequence, sequence);
    MaintenanceQueue.Add(std::move(packet));
  } else if (type == MAINT_PONG && State == csConnected && p.Size() >= PongSize &&
             GetLE32(p.Data() + TPongLayout::PingSequence) == MaintenanceSendSequence) {
    const int32_t rtt = PingTimer.ElapsedMs(3000, false);
    if (rtt >= 0) AddRttSample(rtt);  // the resend deadline moves with ResendTimeout
  }
  return TIntakeResult::Accepted;
}

// ---------------------------------------------------------------------------
// Sending

TQueueResult TSingleConnection::Queue(std::unique_ptr<TPacket>& packet, bool closeAfter,
                                      uint32_t msNow, TConnectionEffects& fx) {
  const TPacketClass cls = packet->Class();
  const bool open = (State == csLogin || State == csConnected) && !CloseRequested && !Overflowed;
  if (cls == TPacketClass::VoiceS2C && !(open && State == csConnected && !Reported))
    return TQueueResult::VoiceNotConnected;
  if (!open || Reported) return TQueueResult::Closing;
  TPacketFIFO* queue = nullptr;
  switch (cls) {
    case TPacketClass::Command:
      queue = &CommandQueue;
      break;
    case TPacketClass::VoiceS2C:
      queue = &VoiceQueue;
      packet->QueuedMs = msNow;
      break;
    case TPacketClass::Maintenance:
      queue = &MaintenanceQueue;
      break;
    default:
      return TQueueResult::InvalidClass;
  }
  if (queue->Full()) {
    // The peer does not take what it is sent: it goes, as if silent, and
    // whatever queued this goes on for everyone else.
    Overflowed = true;
    fx.SilenceEarlier = true;
    return TQueueResult::Overflow;
  }
  queue->Add(std::move(packet));
  if (closeAfter) Close(fx);
  return TQueueResult::Queued;
}

bool TSingleConnection::HasSendable() const {
  return State != csClosed &&
         (AckQueue.Count() > 0 || ResendDue || (!PendingCommand && CommandQueue.Count() > 0) ||
          VoiceQueue.Count() > 0 || MaintenanceQueue.Count() > 0);
}

bool TSingleConnection::ResendElapsed(const TDefaultPerformanceTime& now) {
  return ResendTimer.ElapsedSince(now, TimerBound) > ResendTimeout;
}

int32_t TSingleConnection::ResendWait(const TDefaultPerformanceTime& now) {
  return std::max(0, ResendTimeout - ResendTimer.ElapsedSince(now, TimerBound));
}

std::unique_ptr<TPacket> TSingleConnection::NextPacket(const TDefaultPerformanceTime& now,
                                                       uint32_t msNow, TConnectionEffects& fx) {
  // What is dropped on the way (voice too old, packets beyond the credit)
  // does not use up the connection's turn: the next packet goes instead.
  for (;;) {
    const uint32_t droppedBefore = fx.CreditDrops + fx.StaleVoice;
    std::unique_ptr<TPacket> p = NextPacketOnce(now, msNow, fx);
    if (p || fx.CreditDrops + fx.StaleVoice == droppedBefore || !HasSendable()) return p;
  }
}

std::unique_ptr<TPacket> TSingleConnection::NextPacketOnce(const TDefaultPerformanceTime& now,
                                                           uint32_t msNow, TConnectionEffects& fx) {
  std::unique_ptr<TPacket> p;
  if (AckQueue.Count() > 0) {
    p = AckQueue.Get();
  } else {
    bool resend = false;
    if (PendingCommand) {
      resend = ResendElapsed(now);
      ResendDue = false;  // resent now, or found not due after all
    }
    if (resend) {
      TCommandHeader h = PendingCommand->CommandHeader();
      h.SetResendCount(uint16_t(h.ResendCount() + 1));
      Restart(ResendTimer);
      ++fx.Resends;
      if (SpendCredit(PendingCommand->Size())) {
        p = std::make_unique<TPacket>();
        p->Assign(*PendingCommand);
      } else {
        ++fx.CreditDrops;
      }
    } else if (!PendingCommand && CommandQueue.Count() > 0) {
      std::unique_ptr<TPacket> next = CommandQueue.Get();
      if (SpendCredit(next->Size())) {
        PendingCommand = std::move(next);
        TCommandHeader h = PendingCommand->CommandHeader();
        CommandSendSequence += 1;
        h.SetSequence(CommandSendSequence);
        h.SetConnectionID(ConnectionID);
        h.SetResendCount(0);
        Restart(PendingSentTimer);
        ResendTimer.Assign(PendingSentTimer);
        p = std::make_unique<TPacket>();
        p->Assign(*PendingCommand);
      } else {
        ++fx.CreditDrops;
      }
      if (CloseRequested && CommandQueue.Count() == 0) EnterClosing(fx);
    } else if (VoiceQueue.Count() > 0) {
      p = VoiceQueue.Get();
      if (uint32_t(msNow - p->QueuedMs) > VoiceMaxAgeMs) {
        ++fx.StaleVoice;
        p.reset();
      } else {
        VoiceSendCounter = VoiceSendCounter >= 65535 ? 0 : VoiceSendCounter + 1;
        TVoiceS2CHeader h = p->VoiceS2CHeader();
        h.SetVoiceCounter(uint16_t(VoiceSendCounter));
        h.SetConnectionID(ConnectionID);
      }
    } else if (MaintenanceQueue.Count() > 0) {
      p = MaintenanceQueue.Get();
      TMaintenanceHeader h = p->MaintenanceHeader();
      const bool loginReply = h.Type() == MAINT_LOGINREPLY;  // one per request, always sent
      if (loginReply || SpendCredit(p->Size())) {
        MaintenanceSendSequence += 1;
        h.SetSequence(MaintenanceSendSequence);
        if (!loginReply) h.SetConnectionID(ConnectionID);
      } else {
        ++fx.CreditDrops;
        p.reset();
      }
    }
  }
  if (p) {
    p->SealChecksum();
    p->SetPeer(PeerAddress, PeerPort);
    PacketsSent += 1;
    BytesSent += int64_t(p->Size());
  }
  return p;
}

// ---------------------------------------------------------------------------
// Silence

int32_t TSingleConnection::CheckSilence(const TDefaultPerformanceTime& now, bool& closed,
                                        bool& timedOut) {
  closed = timedOut = false;
  if (State == csClosed) {
    closed = true;
    return 0;
  }
  const int32_t elapsed = LastReceiveTimer.ElapsedSince(now, TimerBound);
  if (Closing() && elapsed >= ClosingTimeout) {
    TConnectionEffects fx;
    EnterClosed(fx);
    closed = true;
    return 0;
  }
  const int32_t left = std::max(0, SilenceLimit() - elapsed);
  if (left == 0) timedOut = true;
  return left;
}

}  // namespace vx
