// The reliable delivery of one connection on its own, on a clock the test
// moves: order and repeats of commands, resend timing from round trips,
// silence per state, voice that waited too long.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "common/ByteOrder.h"
#include "transport/SingleConnection.h"

namespace vx {
namespace {

class SingleConnectionTest : public ::testing::Test {
 protected:
  TDefaultPerformanceTime Now() {
    TDefaultPerformanceTime t;
    t.Start();
    return t;
  }
  uint32_t Ms() { return uint32_t(int64_t(Now().StartInstant().Value * MsPerDay)); }

  std::unique_ptr<TPacket> Command(uint32_t seq, uint16_t resend = 0) {
    auto p = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_COMMAND, CommandHeaderSize + 4));
    TCommandHeader h = p->CommandHeader();
    h.SetCode(300);
    h.SetConnectionID(10);
    h.SetPlayerID(1);
    h.SetSequence(seq);
    h.SetResendCount(resend);
    p->SealChecksum();
    return p;
  }
  std::unique_ptr<TPacket> Ack(uint32_t seq, uint16_t resend) {
    auto p = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_ACK, AckPacketSize));
    TAckHeader h = p->AckHeader();
    h.SetConnectionID(10);
    h.SetPlayerID(1);
    h.SetSequence(seq);
    h.SetResendCount(resend);
    return p;
  }
  TIntakeResult Take(std::unique_ptr<TPacket> p, bool& delivered) {
    TConnectionEffects fx;
    const TPacketClass cls = p->Class();
    const TIntakeResult r = C.Receive(p, cls, true, fx);
    delivered = fx.Deliver;
    return r;
  }
  void Queue(std::unique_ptr<TPacket> p, bool closeAfter = false) {
    TConnectionEffects fx;
    ASSERT_EQ(C.Queue(p, closeAfter, Ms(), fx), TQueueResult::Queued);
  }
  std::unique_ptr<TPacket> Next() {
    TConnectionEffects fx;
    auto p = C.NextPacket(Now(), Ms(), fx);
    Stale += fx.StaleVoice;
    return p;
  }
  // Logs in: the login's last command acknowledged.
  void Connect() {
    auto step6 = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_COMMAND, CommandHeaderSize));
    step6->CommandHeader().SetCode(8);
    step6->CommandHeader().SetPlayerID(1);
    Queue(std::move(step6));
    auto sent = Next();
    ASSERT_TRUE(sent);
    bool delivered = false;
    Take(Ack(sent->CommandHeader().Sequence(), 0), delivered);
    ASSERT_EQ(C.State, csConnected);
  }

  TManualClock Clock{TDateTime{45000.5}};
  TClockOverride Override{Clock};
  TSingleConnection C{1, 10, htonl(INADDR_LOOPBACK), 5000, 1, TConnectionTimeouts{}};
  uint32_t Stale = 0;
};

TEST_F(SingleConnectionTest, CommandsAreDeliveredOnceInOrderAndAlwaysAcknowledged) {
  bool delivered = false;
  EXPECT_EQ(Take(Command(1), delivered), TIntakeResult::Accepted);
  EXPECT_TRUE(delivered);
  EXPECT_EQ(Take(Command(3), delivered), TIntakeResult::Repeated);  // a stray
  EXPECT_FALSE(delivered);
  EXPECT_EQ(Take(Command(1, 1), delivered), TIntakeResult::Repeated);  // a repeat
  EXPECT_FALSE(delivered);
  EXPECT_EQ(Take(Command(2), delivered), TIntakeResult::Accepted);
  EXPECT_TRUE(delivered);
  EXPECT_EQ(C.CommandExpected, 3u);
  // Every one of them is acknowledged, with its sequence and resend count.
  std::vector<std::pair<uint32_t, uint16_t>> acks;
  while (auto p = Next()) {
    ASSERT_TRUE(p->IsAck());
    acks.emplace_back(p->AckHeader().Sequence(), p->AckHeader().ResendCount());
  }
  EXPECT_EQ(acks, (std::vector<std::pair<uint32_t, uint16_t>>{{1, 0}, {3, 0}, {1, 1}, {2, 0}}));
  // Another connection's id is refused, and so is a closed connection's packet.
  auto foreign = Command(3);
  PutLE32(foreign->Data() + 4, 11);
  EXPECT_EQ(Take(std::move(foreign), delivered), TIntakeResult::WrongConnection);
}

TEST_F(SingleConnectionTest, ResendsFollowTheRoundTrips) {
  Connect();
  Queue(std::make_unique<TPacket>(*Command(0)));
  auto first = Next();
  ASSERT_TRUE(first && first->IsCommand());
  const uint32_t seq = first->CommandHeader().Sequence();
  EXPECT_EQ(C.ResendWait(Now()), 60);
  Clock.AdvanceMs(60);
  EXPECT_EQ(Next(), nullptr) << "due only once more than the interval has passed";
  Clock.AdvanceMs(1);
  auto again = Next();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->CommandHeader().Sequence(), seq);
  EXPECT_EQ(again->CommandHeader().ResendCount(), 1);
  // Acknowledged after a resend: a loss, not a round trip.
  bool delivered = false;
  Take(Ack(seq, 1), delivered);
  EXPECT_EQ(C.PacketsLost, 1);
  EXPECT_EQ(C.AveragePing, 50);
  // A round trip of 20 ms among fifteen of 50: average 48, interval 58.
  Queue(std::make_unique<TPacket>(*Command(0)));
  auto next = Next();
  ASSERT_TRUE(next);
  Clock.AdvanceMs(20);
  Take(Ack(next->CommandHeader().Sequence(), 0), delivered);
  EXPECT_EQ(C.AveragePing, 48);
  EXPECT_EQ(C.ResendTimeout, 58);
  EXPECT_EQ(C.PendingCommand, nullptr);
}

TEST_F(SingleConnectionTest, SilenceIsMeasuredAgainstTheLimitOfTheState) {
  bool closed = false, timedOut = false;
  Clock.AdvanceMs(1999);
  EXPECT_EQ(C.CheckSilence(Now(), closed, timedOut), 1);
  Clock.AdvanceMs(1);
  C.CheckSilence(Now(), closed, timedOut);
  EXPECT_TRUE(timedOut);
  Connect();  // the ack is a packet: the silence starts again
  Clock.AdvanceMs(14999);
  EXPECT_EQ(C.CheckSilence(Now(), closed, timedOut), 1);
  EXPECT_FALSE(timedOut);
  // A close waits ClosingTimeout for the peer, then the connection is closed.
  TConnectionEffects fx;
  C.Close(fx);
  EXPECT_EQ(C.State, csClosing);
  Clock.AdvanceMs(2000);
  C.CheckSilence(Now(), closed, timedOut);
  EXPECT_TRUE(closed);
  EXPECT_EQ(C.State, csClosed);
}

TEST_F(SingleConnectionTest, VoiceThatWaitedTooLongIsDroppedAndAFullQueueOverflows) {
  Connect();
  auto voice = [] {
    auto p = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_VOICES2C, VoiceS2CHeaderSize + 8));
    p->VoiceS2CHeader().SetPlayerID(1);
    return p;
  };
  Queue(voice());
  Clock.AdvanceMs(TSingleConnection::VoiceMaxAgeMs + 1);
  Queue(voice());
  auto sent = Next();
  ASSERT_TRUE(sent && sent->IsVoiceS2C());
  EXPECT_EQ(Stale, 1u);
  EXPECT_EQ(sent->VoiceS2CHeader().VoiceCounter(), 1u) << "the dropped one took no number";
  EXPECT_EQ(Next(), nullptr);

  // Voice from the client that lay too long in the socket before it was
  // read is dropped on arrival, before it is relayed.
  auto fromClient = [](uint32_t waitedMs) {
    auto p = std::make_unique<TPacket>(TPacket::WithMagic(MAGIC_VOICEC2S, VoiceC2SHeaderSize + 8));
    PutLE32(p->Data() + 4, 10);
    PutLE32(p->Data() + 8, 1);
    p->WaitedMs = waitedMs;
    return p;
  };
  bool delivered = false;
  EXPECT_EQ(Take(fromClient(TSingleConnection::VoiceMaxWaitMs), delivered),
            TIntakeResult::Accepted);
  EXPECT_TRUE(delivered);
  TConnectionEffects late;
  auto old = fromClient(TSingleConnection::VoiceMaxWaitMs + 1);
  EXPECT_EQ(C.Receive(old, TPacketClass::VoiceC2S, true, late), TIntakeResult::Accepted);
  EXPECT_FALSE(late.Deliver);
  EXPECT_EQ(late.StaleVoice, 1u);

  for (int i = 0; i < 1024; ++i) Queue(voice());
  auto more = voice();
  TConnectionEffects fx;
  EXPECT_EQ(C.Queue(more, false, Ms(), fx), TQueueResult::Overflow);
  EXPECT_TRUE(C.Overflowed);
  EXPECT_EQ(C.SilenceLimit(), 0) << "it goes as if silent";
}

}  // namespace
}  // namespace vx
