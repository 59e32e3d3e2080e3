#include "client/ClientSession.h"

#include <algorithm>

#include "common/ByteOrder.h"

namespace vx::client {

namespace {
constexpr int64_t MaxWaitMs = 1000;
}

void TClientSession::Start(uint32_t connectionID, uint32_t playerID, int64_t nowMs) {
  const TSessionSettings settings = Settings;
  *this = TClientSession(settings);
  IsActive = true;
  OwnConnectionID = connectionID;
  OwnPlayerID = playerID;
  // The server opens the connection expecting maintenance sequence 3 first:
  // the login request carried 1 and it counts one more for its own reply.
  // A ping numbered 2 would be discarded unanswered.
  MaintenanceSendSequence = LoginRequestSequence + 1;
  LastSendMs = LastReceiveMs = LastPingMs = nowMs;
}

void TClientSession::Stop() {
  IsActive = false;
  Pending.reset();
  CommandQueue.clear();
  Outbox.clear();
}

TReceiveKind TClientSession::Receive(const TPacket& packet, int64_t nowMs) {
  if (!IsActive || !packet.IsValid() || packet.IsVoiceC2S() ||
      packet.ConnectionID() != OwnConnectionID || packet.PlayerID() != OwnPlayerID) {
    ++Stats.Rejected;
    return TReceiveKind::Rejected;
  }
  LastReceiveMs = nowMs;
  const uint8_t* p = packet.Data();
  switch (packet.Class()) {
    case TPacketClass::Ack:
      if (Pending && GetLE32(p + 12) == GetLE32(Pending->Data() + 12)) {
        Pending.reset();
        ++Stats.AcksReceived;
      }
      return TReceiveKind::Ack;
    case TPacketClass::Command:
      Outbox.push_back(EncodeAck(packet, OwnConnectionID, OwnPlayerID));
      if (GetLE32(p + 12) != CommandExpected) {
        ++Stats.Repeats;
        return TReceiveKind::Repeat;
      }
      ++CommandExpected;
      ++Stats.CommandsReceived;
      if (DeliveredCommands.size() >= Settings.MaxDelivered) {
        ++Stats.Dropped;
      } else {
        TPacket copy;
        copy.Assign(packet);
        DeliveredCommands.push_back(std::move(copy));
      }
      return TReceiveKind::Command;
    case TPacketClass::VoiceS2C:
      if (DeliveredVoice.size() >= Settings.MaxDelivered)
        ++Stats.Dropped;
      else
        DeliveredVoice.push_back(*DecodeVoice(packet));
      return TReceiveKind::Voice;
    case TPacketClass::Maintenance:
      if (auto echoed = DecodePong(packet)) {
        if (PingOutstanding && *echoed == MaintenanceSendSequence) {
          PingOutstanding = false;
          Stats.LastRoundTripMs = nowMs - LastPingMs;
        }
        ++Stats.Pongs;
        return TReceiveKind::Pong;
      }
      return TReceiveKind::Maintenance;
    default:
      ++Stats.Rejected;
      return TReceiveKind::Rejected;
  }
}

void TClientSession::QueueCommand(TPacket command) {
  if (!command.IsCommand()) throw EClient("Only a command is sent reliably");
  if (CommandQueue.size() >= Settings.MaxQueuedCommands) throw EClient("Command queue is full");
  CommandQueue.push_back(std::move(command));
}

bool TClientSession::PingDue(int64_t nowMs) const {
  const int64_t interval = Settings.PingIntervalMs;
  return nowMs - LastSendMs >= interval ||
         (nowMs - LastReceiveMs >= interval && nowMs - LastPingMs >= interval);
}

void TClientSession::Poll(int64_t nowMs, std::vector<TPacket>& out) {
  if (!IsActive) return;
  const size_t before = out.size();
  for (TPacket& ack : Outbox) out.push_back(std::move(ack));
  Outbox.clear();

  if (Pending) {
    if (nowMs - LastTransmitMs >= Settings.ResendTimeoutMs) {
      auto header = Pending->CommandHeader();
      if (header.ResendCount() < 0xFFFF) header.SetResendCount(header.ResendCount() + 1);
      Pending->SealChecksum();
      LastTransmitMs = nowMs;
      ++Stats.Resends;
      out.emplace_back().Assign(*Pending);
    }
  } else if (!CommandQueue.empty()) {
    Pending = std::move(CommandQueue.front());
    CommandQueue.pop_front();
    auto header = Pending->CommandHeader();
    header.SetConnectionID(OwnConnectionID);
    header.SetPlayerID(OwnPlayerID);
    header.SetSequence(++CommandSendSequence);
    header.SetResendCount(0);
    Pending->SealChecksum();
    LastTransmitMs = nowMs;
    ++Stats.CommandsSent;
    out.emplace_back().Assign(*Pending);
  }

  if (PingDue(nowMs)) {
    out.push_back(EncodePing(OwnConnectionID, OwnPlayerID, ++MaintenanceSendSequence));
    LastPingMs = nowMs;
    PingOutstanding = true;
    ++Stats.PingsSent;
  }
  if (out.size() > before) LastSendMs = nowMs;
}

int64_t TClientSession::NextDueMs(int64_t nowMs) const {
  if (!IsActive) return MaxWaitMs;
  if (!Outbox.empty() || (!Pending && !CommandQueue.empty())) return 0;
  const int64_t interval = Settings.PingIntervalMs;
  int64_t due = std::min(LastSendMs, std::max(LastReceiveMs, LastPingMs)) + interval;
  if (Pending) due = std::min(due, LastTransmitMs + Settings.ResendTimeoutMs);
  return std::clamp<int64_t>(due - nowMs, 0, MaxWaitMs);
}

uint16_t TClientSession::NextVoiceCounter() {
  // The server expects 0 after 65534, so 65535 is never used.
  VoiceCounter = VoiceCounter >= 65534 ? 0 : uint16_t(VoiceCounter + 1);
  return VoiceCounter;
}

std::optional<TPacket> TClientSession::TakeCommand() {
  if (DeliveredCommands.empty()) return {};
  TPacket packet = std::move(DeliveredCommands.front());
  DeliveredCommands.pop_front();
  return packet;
}

std::optional<TPacket> TClientSession::TakeCommand(int16_t code) {
  for (auto it = DeliveredCommands.begin(); it != DeliveredCommands.end(); ++it) {
    if (CommandCode(*it) != code) continue;
    TPacket packet = std::move(*it);
    DeliveredCommands.erase(it);
    return packet;
  }
  return {};
}

std::optional<TReceivedVoice> TClientSession::TakeVoice() {
  if (DeliveredVoice.empty()) return {};
  TReceivedVoice voice = std::move(DeliveredVoice.front());
  DeliveredVoice.pop_front();
  return voice;
}

}  // namespace vx::client
