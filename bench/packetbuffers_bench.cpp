// The connection buffer alone, with 10, 1,000 and 10,000 connected players:
// datagrams in (ReceivePacket -> TryReceive), packets out (SendPacket ->
// TrySend), commands with their acknowledgements, and the memory that one
// connection takes. Packets are recycled between iterations, so what is
// measured is the buffer plus the copies and acks the protocol requires.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/Packets.h"
#include "transport/PacketBuffers.h"

namespace vx {
namespace {

constexpr const char* TestIP = "127.0.0.1";
constexpr uint16_t TestPort = 5000;

uint32_t Cid(uint32_t pid) {
  return pid * 2654435761u;
}

std::unique_ptr<TPacket> Make(uint16_t magic, size_t size, uint32_t pid) {
  auto p = std::make_unique<TPacket>(TPacket::WithMagic(magic, size));
  PutLE32(p->Data() + 8, pid);
  p->SetPeer(TestIP, TestPort);
  return p;
}

// The sender's try, and the listener's.
std::unique_ptr<TPacket> Next(TCustomPacketBuffer& buffer) {
  std::unique_ptr<TPacket> p;
  uint32_t waitMs = 0;
  buffer.TrySend(p, waitMs);
  return p;
}
void Take(TCustomPacketBuffer& buffer, uint32_t& pid, TReceiveEvent& event,
          std::unique_ptr<TPacket>& packet) {
  uint32_t waitMs = 0;
  buffer.TryReceive(pid, event, packet, waitMs);
}

void SetIds(TPacket& p, uint32_t pid) {
  PutLE32(p.Data() + 4, Cid(pid));
  PutLE32(p.Data() + 8, pid);
}

// A buffer with n players past their login (LoginStep6 sent and acknowledged).
struct TFixture {
  explicit TFixture(uint32_t n) {
    for (uint32_t pid = 1; pid <= n; ++pid) {
      Buffer.AddConnection(pid, Cid(pid), TestIP, TestPort, 1);
      auto step6 = Make(MAGIC_COMMAND, CommandHeaderSize, pid);
      step6->CommandHeader().SetCode(8);
      Buffer.SendPacket(std::move(step6), false);
      auto sent = Next(Buffer);
      auto ack = Make(MAGIC_ACK, AckPacketSize, pid);
      SetIds(*ack, pid);
      ack->AckHeader().SetSequence(sent->CommandHeader().Sequence());
      Buffer.ReceivePacket(std::move(ack));
    }
  }
  TCustomPacketBuffer Buffer;
};

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10)->Arg(1000)->Arg(10000);
}

// A voice datagram from each player in turn, through the intake to the
// listener.
void BM_VoiceIn(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  TFixture f(n);
  auto packet = Make(MAGIC_VOICEC2S, VoiceC2SHeaderSize + 30, 1);
  uint32_t pid = 0, eventPid = 0;
  uint16_t counter = 0;
  TReceiveEvent event;
  for (auto _ : state) {
    pid = pid % n + 1;
    if (pid == 1) ++counter;
    SetIds(*packet, pid);
    packet->VoiceC2SHeader().SetVoiceCounter(counter);
    f.Buffer.ReceivePacket(std::move(packet));
    Take(f.Buffer, eventPid, event, packet);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_VoiceIn)->Apply(Sizes);

// One voice packet queued for every player, then all of them taken by the
// sender, one per connection in turn.
void BM_VoiceOutAll(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  TFixture f(n);
  std::vector<std::unique_ptr<TPacket>> packets;
  for (uint32_t i = 0; i < n; ++i)
    packets.push_back(Make(MAGIC_VOICES2C, VoiceS2CHeaderSize + 30, 1));
  for (auto _ : state) {
    for (uint32_t i = 0; i < n; ++i) {
      SetIds(*packets[i], i + 1);
      f.Buffer.SendPacket(std::move(packets[i]), false);
    }
    for (uint32_t i = 0; i < n; ++i) packets[i] = Next(f.Buffer);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}
BENCHMARK(BM_VoiceOutAll)->Apply(Sizes);

// Only one player in a hundred talks to (at least one): the sender must skip
// the idle connections.
void BM_VoiceOutSparse(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  TFixture f(n);
  const uint32_t active = std::max<uint32_t>(1, n / 100);
  std::vector<std::unique_ptr<TPacket>> packets;
  for (uint32_t i = 0; i < active; ++i)
    packets.push_back(Make(MAGIC_VOICES2C, VoiceS2CHeaderSize + 30, 1));
  for (auto _ : state) {
    for (uint32_t i = 0; i < active; ++i) {
      SetIds(*packets[i], i * (n / active) + 1);
      f.Buffer.SendPacket(std::move(packets[i]), false);
    }
    for (uint32_t i = 0; i < active; ++i) packets[i] = Next(f.Buffer);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * active);
}
BENCHMARK(BM_VoiceOutSparse)->Apply(Sizes);

// A command to each player in turn: queued, sent (the pending copy stays),
// acknowledged by the client.
void BM_CommandRoundTrip(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  TFixture f(n);
  auto command = Make(MAGIC_COMMAND, CommandHeaderSize + 40, 1);
  command->CommandHeader().SetCode(100);
  uint32_t pid = 0;
  for (auto _ : state) {
    pid = pid % n + 1;
    SetIds(*command, pid);
    f.Buffer.SendPacket(std::move(command), false);
    command = Next(f.Buffer);  // the copy; reused as the next command
    // The client's ack, as the datagram intake creates it.
    auto ack = Make(MAGIC_ACK, AckPacketSize, pid);
    SetIds(*ack, pid);
    ack->AckHeader().SetSequence(command->CommandHeader().Sequence());
    f.Buffer.ReceivePacket(std::move(ack));
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_CommandRoundTrip)->Apply(Sizes);

// A command from each player in turn: acknowledged, delivered to the
// listener, and the ack taken by the sender.
void BM_CommandIn(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  TFixture f(n);
  std::vector<uint32_t> nextSeq(n + 1, 1);
  auto command = Make(MAGIC_COMMAND, CommandHeaderSize + 40, 1);
  uint32_t pid = 0, eventPid = 0;
  TReceiveEvent event;
  for (auto _ : state) {
    pid = pid % n + 1;
    SetIds(*command, pid);
    command->CommandHeader().SetSequence(nextSeq[pid]++);
    command->SealChecksum();
    f.Buffer.ReceivePacket(std::move(command));
    Take(f.Buffer, eventPid, event, command);
    auto ack = Next(f.Buffer);
    benchmark::DoNotOptimize(ack.get());
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_CommandIn)->Apply(Sizes);

// Heap taken per connection: AddConnection n times, counted by malloc.
void BM_ConnectionMemory(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  double perConnection = 0;
  for (auto _ : state) {
    auto buffer = std::make_unique<TCustomPacketBuffer>();
    const size_t before = mallinfo2().uordblks;
    for (uint32_t pid = 1; pid <= n; ++pid)
      buffer->AddConnection(pid, Cid(pid), TestIP, TestPort, 1);
    const size_t after = mallinfo2().uordblks;
    perConnection = double(after - before) / n;
  }
  state.counters["bytes_per_connection"] = perConnection;
  state.counters["sizeof_TSingleConnection"] = double(sizeof(TSingleConnection));
}
BENCHMARK(BM_ConnectionMemory)->Apply(Sizes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vx
