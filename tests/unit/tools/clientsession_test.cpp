#include "client/ClientSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ByteOrder.h"

namespace vx::client {
namespace {

constexpr uint32_t Cid = 0x00ABCDEF;
constexpr uint32_t Pid = 7;

// A command as the server sends it.
TPacket ServerCommand(int16_t code, uint32_t sequence) {
  TPacket p = MakeCommand(code, std::vector<uint8_t>{uint8_t(code), uint8_t(sequence)});
  auto h = p.CommandHeader();
  h.SetConnectionID(Cid);
  h.SetPlayerID(Pid);
  h.SetSequence(sequence);
  p.SealChecksum();
  return p;
}

TPacket ServerAck(uint32_t sequence) {
  TPacket p = TPacket::WithMagic(MAGIC_ACK, 16);
  auto h = p.AckHeader();
  h.SetConnectionID(Cid);
  h.SetPlayerID(Pid);
  h.SetSequence(sequence);
  return p;
}

std::vector<TPacket> PollAt(TClientSession& s, int64_t now) {
  std::vector<TPacket> out;
  s.Poll(now, out);
  return out;
}

TEST(ClientSession, OneCommandAtATimeResentUntilAcknowledged) {
  TSessionSettings settings;
  settings.ResendTimeoutMs = 100;
  TClientSession s(settings);
  s.Start(Cid, Pid, 0);
  s.QueueCommand(MakeCommand(430, std::vector<uint8_t>{'h', 'i'}));
  s.QueueCommand(MakeCommand(300));
  EXPECT_EQ(s.NextDueMs(0), 0);

  std::vector<TPacket> out = PollAt(s, 0);
  ASSERT_EQ(out.size(), 1u);
  const TPacket first = out[0];
  ASSERT_TRUE(first.IsValid());
  EXPECT_EQ(out[0].CommandHeader().Code(), 430);
  EXPECT_EQ(out[0].CommandHeader().Sequence(), 1u);
  EXPECT_EQ(out[0].CommandHeader().ResendCount(), 0);
  EXPECT_EQ(out[0].ConnectionID(), Cid);
  EXPECT_EQ(out[0].PlayerID(), Pid);

  EXPECT_TRUE(PollAt(s, 99).empty()) << "the second waits for the first's ack";
  EXPECT_EQ(s.NextDueMs(99), 1);
  out = PollAt(s, 100);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(out[0].IsValid());
  EXPECT_EQ(out[0].CommandHeader().Sequence(), 1u);
  EXPECT_EQ(out[0].CommandHeader().ResendCount(), 1);
  EXPECT_EQ(std::vector<uint8_t>(out[0].Data() + 24, out[0].Data() + out[0].Size()),
            std::vector<uint8_t>(first.Data() + 24, first.Data() + first.Size()));

  s.Receive(ServerAck(2), 150);  // a stray ack changes nothing
  out = PollAt(s, 200);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].CommandHeader().ResendCount(), 2);
  EXPECT_EQ(s.Counters().Resends, 2u);

  EXPECT_EQ(s.Receive(ServerAck(1), 210), TReceiveKind::Ack);
  EXPECT_FALSE(s.CommandsIdle());
  out = PollAt(s, 210);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].CommandHeader().Code(), 300);
  EXPECT_EQ(out[0].CommandHeader().Sequence(), 2u);
  EXPECT_EQ(out[0].CommandHeader().ResendCount(), 0);
  s.Receive(ServerAck(2), 220);
  EXPECT_TRUE(s.CommandsIdle());

  EXPECT_THROW(s.QueueCommand(ServerAck(1)), EClient);
  s.Settings.MaxQueuedCommands = 1;
  s.QueueCommand(MakeCommand(1));
  EXPECT_THROW(s.QueueCommand(MakeCommand(2)), EClient);
}

TEST(ClientSession, PingsWhenSilentWithTheSequencesTheServerExpects) {
  TClientSession s;  // 3000 ms
  EXPECT_TRUE(PollAt(s, 5000).empty()) << "no pings before the login";
  s.Start(Cid, Pid, 0);
  EXPECT_TRUE(PollAt(s, 2999).empty());
  EXPECT_EQ(s.NextDueMs(2999), 1);
  std::vector<TPacket> out = PollAt(s, 3000);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(out[0].IsValid());
  auto h = out[0].MaintenanceHeader();
  EXPECT_EQ(h.Type(), MAINT_PING);
  EXPECT_EQ(h.Sequence(), 3u) << "the login request was 1; the server expects 3 next";
  EXPECT_EQ(h.ConnectionID(), Cid);
  EXPECT_EQ(h.PlayerID(), Pid);

  TPacket pong = TPacket::WithMagic(MAGIC_MAINTENANCE, 24);
  auto ph = pong.MaintenanceHeader();
  ph.SetType(MAINT_PONG);
  ph.SetConnectionID(Cid);
  ph.SetPlayerID(Pid);
  ph.SetSequence(3);
  PutLE32(pong.Data() + 20, 3);
  pong.SealChecksum();
  EXPECT_EQ(s.Receive(pong, 3012), TReceiveKind::Pong);
  EXPECT_EQ(s.Counters().LastRoundTripMs, 12);

  // Receiving alone does not keep the connection alive: the client must send.
  s.Receive(ServerCommand(130, 1), 5000);
  out = PollAt(s, 5000);
  ASSERT_EQ(out.size(), 1u) << "the ack";
  EXPECT_TRUE(PollAt(s, 7999).empty());
  out = PollAt(s, 8000);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].MaintenanceHeader().Sequence(), 4u);

  // Sending voice without hearing anything: a ping every interval all the same.
  int pings = 0;
  for (int64_t t = 8500; t <= 14000; t += 500) {
    s.NoteSent(t);
    for (const TPacket& p : PollAt(s, t)) pings += p.IsMaintenance();
  }
  EXPECT_EQ(pings, 2) << "at 11000 and 14000";

  s.Stop();
  EXPECT_TRUE(PollAt(s, 60000).empty());
  EXPECT_EQ(s.Receive(ServerCommand(130, 2), 60000), TReceiveKind::Rejected);
}

TEST(ClientSession, VoiceCounterSkipsTheValueTheServerWrapsOver) {
  TClientSession s;
  EXPECT_EQ(s.NextVoiceCounter(), 1);
  for (int i = 2; i < 65534; ++i) s.NextVoiceCounter();
  EXPECT_EQ(s.NextVoiceCounter(), 65534);
  EXPECT_EQ(s.NextVoiceCounter(), 0);
  EXPECT_EQ(s.NextVoiceCounter(), 1);
}

}  // namespace
}  // namespace vx::client
