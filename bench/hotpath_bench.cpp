// The pieces on the path of a relayed voice frame, one at a time: the
// checksum, building one outgoing frame, and the whole relay in-process
// (ProgressVoiceData for one frame, then the sender taking every packet out
// of the connection buffer). The load scenarios measure the same path
// through real sockets; these show what the code costs without the kernel.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/Packets.h"
#include "common/fcrc.h"
#include "domain/HandlerContext.h"
#include "domain/channelobject_u.h"
#include "domain/clientobject_u.h"
#include "domain/voicerelay_u.h"
#include "server/serverobject_u.h"
#include "transport/PacketBuffers.h"

namespace vx {
namespace {

void BM_Crc32(benchmark::State& state) {
  std::vector<uint8_t> data(size_t(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31);
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(24)->Arg(116)->Arg(556)->Arg(1400);

// Sealing and checking a command: what the buffer does per command sent and
// per command or maintenance packet received.
void BM_CommandChecksum(benchmark::State& state) {
  TPacket p = TPacket::WithMagic(MAGIC_COMMAND, size_t(state.range(0)));
  for (auto _ : state) {
    p.SealChecksum();
    benchmark::DoNotOptimize(p.IsValid());
  }
}
BENCHMARK(BM_CommandChecksum)->Arg(24)->Arg(556);

// One outgoing VOICES2C packet as the relay builds it: a new packet, the
// 22-byte header, the voice data copied, handed on and freed.
void BM_BuildVoiceS2C(benchmark::State& state) {
  const size_t voiceSize = size_t(state.range(0));
  std::vector<uint8_t> voice(voiceSize, 0x5A);
  TPacket in = TPacket::WithMagic(MAGIC_VOICEC2S, VoiceC2SHeaderSize + voiceSize);
  const TVoiceC2SHeader h = in.VoiceC2SHeader();
  for (auto _ : state) {
    auto p = std::make_unique<TPacket>(
        TPacket::WithMagic(MAGIC_VOICES2C, VoiceS2CHeaderSize + voiceSize));
    std::memcpy(p->Data() + VoiceS2CHeaderSize, voice.data(), voiceSize);
    auto out = p->VoiceS2CHeader();
    out.SetTarget(h.Target());
    out.SetPassThrough1(h.PassThrough1());
    out.SetConnectionID(7);
    out.SetPlayerID(9);
    out.SetVoiceCounter(h.VoiceCounter());
    out.SetPassThrough2(h.PassThrough2());
    out.SetSenderPlayerID(h.PlayerID());
    out.SetSenderCounter(h.VoiceCounter());
    benchmark::DoNotOptimize(p->Data());
  }
}
BENCHMARK(BM_BuildVoiceS2C)->Arg(60);

// A virtual server without sockets or threads: one channel with n players
// past their login, and a handler context to call the relay with.
struct TRelayFixture {
  explicit TRelayFixture(uint32_t players) : Server(std::make_shared<TServerObject>(Manager)) {
    Server->Channels = std::make_unique<TChannels>("bench");
    Server->Channels->CreateDefaultChannel();
    Server->PacketBuffer = std::make_unique<TCustomPacketBuffer>();
    const int32_t channel = Server->Channels->GetDefaultChannelID();
    TCustomPacketBuffer& buffer = *Server->PacketBuffer;
    for (uint32_t id = 1; id <= players; ++id) {
      auto c = std::make_unique<TClientObject>();
      c->PlayerID = id;
      c->ConnectionID = id * 2654435761u;
      c->ChannelID = channel;
      c->LoginComplete = true;
      buffer.AddConnection(id, c->ConnectionID, "127.0.0.1", uint16_t(10000 + id), 1);
      auto step6 = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_COMMAND, CommandHeaderSize));
      step6->CommandHeader().SetCode(8);
      step6->CommandHeader().SetPlayerID(id);
      buffer.SendPacket(std::move(step6), false);
      std::unique_ptr<TPacket> sent;
      uint32_t waitMs = 0;
      buffer.TrySend(sent, waitMs);
      auto ack = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_ACK, AckPacketSize));
      ack->AckHeader().SetConnectionID(c->ConnectionID);
      ack->AckHeader().SetPlayerID(id);
      ack->AckHeader().SetSequence(sent->CommandHeader().Sequence());
      buffer.ReceivePacket(std::move(ack));
      Server->Players.Items.push_back(std::move(c));
    }
    Server->Players.Changed();
    Context = std::make_unique<THandlerContext>(*Server);
  }
  TServerManager Manager;
  std::shared_ptr<TServerObject> Server;
  std::unique_ptr<THandlerContext> Context;
};

// One 60-byte frame of player 1 relayed to the n-1 others: the listener's
// work under its locks, then every packet taken as due. Items
// are relayed packets.
void BM_RelayFanOut(benchmark::State& state) {
  const uint32_t players = uint32_t(state.range(0));
  TRelayFixture f(players);
  THandlerContext& l = *f.Context;
  TClientObject* speaker = f.Server->Players.Items.front().get();
  TPacket frame = TPacket::WithMagic(MAGIC_VOICEC2S, VoiceC2SHeaderSize + 60);
  frame.VoiceC2SHeader().SetConnectionID(speaker->ConnectionID);
  frame.VoiceC2SHeader().SetPlayerID(speaker->PlayerID);
  uint16_t counter = 0;
  for (auto _ : state) {
    {
      TLockGuard<TMutex> playersLock(f.Server->Players.Lock);
      TLockGuard<TChannels> channelsLock(*f.Server->Channels);
      l.Clients = &f.Server->Players.Items;
      l.CurrentClient = speaker;
      l.CurrentPacket = std::make_unique<TPacket>();
      l.CurrentPacket->Assign(frame);
      l.CurrentPacket->VoiceC2SHeader().SetVoiceCounter(++counter);
      ProgressVoiceData(l);
      l.CurrentPacket.reset();
    }
    std::vector<std::unique_ptr<TPacket>> out;
    f.Server->PacketBuffer->TakeDue(out, players);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * (players - 1));
}
BENCHMARK(BM_RelayFanOut)->Arg(10)->Arg(51)->Arg(201);

}  // namespace
}  // namespace vx
