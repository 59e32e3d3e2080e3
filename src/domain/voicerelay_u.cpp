#include "domain/voicerelay_u.h"

#include <cstring>
#include <vector>

#include "domain/HandlerContext.h"
#include "domain/ServerState.h"
#include "domain/channelobject_u.h"
#include "domain/permissions_u.h"
#include "domain/scopenotify_u.h"
#include "host/logdebug.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

constexpr const char* VoiceCategory = "UDP VOICE";

// The frames of one relayed packet, queued together so that the buffer is
// locked and the sender woken once per fan-out rather than per recipient.
std::vector<std::unique_ptr<TPacket>>& FrameBatch() {
  static thread_local std::vector<std::unique_ptr<TPacket>> batch;
  return batch;
}

// One outgoing frame: the 22-byte header, then the voice data unchanged.
void QueueFrame(const TVoiceC2SHeader& in, uint8_t target, const TClientObject& recipient,
                const uint8_t* voice, size_t voiceSize) {
  auto packet = std::make_unique<TPacket>(VoiceS2CHeaderSize + voiceSize);
  PutLE16(packet->Data(), MAGIC_VOICES2C);
  std::memcpy(packet->Data() + VoiceS2CHeaderSize, voice, voiceSize);
  auto out = packet->VoiceS2CHeader();
  out.SetTarget(target);
  out.SetPassThrough1(in.PassThrough1());
  out.SetConnectionID(recipient.ConnectionID);
  out.SetPlayerID(recipient.PlayerID);
  out.SetVoiceCounter(in.VoiceCounter());
  out.SetPassThrough2(in.PassThrough2());
  out.SetSenderPlayerID(in.PlayerID());
  out.SetSenderCounter(in.VoiceCounter());
  FrameBatch().push_back(std::move(packet));
}

void SendFrames(TServerState& server) {
  auto& batch = FrameBatch();
  if (!batch.empty()) server.PacketBuffer->SendPackets(batch);
}

// Kinds 0 and 2: the players of the speaker's own channel hear the frame
// when the speaker may speak to permissionChannel.
void RelayToOwnChannel(THandlerContext& l, const TChannelRec* permissionChannel)
    VX_REQUIRES(l.Server.Players.Lock, *l.Server.Channels) {
  TPacket& frame = *l.CurrentPacket;
  const TClientObject* speaker = l.CurrentClient;
  if (speaker == nullptr || !speaker->LoginComplete) return;
  if (!CheckPlayerCanSpeakToChannel(RulesOf(l.Server), *l.Server.Channels, speaker,
                                    permissionChannel)) {
    return;
  }
  const TVoiceC2SHeader in = frame.VoiceC2SHeader();
  const uint8_t* voice = frame.Data() + VoiceC2SHeaderSize;
  const size_t voiceSize = frame.Size() - VoiceC2SHeaderSize;
  FrameBatch().clear();
  const std::vector<TClientObject*>& listeners = l.Server.Players.InChannel(speaker->ChannelID);
  // The listeners' records are fetched from memory together rather than one
  // after the other.
  for (const TClientObject* recipient : listeners) __builtin_prefetch(recipient);
  for (TClientObject* recipient : listeners) {
    if (recipient == speaker) continue;
    QueueFrame(in, in.Target(), *recipient, voice, voiceSize);
  }
  SendFrames(l.Server);
}

}  // namespace

void ProgressVoiceData(THandlerContext& l) {
  if (!l.CurrentPacket || !l.CurrentPacket->IsVoiceC2S()) return;
  switch (l.CurrentPacket->VoiceC2SHeader().Target()) {
    case VOICETARGET_CHANNEL:
      ProgressVoiceData_SendVoiceDataToChannel(l);
      break;
    case VOICETARGET_WHISPER:
      ProgressVoiceData_SendVoiceDataWhisper(l);
      break;
    case VOICETARGET_PARENT:
      ProgressVoiceData_SendVoiceDataToParentChannel(l);
      break;
    default:
      break;
  }
}

void ProgressVoiceData_SendVoiceDataToChannel(THandlerContext& l) {
  try {
    if (l.CurrentPacket->Size() <= VoiceC2SHeaderSize) {
      Log(LMTDEBUG, LMDALL, VoiceCategory,
          "TVXUDPListener.ProgressVoiceData_SendVoiceDataToChannel, unable to allocate memory");
      return;
    }
    const TClientObject* speaker = l.CurrentClient;
    const TChannelRec* channel =
        speaker ? l.Server.Channels->GetChannelByID(speaker->ChannelID) : nullptr;
    RelayToOwnChannel(l, channel);
  } catch (const std::exception& e) {
    l.LogHandlerException("ProgressVoiceData_SendVoiceDataToChannel", e);
  }
}

void ProgressVoiceData_SendVoiceDataToParentChannel(THandlerContext& l) {
  try {
    if (l.CurrentPacket->Size() <= VoiceC2SHeaderSize) {
      Log(LMTDEBUG, LMDALL, VoiceCategory,
          "TVXUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to allocate "
          "memory");
      return;
    }
    const TClientObject* speaker = l.CurrentClient;
    TChannels& channels = *l.Server.Channels;
    const TChannelRec* channel = speaker ? channels.GetChannelByID(speaker->ChannelID) : nullptr;
    const TChannelRec* parent = channel ? channels.GetChannelByID(channel->Parent) : nullptr;
    if (parent == nullptr) {
      Log(LMTDEBUG, LMDALL, VoiceCategory,
          "TVXUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get "
          "parentchannel");
      return;
    }
    RelayToOwnChannel(l, parent);
  } catch (const std::exception& e) {
    l.LogHandlerException("ProgressVoiceData_SendVoiceDataToParentChannel", e);
  }
}

void ProgressVoiceData_SendVoiceDataWhisper(THandlerContext& l) {
  try {
    TPacket& frame = *l.CurrentPacket;
    const TClientObject* speaker = l.CurrentClient;
    using List = TWhisperListLayout;
    if (frame.Size() < List::Targets) throw EPacket("Stream read error");
    const uint8_t* p = frame.Data();
    const size_t targetCount = p[List::Count];
    if (targetCount == 0) return;
    const size_t listEnd = List::VoiceData(targetCount);
    if (frame.Size() < listEnd) throw EPacket("Stream read error");
    const size_t voiceSize = frame.Size() - listEnd;
    if (voiceSize == 0) return;
    const uint8_t* voice = p + listEnd;
    const TVoiceC2SHeader in = frame.VoiceC2SHeader();
    const uint32_t speakerID = in.PlayerID();

    struct TRecipient {
      uint32_t PlayerID;
      uint8_t Kind;
    };
    std::vector<TRecipient> recipients;
    const TServerRules rules = RulesOf(l.Server);
    for (size_t i = 0; i < targetCount; ++i) {
      const uint8_t* target = p + List::Target(i);
      const uint8_t kind = target[List::Kind];
      const uint32_t id = GetLE32(target + List::ID);
      if (kind == WHISPER_PLAYER) {
        if (id != speakerID) recipients.push_back({id, WHISPER_PLAYER});
      } else if (kind == WHISPER_CHANNEL) {
        const TChannelRec* channel = l.Server.Channels->GetChannelByID(int32_t(id));
        if (channel == nullptr ||
            !CheckPlayerCanSpeakToChannel(rules, *l.Server.Channels, speaker, channel)) {
          continue;
        }
        for (TClientObject* c : l.Server.Players.InChannel(channel->ChannelID)) {
          if (c != speaker) recipients.push_back({c->PlayerID, WHISPER_CHANNEL});
        }
      }
    }
    FrameBatch().clear();
    for (const TRecipient& r : recipients) {
      const TClientObject* recipient = l.Server.Players.ById(r.PlayerID);
      if (recipient == nullptr || (recipient->PlayerFlags & PLAYERFLAG_BLOCKWHISPERS) != 0 ||
          !recipient->LoginComplete) {
        continue;
      }
      QueueFrame(in, r.Kind, *recipient, voice, voiceSize);
    }
    SendFrames(l.Server);
  } catch (const std::exception& e) {
    l.LogHandlerException("ProgressVoiceData_SendVoiceDataWhisper", e);
  }
}

}  // namespace vx
