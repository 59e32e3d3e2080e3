#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Packets.h"
#include "host/TimeTools.h"
#include "transport/PacketBuffers.h"

namespace vx {
namespace {

constexpr const char* TestIP = "127.0.0.1";
constexpr uint16_t TestPort = 5000;

std::unique_ptr<TPacket> NewPacket(uint16_t magic, size_t size) {
  auto p = std::make_unique<TPacket>(TPacket::WithMagic(magic, size));
  p->SetPeer(TestIP, TestPort);
  return p;
}

// Packets as a client sends them.
std::unique_ptr<TPacket> ClientCommand(uint32_t pid, uint32_t cid, uint32_t seq,
                                       uint16_t resend = 0, int16_t code = 300) {
  auto p = NewPacket(MAGIC_COMMAND, CommandHeaderSize + 6);
  TCommandHeader h = p->CommandHeader();
  h.SetCode(code);
  h.SetConnectionID(cid);
  h.SetPlayerID(pid);
  h.SetSequence(seq);
  h.SetResendCount(resend);
  p->SealChecksum();
  return p;
}

std::unique_ptr<TPacket> ClientAck(uint32_t pid, uint32_t cid, uint32_t seq, uint16_t resend) {
  auto p = NewPacket(MAGIC_ACK, AckPacketSize);
  TAckHeader h = p->AckHeader();
  h.SetConnectionID(cid);
  h.SetPlayerID(pid);
  h.SetSequence(seq);
  h.SetResendCount(resend);
  return p;
}

std::unique_ptr<TPacket> ClientVoice(uint32_t pid, uint32_t cid, uint16_t counter) {
  auto p = NewPacket(MAGIC_VOICEC2S, VoiceC2SHeaderSize + 4);
  TVoiceC2SHeader h = p->VoiceC2SHeader();
  h.SetConnectionID(cid);
  h.SetPlayerID(pid);
  h.SetVoiceCounter(counter);
  return p;
}

std::unique_ptr<TPacket> ClientMaintenance(uint32_t pid, uint32_t cid, uint16_t type, uint32_t seq,
                                           size_t size = MaintenanceHeaderSize, uint32_t echo = 0) {
  auto p = NewPacket(MAGIC_MAINTENANCE, size);
  TMaintenanceHeader h = p->MaintenanceHeader();
  h.SetType(type);
  h.SetConnectionID(cid);
  h.SetPlayerID(pid);
  h.SetSequence(seq);
  if (size >= 24) PutLE32(p->Data() + 20, echo);
  p->SealChecksum();
  return p;
}

// Packets as a handler queues them (the buffer fills sequence, ids, checksum).
std::unique_ptr<TPacket> ServerCommand(uint32_t pid, int16_t code = 100) {
  auto p = NewPacket(MAGIC_COMMAND, CommandHeaderSize + 8);
  TCommandHeader h = p->CommandHeader();
  h.SetCode(code);
  h.SetPlayerID(pid);
  p->Data()[CommandHeaderSize] = uint8_t(code);
  return p;
}

std::unique_ptr<TPacket> ServerVoice(uint32_t pid) {
  auto p = NewPacket(MAGIC_VOICES2C, VoiceS2CHeaderSize + 10);
  p->VoiceS2CHeader().SetPlayerID(pid);
  return p;
}

std::unique_ptr<TPacket> ServerMaintenance(uint32_t pid, uint16_t type) {
  auto p = NewPacket(MAGIC_MAINTENANCE, MaintenanceHeaderSize + 4);
  TMaintenanceHeader h = p->MaintenanceHeader();
  h.SetType(type);
  h.SetPlayerID(pid);
  return p;
}

struct TReport {
  bool Found = false;
  uint32_t PlayerID = 0;
  TReceiveEvent Event = rePacket;
  std::unique_ptr<TPacket> Packet;
  uint32_t Wait = 0;
};

class PacketBufferTest : public ::testing::Test {
 protected:
  // One try of the sender.
  std::unique_ptr<TPacket> Send() {
    std::unique_ptr<TPacket> p;
    Buf->TrySend(p, SendWait);
    return p;
  }
  // One try of the listener.
  TReport Receive() {
    TReport r;
    r.Found = Buf->TryReceive(r.PlayerID, r.Event, r.Packet, r.Wait);
    return r;
  }
  void ExpectNothingToSend() {
    auto p = Send();
    EXPECT_EQ(p, nullptr) << "unexpected packet of class " << int(p->Class());
  }
  void ExpectNothingReceived() {
    TReport r = Receive();
    EXPECT_FALSE(r.Found) << "event " << int(r.Event) << " for " << r.PlayerID;
  }
  void ExpectReport(TReceiveEvent event, uint32_t pid) {
    TReport r = Receive();
    EXPECT_TRUE(r.Found);
    EXPECT_EQ(r.Event, event);
    EXPECT_EQ(r.PlayerID, pid);
  }

  template <class F>
  auto Peek(uint32_t pid, F f) {
    decltype(f(std::declval<const TSingleConnection&>())) result{};
    EXPECT_TRUE(Buf->InspectConnection(pid, [&](const TSingleConnection& c) { result = f(c); }));
    return result;
  }
  TConnectionState State(uint32_t pid) {
    return Peek(pid, [](const TSingleConnection& c) { return c.State; });
  }
  int64_t Lost(uint32_t pid) {
    return Peek(pid, [](const TSingleConnection& c) { return c.PacketsLost; });
  }
  int32_t AveragePing(uint32_t pid) {
    return Peek(pid, [](const TSingleConnection& c) { return c.AveragePing; });
  }
  int32_t ResendTimeout(uint32_t pid) {
    return Peek(pid, [](const TSingleConnection& c) { return c.ResendTimeout; });
  }

  // Sends a command and returns its sequence as it left.
  uint32_t SendCommand(uint32_t pid, bool closeAfter = false) {
    Buf->SendPacket(ServerCommand(pid), closeAfter);
    auto p = Send();
    EXPECT_TRUE(p && p->IsCommand());
    return p && p->IsCommand() ? p->CommandHeader().Sequence() : 0;
  }

  // A connection through its login: LoginStep6 sent and acknowledged.
  void Connect(uint32_t pid, uint32_t cid) {
    Buf->AddConnection(pid, cid, TestIP, TestPort, 1);
    Buf->SendPacket(ServerCommand(pid, 8), false);
    auto p = Send();
    ASSERT_TRUE(p && p->IsCommand());
    Buf->ReceivePacket(ClientAck(pid, cid, p->CommandHeader().Sequence(), 0));
    ASSERT_EQ(State(pid), csConnected);
  }

  void ExpectIntake(std::unique_ptr<TPacket> p, TIntakeResult expected) {
    const uint64_t before = Buf->IntakeCount(expected);
    EXPECT_EQ(Buf->ReceivePacket(std::move(p)), expected) << IntakeResultText(expected);
    EXPECT_EQ(Buf->IntakeCount(expected), before + 1);
  }

  TManualClock Clock{TDateTime{45000.25}};
  TClockOverride Override{Clock};
  std::unique_ptr<TCustomPacketBuffer> Buf = std::make_unique<TCustomPacketBuffer>();
  uint32_t SendWait = 0;
};

TEST_F(PacketBufferTest, ReceiveChecksReportAndCountTheirResults) {
  auto garbage = NewPacket(0x1234, 30);
  ExpectIntake(std::move(garbage), TIntakeResult::Invalid);
  auto badSum = ClientCommand(7, 70, 1);
  badSum->Data()[CommandHeaderSize] ^= 1;
  ExpectIntake(std::move(badSum), TIntakeResult::Invalid);
  ExpectIntake(NewPacket(MAGIC_VOICES2C, VoiceS2CHeaderSize), TIntakeResult::ServerToClient);
  EXPECT_STREQ(IntakeResultText(TIntakeResult::ServerToClient), "S2C recv on Server");

  // Unknown players are dropped without a word; a login request needs none.
  ExpectIntake(ClientCommand(99, 1, 1), TIntakeResult::NoConnection);
  ExpectNothingReceived();
  Buf->ReceivePacket(ClientMaintenance(0, 0, MAINT_LOGINREQUEST, 1, 180));
  TReport login = Receive();
  ASSERT_TRUE(login.Found);
  EXPECT_EQ(login.Event, rePacket);
  EXPECT_EQ(login.PlayerID, 0u);
  EXPECT_TRUE(login.Packet->IsMaintenance());

  Buf->AddConnection(7, 70, TestIP, TestPort, 1);
  ExpectIntake(ClientCommand(7, 71, 1), TIntakeResult::WrongConnection);
  ExpectIntake(ClientVoice(7, 70, 1), TIntakeResult::VoiceDuringLogin);

  Connect(8, 80);
  const uint32_t last = SendCommand(8, true);
  ASSERT_EQ(State(8), csClosing);
  ExpectIntake(ClientCommand(8, 80, 1), TIntakeResult::CommandWhileClosing);
  auto ack = Send();  // the command was acknowledged all the same
  ASSERT_TRUE(ack && ack->IsAck());
  EXPECT_EQ(ack->AckHeader().Sequence(), 1u);
  ExpectNothingReceived();
  Buf->ReceivePacket(ClientAck(8, 80, last, 0));
  ASSERT_EQ(State(8), csClosed);
  ExpectIntake(ClientVoice(8, 80, 1), TIntakeResult::AfterClose);

  // Every datagram counts in the totals, valid or not; so does every packet
  // handed out.
  uint32_t packetsSent, packetsReceived;
  int64_t bytesSent, bytesReceived;
  Buf->GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
  EXPECT_EQ(packetsReceived, 11u);
  EXPECT_EQ(packetsSent, 3u);
}

TEST_F(PacketBufferTest, CommandsAreAcknowledgedAndDeliveredOnceInOrder) {
  Connect(1, 10);
  // Sequence 2 while 1 is expected: acknowledged, dropped.
  Buf->ReceivePacket(ClientCommand(1, 10, 2));
  auto ack = Send();
  ASSERT_TRUE(ack && ack->IsAck());
  EXPECT_EQ(ack->AckHeader().Sequence(), 2u);
  EXPECT_EQ(ack->ConnectionID(), 10u);
  EXPECT_EQ(ack->PlayerID(), 1u);
  EXPECT_EQ(ack->PeerIP(), TestIP);
  EXPECT_EQ(ack->PeerPort, TestPort);
  ExpectNothingReceived();
  EXPECT_EQ(Peek(1, [](const TSingleConnection& c) { return c.CommandExpected; }), 1u);

  Buf->ReceivePacket(ClientCommand(1, 10, 1));
  TReport r = Receive();
  ASSERT_TRUE(r.Found);
  EXPECT_EQ(r.Event, rePacket);
  EXPECT_EQ(r.PlayerID, 1u);
  ASSERT_TRUE(r.Packet && r.Packet->IsCommand());
  EXPECT_EQ(r.Packet->CommandHeader().Sequence(), 1u);

  // The same command again (a client resend): acknowledged again, with its
  // ResendCount, and not delivered a second time.
  Buf->ReceivePacket(ClientCommand(1, 10, 1, 1));
  ack = Send();
  ASSERT_TRUE(ack && ack->IsAck());  // the first ack
  ack = Send();
  ASSERT_TRUE(ack && ack->IsAck());
  EXPECT_EQ(ack->AckHeader().Sequence(), 1u);
  EXPECT_EQ(ack->AckHeader().ResendCount(), 1u);
  ExpectNothingReceived();
  EXPECT_EQ(Peek(1, [](const TSingleConnection& c) { return c.CommandExpected; }), 2u);
}

TEST_F(PacketBufferTest, CommandsAreResentUntilAcknowledged) {
  Connect(1, 10);
  Buf->SendPacket(ServerCommand(1), false);
  Buf->SendPacket(ServerCommand(1), false);
  auto first = Send();
  ASSERT_TRUE(first && first->IsCommand());
  EXPECT_TRUE(first->IsValid());
  EXPECT_EQ(first->CommandHeader().Sequence(), 2u);  // 1 was LoginStep6
  EXPECT_EQ(first->CommandHeader().ResendCount(), 0u);
  EXPECT_EQ(first->ConnectionID(), 10u);
  ExpectNothingToSend();  // one unacknowledged command at a time
  EXPECT_EQ(SendWait, 60u);
  Clock.AdvanceMs(60);
  ExpectNothingToSend();  // not yet: the interval must be exceeded
  EXPECT_EQ(SendWait, 0u);
  Clock.AdvanceMs(1);
  auto again = Send();
  ASSERT_TRUE(again && again->IsCommand());
  EXPECT_TRUE(again->IsValid());
  EXPECT_EQ(again->CommandHeader().Sequence(), 2u);
  EXPECT_EQ(again->CommandHeader().ResendCount(), 1u);
  EXPECT_EQ(again->Size(), first->Size());
  ExpectNothingToSend();
  EXPECT_EQ(SendWait, 60u);
  Clock.AdvanceMs(61);
  again = Send();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->CommandHeader().ResendCount(), 2u);

  // The ack of a resent command counts the resends as lost, adds no sample.
  Buf->ReceivePacket(ClientAck(1, 10, 2, 2));
  EXPECT_EQ(Lost(1), 2);
  EXPECT_EQ(AveragePing(1), 50);
  EXPECT_EQ(ResendTimeout(1), 60);
  auto next = Send();
  ASSERT_TRUE(next && next->IsCommand());
  EXPECT_EQ(next->CommandHeader().Sequence(), 3u);
  // An ack of another sequence changes nothing.
  Buf->ReceivePacket(ClientAck(1, 10, 2, 0));
  ExpectNothingToSend();
}

TEST_F(PacketBufferTest, RoundTripSamplesSetAveragePingAndResendTimeout) {
  Connect(1, 10);
  auto sample = [&](double ms) {
    const uint32_t seq = SendCommand(1);
    Clock.AdvanceMs(ms);
    Buf->ReceivePacket(ClientAck(1, 10, seq, 0));
  };
  for (int i = 0; i < 16; ++i) sample(100);
  EXPECT_EQ(AveragePing(1), 100);
  EXPECT_EQ(ResendTimeout(1), 120);
  for (int i = 0; i < 16; ++i) sample(5);
  EXPECT_EQ(AveragePing(1), 5);
  EXPECT_EQ(ResendTimeout(1), 10);  // 6 raised to the floor

  // Rounding is to nearest, halves to even; each case replaces one 50 of a
  // fresh ring (sum 750 + x).
  struct TCase {
    double Sample;
    int32_t Ping, Timeout;
  };
  const TCase cases[] = {
      {26, 48, 58},  // 776/16 = 48.5 -> 48; 58.2 -> 58
      {10, 48, 57},  // 47.5 -> 48; 57 exactly
      {30, 49, 58},  // 48.75 -> 49; 58.5 -> 58
      {70, 51, 62},  // 51.25 -> 51; 61.5 -> 62
  };
  uint32_t pid = 100;
  for (const TCase& c : cases) {
    Connect(pid, pid);
    const uint32_t seq = SendCommand(pid);
    Clock.AdvanceMs(c.Sample);
    Buf->ReceivePacket(ClientAck(pid, pid, seq, 0));
    EXPECT_EQ(AveragePing(pid), c.Ping) << c.Sample;
    EXPECT_EQ(ResendTimeout(pid), c.Timeout) << c.Sample;
    ++pid;
  }
}

TEST_F(PacketBufferTest, SilentConnectionsTimeOut) {
  ExpectNothingReceived();
  Buf->AddConnection(1, 10, TestIP, TestPort, 1);
  TReport r = Receive();
  EXPECT_FALSE(r.Found);
  EXPECT_EQ(r.Wait, 1000u);  // capped
  Clock.AdvanceMs(1999);
  r = Receive();
  EXPECT_FALSE(r.Found);
  EXPECT_EQ(r.Wait, 1u);
  Clock.AdvanceMs(1);
  ExpectReport(reTimeout, 1);
  ExpectNothingReceived();  // once: a listener that keeps it cannot spin on it
  Buf->RemoveConnection(1);
  ExpectNothingReceived();
  EXPECT_EQ(Buf->ConnectionCount(), 0);

  Connect(2, 20);
  Clock.AdvanceMs(14999);
  ExpectNothingReceived();
  Clock.AdvanceMs(1);
  ExpectReport(reTimeout, 2);
  // A packet revives a connection that was reported but not removed.
  Buf->ReceivePacket(ClientVoice(2, 20, 1));
  ExpectReport(rePacket, 2);
  ExpectNothingReceived();
  Buf->RemoveConnection(2);

  // Timeouts are settable: defaults for new connections, or per connection.
  Buf->SetDefaultTimeouts({100, 300, 50});
  Buf->AddConnection(3, 30, TestIP, TestPort, 1);
  Clock.AdvanceMs(100);
  ExpectReport(reTimeout, 3);
  Buf->RemoveConnection(3);
  Buf->SetDefaultTimeouts({});
  Connect(4, 40);
  EXPECT_TRUE(Buf->SetConnectionTimeouts(4, {2000, 500, 2000}));
  EXPECT_FALSE(Buf->SetConnectionTimeouts(99, {}));
  r = Receive();
  EXPECT_FALSE(r.Found);
  EXPECT_EQ(r.Wait, 500u);
  Clock.AdvanceMs(500);
  ExpectReport(reTimeout, 4);
}

TEST_F(PacketBufferTest, TimeoutsAreReportedInTurnBeforePackets) {
  for (uint32_t pid = 1; pid <= 3; ++pid) Buf->AddConnection(pid, pid, TestIP, TestPort, 1);
  Buf->ReceivePacket(ClientMaintenance(0, 0, MAINT_LOGINREQUEST, 1, 180));
  Clock.AdvanceMs(2000);
  // The cursor starts on the first connection, so a round starts after it.
  ExpectReport(reTimeout, 2);
  ExpectReport(reTimeout, 3);
  ExpectReport(reTimeout, 1);
  ExpectReport(rePacket, 0);  // each time-out is reported once
  for (uint32_t pid = 1; pid <= 3; ++pid) Buf->RemoveConnection(pid);
  ExpectNothingReceived();
}

TEST_F(PacketBufferTest, PingsAreAnsweredOnlyWhenConnected) {
  Buf->AddConnection(1, 10, TestIP, TestPort, 1);  // maintenance expected: 3
  Clock.AdvanceMs(1500);
  Buf->ReceivePacket(ClientMaintenance(1, 10, MAINT_PING, 3));
  ExpectNothingToSend();  // not answered during login
  Clock.AdvanceMs(1999);
  ExpectNothingReceived();  // but the silence clock restarted
  Clock.AdvanceMs(1);
  ExpectReport(reTimeout, 1);

  Connect(2, 20);
  Buf->ReceivePacket(ClientMaintenance(2, 20, MAINT_PING, 3));
  auto pong = Send();
  ASSERT_TRUE(pong && pong->IsMaintenance());
  EXPECT_TRUE(pong->IsValid());
  EXPECT_EQ(pong->Size(), 24u);
  EXPECT_EQ(pong->MaintenanceHeader().Type(), MAINT_PONG);
  EXPECT_EQ(pong->ConnectionID(), 20u);
  EXPECT_EQ(pong->PlayerID(), 2u);
  EXPECT_EQ(pong->MaintenanceHeader().Sequence(), 2u);  // first value 1, raised
  EXPECT_EQ(GetLE32(pong->Data() + 20), 3u);
  Buf->ReceivePacket(ClientMaintenance(2, 20, MAINT_PING, 3));  // old sequence
  ExpectNothingToSend();
  Buf->ReceivePacket(ClientMaintenance(2, 20, MAINT_PING, 6));  // 4 and 5 lost
  pong = Send();
  ASSERT_TRUE(pong);
  EXPECT_EQ(GetLE32(pong->Data() + 20), 6u);
  EXPECT_EQ(Lost(2), 2);
  // Maintenance packets stay out of the connection's counters.
  EXPECT_EQ(Peek(2, [](const TSingleConnection& c) { return c.PacketsReceived; }), 1u);
}

TEST_F(PacketBufferTest, PongOfTheLastMaintenanceSequenceIsARoundTrip) {
  Connect(1, 10);
  Clock.AdvanceMs(40);
  // Echo of another sequence: no sample.
  Buf->ReceivePacket(ClientMaintenance(1, 10, MAINT_PONG, 3, 24, 7));
  EXPECT_EQ(AveragePing(1), 50);
  const uint32_t pending = SendCommand(1);
  // MaintenanceSendSequence is still the first value, 1.
  Buf->ReceivePacket(ClientMaintenance(1, 10, MAINT_PONG, 4, 24, 1));
  EXPECT_EQ(AveragePing(1), 49);  // (15 * 50 + 40) / 16 = 49.375
  EXPECT_EQ(ResendTimeout(1), 59);
  // The pending command's resend follows the new interval.
  Clock.AdvanceMs(59);
  ExpectNothingToSend();
  Clock.AdvanceMs(1);
  auto p = Send();
  ASSERT_TRUE(p && p->IsCommand());
  EXPECT_EQ(p->CommandHeader().Sequence(), pending);
}

TEST_F(PacketBufferTest, CloseAfterClosesOnTheFinalAck) {
  Connect(1, 10);
  Buf->SendPacket(ServerCommand(1), true);
  auto last = Send();
  ASSERT_TRUE(last && last->IsCommand());
  EXPECT_EQ(State(1), csClosing);
  Buf->SendPacket(ServerCommand(1), false);  // refused quietly
  ExpectNothingReceived();
  Buf->ReceivePacket(ClientAck(1, 10, last->CommandHeader().Sequence(), 0));
  EXPECT_EQ(State(1), csClosed);
  ExpectReport(reClosed, 1);
  ExpectNothingReceived();  // reported once
  ExpectNothingToSend();    // a closed connection sends nothing, not even resends
  Clock.AdvanceMs(100);
  ExpectNothingToSend();
  Buf->RemoveConnection(1);
  ExpectNothingReceived();
}

TEST_F(PacketBufferTest, CloseRequestDrainsQueuedCommandsFirst) {
  Connect(1, 10);
  const uint32_t earlier = SendCommand(1);       // pending
  Buf->SendPacket(ServerCommand(1, 101), true);  // the final notice, queued
  EXPECT_EQ(State(1), csConnected);
  EXPECT_TRUE(Peek(1, [](const TSingleConnection& c) { return c.CloseRequested; }));
  // Refused as for a closing connection while the close is requested.
  Buf->SendPacket(ServerCommand(1, 102), false);
  Buf->SendPacket(ServerVoice(1), false);
  Buf->SendPacket(ServerMaintenance(1, MAINT_PONG), false);
  EXPECT_EQ(Peek(1, [](const TSingleConnection& c) { return c.CommandQueue.Count(); }), 1);
  ExpectNothingToSend();

  // The acknowledgement of the earlier command does not close.
  Buf->ReceivePacket(ClientAck(1, 10, earlier, 0));
  EXPECT_EQ(State(1), csConnected);
  ExpectNothingReceived();
  auto final = Send();
  ASSERT_TRUE(final && final->IsCommand());
  EXPECT_EQ(final->CommandHeader().Code(), 101);
  EXPECT_EQ(State(1), csClosing);
  ExpectNothingToSend();                             // the refused packets never went out
  Buf->ReceivePacket(ClientAck(1, 10, earlier, 0));  // stale, ignored
  EXPECT_EQ(State(1), csClosing);
  Buf->ReceivePacket(ClientAck(1, 10, final->CommandHeader().Sequence(), 0));
  EXPECT_EQ(State(1), csClosed);
  ExpectReport(reClosed, 1);
}

TEST_F(PacketBufferTest, ClosingSilenceCountsFromTheFinalCommand) {
  Connect(1, 10);
  const uint32_t earlier = SendCommand(1);
  Buf->SendPacket(ServerCommand(1, 101), true);
  Buf->ReceivePacket(ClientAck(1, 10, earlier, 0));  // the client's last word
  Clock.AdvanceMs(1500);
  auto final = Send();  // the final command leaves 1500 ms later
  ASSERT_TRUE(final && final->IsCommand());
  EXPECT_EQ(final->CommandHeader().Code(), 101);
  ASSERT_EQ(State(1), csClosing);
  Clock.AdvanceMs(1999);
  ExpectNothingReceived();
  EXPECT_EQ(State(1), csClosing);
  Clock.AdvanceMs(1);
  ExpectReport(reClosed, 1);
  EXPECT_EQ(State(1), csClosed);
  Buf->RemoveConnection(1);

  // A client that falls silent while the close waits for an earlier command
  // is closed after ClosingTimeout as well, counted from the request; the
  // final command then never leaves.
  Connect(3, 30);
  const uint32_t unanswered = SendCommand(3);
  Clock.AdvanceMs(1000);
  Buf->SendPacket(ServerCommand(3, 101), true);
  Clock.AdvanceMs(1999);
  ExpectNothingReceived();
  EXPECT_EQ(State(3), csConnected);
  auto resent = Send();
  ASSERT_TRUE(resent && resent->IsCommand());
  EXPECT_EQ(resent->CommandHeader().Sequence(), unanswered);
  Clock.AdvanceMs(1);
  ExpectReport(reClosed, 3);
  ExpectNothingToSend();
  Buf->RemoveConnection(3);

  // Without queued commands a close request closes at once, as designed.
  Connect(2, 20);
  Buf->SendPacket(ServerMaintenance(2, MAINT_PONG), true);
  EXPECT_EQ(State(2), csClosing);
  auto m = Send();
  ASSERT_TRUE(m && m->IsMaintenance());
}

TEST_F(PacketBufferTest, VoiceCounterGapsCountAsLoss) {
  Connect(1, 10);
  const uint16_t counters[] = {1, 5, 3, 10006, 10007};
  for (uint16_t c : counters) Buf->ReceivePacket(ClientVoice(1, 10, c));
  // 5 after 1: 3 lost; 3: late, not counted; 10006 after 5: a jump of 10000,
  // not counted.
  EXPECT_EQ(Lost(1), 3);
  for (uint16_t c : counters) {
    TReport r = Receive();
    ASSERT_TRUE(r.Found);
    EXPECT_EQ(r.Event, rePacket);
    EXPECT_EQ(r.Packet->VoiceC2SHeader().VoiceCounter(), c);
  }
  EXPECT_EQ(Peek(1, [](const TSingleConnection& c) { return c.VoiceExpected; }), 10008u);
  Buf->ReceivePacket(ClientVoice(1, 10, 65534));
  EXPECT_EQ(Peek(1, [](const TSingleConnection& c) { return c.VoiceExpected; }), 0u);
}

TEST_F(PacketBufferTest, RefusedSendsAreDroppedQuietly) {
  Buf->SendPacket(ServerCommand(99), false);  // no connection
  Buf->AddConnection(1, 10, TestIP, TestPort, 1);
  Buf->SendPacket(ServerVoice(1), false);                       // voice before the login completes
  Buf->SendPacket(NewPacket(MAGIC_ACK, AckPacketSize), false);  // pid 0: none
  auto ack = NewPacket(MAGIC_ACK, AckPacketSize);
  ack->AckHeader().SetPlayerID(1);
  Buf->SendPacket(std::move(ack), false);  // "Invalid packet on buffer"
  ExpectNothingToSend();
  EXPECT_THROW(Buf->SendPacket(std::make_unique<TPacket>(4), false), EPacket);

  // A peer whose queue is full takes nothing more and is reported as timed
  // out at once; the other connections go on.
  Buf->AddConnection(2, 20, TestIP, TestPort, 1);
  for (int i = 0; i < 1024; ++i) Buf->SendPacket(ServerCommand(1), false);
  ExpectNothingReceived();
  EXPECT_NO_THROW(Buf->SendPacket(ServerCommand(1), false));
  Buf->SendPacket(ServerCommand(2), false);
  EXPECT_EQ(Peek(1, [](const TSingleConnection& c) { return c.CommandQueue.Count(); }), 1024);
  EXPECT_EQ(Peek(2, [](const TSingleConnection& c) { return c.CommandQueue.Count(); }), 1);
  EXPECT_EQ(Buf->OverflowDropCount(), 1u);
  ExpectReport(reTimeout, 1);
  ExpectNothingReceived();
}

TEST_F(PacketBufferTest, UnvalidatedPeersGetAtMostThreeTimesWhatTheySent) {
  // A login request of 180 bytes: besides the login reply, 540 bytes.
  Buf->AddConnection(1, 10, TestIP, TestPort, 1, 180);
  auto reply = ServerMaintenance(1, MAINT_LOGINREPLY);
  reply->Resize(372);
  Buf->SendPacket(std::move(reply), false);
  for (int i = 0; i < 30; ++i) Buf->SendPacket(ServerMaintenance(1, MAINT_PONG), false);
  Buf->SendPacket(ServerCommand(1), false);
  size_t bytes = 0, packets = 0;
  for (int round = 0; round < 40; ++round) {
    while (auto p = Send()) {
      bytes += p->Size();
      ++packets;
    }
    Clock.AdvanceMs(100);  // resends of the unacknowledged command
  }
  EXPECT_LE(bytes, 372u + 540u);
  EXPECT_GE(bytes, 372u + 540u - 32u);
  EXPECT_GT(Buf->CreditDropCount(), 0u);
  // A packet with the connection's id validates it: no limit from then on.
  Buf->ReceivePacket(ClientMaintenance(1, 10, MAINT_PONG, 3));
  for (int i = 0; i < 40; ++i) Buf->SendPacket(ServerMaintenance(1, MAINT_PONG), false);
  for (int i = 0; i < 40; ++i) EXPECT_NE(Send(), nullptr);
}

TEST_F(PacketBufferTest, ConnectionInfoFigures) {
  uint32_t cid = 5, sent = 6, bytesSent = 7, received = 8, bytesReceived = 9;
  std::string ip = "x";
  uint16_t port = 10, loss = 11, ping = 12;
  EXPECT_FALSE(Buf->GetConnectionInfo(1, cid, sent, bytesSent, received, bytesReceived, ip, port,
                                      loss, ping));
  EXPECT_EQ(cid, 0u);
  EXPECT_EQ(ip, "");
  EXPECT_EQ(sent, 6u);  // the rest stays untouched
  EXPECT_EQ(port, 10u);

  Connect(1, 10);  // one command of 32 bytes out, its 16-byte ack in
  for (uint16_t c : {1, 2, 3, 5}) {
    auto v = ClientVoice(1, 10, c);
    v->SetPeer("127.0.0.2", 6000);  // the client moved
    Buf->ReceivePacket(std::move(v));
  }
  ASSERT_TRUE(Buf->GetConnectionInfo(1, cid, sent, bytesSent, received, bytesReceived, ip, port,
                                     loss, ping));
  EXPECT_EQ(cid, 10u);
  EXPECT_EQ(sent, 1u);
  EXPECT_EQ(bytesSent, 32u);
  EXPECT_EQ(received, 5u);
  EXPECT_EQ(bytesReceived, 16u + 4 * 20u);
  EXPECT_EQ(ip, "127.0.0.2");
  EXPECT_EQ(port, 6000u);
  EXPECT_EQ(loss, 1667u);  // Round(1 * 10000 / (5 + 1))
  EXPECT_EQ(ping, 50u);
  ExpectNothingToSend();

  // Replies follow the client's new address.
  Buf->SendPacket(ServerMaintenance(1, MAINT_PONG), false);
  auto reply = Send();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->PeerIP(), "127.0.0.2");
  EXPECT_EQ(reply->PeerPort, 6000u);

  // A figure wider than its output is clamped: an average ping of 100 s.
  for (int i = 0; i < 16; ++i) {
    const uint32_t seq = SendCommand(1);
    Clock.AdvanceMs(100000);
    Buf->ReceivePacket(ClientAck(1, 10, seq, 0));
  }
  EXPECT_EQ(AveragePing(1), 100000);
  Buf->GetConnectionInfo(1, cid, sent, bytesSent, received, bytesReceived, ip, port, loss, ping);
  EXPECT_EQ(ping, 65535u);
}

TEST_F(PacketBufferTest, ConnectionsAreServedInTurn) {
  // Before the cursor named a connection it stands on the first one.
  for (uint32_t pid = 1; pid <= 3; ++pid) {
    Buf->AddConnection(pid, pid * 10, TestIP, TestPort, 1);
    Buf->SendPacket(ServerMaintenance(pid, MAINT_LOGINREPLY), false);
    Buf->SendPacket(ServerMaintenance(pid, MAINT_LOGINREPLY), false);
  }
  std::vector<uint32_t> order;
  while (auto p = Send()) {
    order.push_back(p->PlayerID());
    EXPECT_EQ(p->ConnectionID(), 0u);  // a login reply keeps ConnectionID 0
  }
  EXPECT_EQ(order, (std::vector<uint32_t>{2, 3, 1, 2, 3, 1}));

  // Connections with nothing to send are passed over; the turn continues
  // after the one served last.
  Buf->SendPacket(ServerMaintenance(3, MAINT_PONG), false);
  Buf->SendPacket(ServerMaintenance(3, MAINT_PONG), false);
  Buf->SendPacket(ServerMaintenance(2, MAINT_PONG), false);
  order.clear();
  while (auto p = Send()) order.push_back(p->PlayerID());
  EXPECT_EQ(order, (std::vector<uint32_t>{2, 3, 3}));
}

TEST_F(PacketBufferTest, PrioritiesWithinOneConnection) {
  Connect(1, 10);
  const uint32_t pending = SendCommand(1);
  Clock.AdvanceMs(61);  // its resend is due
  Buf->SendPacket(ServerMaintenance(1, MAINT_PONG), false);
  Buf->SendPacket(ServerVoice(1), false);
  Buf->SendPacket(ServerCommand(1, 120), false);
  Buf->ReceivePacket(ClientCommand(1, 10, 1));  // queues an ack
  auto p = Send();
  ASSERT_TRUE(p && p->IsAck());
  p = Send();
  ASSERT_TRUE(p && p->IsCommand());
  EXPECT_EQ(p->CommandHeader().Sequence(), pending);
  EXPECT_EQ(p->CommandHeader().ResendCount(), 1u);
  p = Send();
  ASSERT_TRUE(p && p->IsVoiceS2C());
  EXPECT_EQ(p->VoiceS2CHeader().VoiceCounter(), 1u);
  EXPECT_EQ(p->ConnectionID(), 10u);
  p = Send();
  ASSERT_TRUE(p && p->IsMaintenance());
  EXPECT_EQ(p->MaintenanceHeader().Sequence(), 2u);
  EXPECT_EQ(p->ConnectionID(), 10u);
  EXPECT_TRUE(p->IsValid());
  ExpectNothingToSend();  // the new command waits for the ack
  Buf->ReceivePacket(ClientAck(1, 10, pending, 1));
  p = Send();
  ASSERT_TRUE(p && p->IsCommand());
  EXPECT_EQ(p->CommandHeader().Code(), 120);
  EXPECT_EQ(p->CommandHeader().Sequence(), pending + 1);
}

TEST_F(PacketBufferTest, DuplicatePlayerIDsResolveToTheNewest) {
  // Small ids are found through a table, large ones through a map.
  for (uint32_t pid : {1u, 65535u, 65536u, 4000000000u}) {
    SCOPED_TRACE(pid);
    Buf->AddConnection(pid, 10, TestIP, TestPort, 1);
    Buf->AddConnection(pid, 11, TestIP, TestPort, 1);
    EXPECT_EQ(Buf->ConnectionCount(), 2);
    ExpectIntake(ClientCommand(pid, 10, 1), TIntakeResult::WrongConnection);
    Buf->ReceivePacket(ClientCommand(pid, 11, 1));
    Buf->SendPacket(ServerCommand(pid), false);
    Buf->RemoveConnection(pid);  // the newest goes, with what it held
    EXPECT_EQ(Buf->ConnectionCount(), 1);
    ExpectNothingToSend();
    Buf->ReceivePacket(ClientCommand(pid, 10, 1));
    auto ack = Send();
    ASSERT_TRUE(ack && ack->IsAck());
    EXPECT_EQ(ack->ConnectionID(), 10u);
    EXPECT_EQ(ack->PlayerID(), pid);
    Buf->RemoveConnection(pid);
    Buf->RemoveConnection(pid);  // unknown: ignored
    EXPECT_EQ(Buf->ConnectionCount(), 0);
    Buf->ReceivePacket(ClientCommand(pid, 10, 2));  // nobody: ignored
    ExpectNothingToSend();
  }
}

TEST_F(PacketBufferTest, ManyConnectionsKeepListOrderThroughRemovals) {
  // Enough connections and removals to make the slot table grow and compact.
  for (uint32_t pid = 1; pid <= 250; ++pid) Buf->AddConnection(pid, pid, TestIP, TestPort, 1);
  for (uint32_t pid : {10, 20, 30, 30}) Buf->SendPacket(ServerMaintenance(pid, MAINT_PONG), false);
  auto p = Send();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PlayerID(), 10u);
  p = Send();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->PlayerID(), 20u);  // the cursor now stands on 20
  std::vector<uint32_t> list;
  for (uint32_t pid = 1; pid <= 250; ++pid) {
    if (pid % 10 == 0)
      list.push_back(pid);
    else
      Buf->RemoveConnection(pid);
  }
  for (uint32_t pid = 1000; pid < 1100; ++pid) {
    Buf->AddConnection(pid, pid, TestIP, TestPort, 1);
    list.push_back(pid);
  }
  EXPECT_EQ(Buf->ConnectionCount(), int32_t(list.size()));
  for (uint32_t pid : list) Buf->SendPacket(ServerMaintenance(pid, MAINT_PONG), false);
  std::vector<uint32_t> order;
  while (auto q = Send()) order.push_back(q->PlayerID());
  // One packet each in list order after 20, wrapping; then 30's other two.
  std::vector<uint32_t> expected(list.begin() + 2, list.end());
  expected.insert(expected.end(), {10, 20, 30, 30});
  EXPECT_EQ(order, expected);

  // Silence is watched for all of them and reported in list order, from
  // the first connection on.
  Clock.AdvanceMs(2000);
  for (size_t i = 1; i < 4; ++i) ExpectReport(reTimeout, list[i]);
}

TEST_F(PacketBufferTest, TheClockGoingBackRestartsTheTimers) {
  Connect(1, 10);
  const uint32_t seq = SendCommand(1);
  Clock.AdvanceMs(-3600000.0);
  ExpectNothingToSend();
  EXPECT_EQ(SendWait, 60u);  // restarted, not an hour away
  Clock.AdvanceMs(61);
  auto p = Send();
  ASSERT_TRUE(p && p->IsCommand());
  EXPECT_EQ(p->CommandHeader().Sequence(), seq);
  TReport r = Receive();
  EXPECT_FALSE(r.Found);
  Clock.AdvanceMs(15000);
  ExpectReport(reTimeout, 1);
}

// A batch is what consecutive single tries would hand out: same packets,
// same order, same sequence numbers and counters, and it is counted.
TEST_F(PacketBufferTest, BatchesHandOutWhatSingleTriesWould) {
  auto feed = [&](TCustomPacketBuffer& b) {
    for (uint32_t pid = 1; pid <= 3; ++pid) b.AddConnection(pid, pid * 10, TestIP, TestPort, 1);
    for (int round = 0; round < 3; ++round) {
      for (uint32_t pid = 1; pid <= 3; ++pid) {
        b.SendPacket(ServerMaintenance(pid, MAINT_LOGINREPLY), false);
        b.SendPacket(ServerCommand(pid, int16_t(100 + round)), false);
      }
    }
    b.ReceivePacket(ClientCommand(2, 20, 1));  // an ack goes first for 2
  };
  auto describe = [](const TPacket& p) {
    return std::to_string(p.PlayerID()) + "/" + std::to_string(int(p.Class())) + "/" +
           std::to_string(GetLE32(p.Data() + 12));
  };
  feed(*Buf);
  std::vector<std::string> single;
  while (auto p = Send()) single.push_back(describe(*p));
  ASSERT_EQ(single.size(), 13u);  // 9 replies, one command each (pending), the ack

  TCustomPacketBuffer batched;
  feed(batched);
  std::vector<std::string> inBatches;
  std::vector<std::unique_ptr<TPacket>> out;
  while (batched.TakeDue(out, 4) > 0) {
    EXPECT_LE(out.size(), 4u);
    for (const auto& p : out) inBatches.push_back(describe(*p));
    out.clear();
  }
  EXPECT_EQ(inBatches, single);
  uint32_t packetsSent, packetsReceived;
  int64_t bytesSent, bytesReceived;
  batched.GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
  EXPECT_EQ(packetsSent, 13u);
}

// What the driver of the buffer learns: the work handler after a call that
// gave it work, and the time until the next deadline, with none while no
// connection waits for anything.
TEST_F(PacketBufferTest, TheDriverIsToldOfWorkAndDeadlines) {
  int told = 0;
  Buf->SetWorkHandler([&] { ++told; });
  EXPECT_EQ(Buf->NextDeadlineMs(), -1);
  Buf->AddConnection(1, 10, TestIP, TestPort, 1);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(Buf->NextDeadlineMs(), 2000);  // the login's silence limit
  Buf->SendPacket(ServerCommand(1, 8), false);
  EXPECT_EQ(told, 2);
  EXPECT_EQ(Buf->NextDeadlineMs(), 0);  // something to send now
  auto p = Send();
  ASSERT_TRUE(p);
  EXPECT_EQ(Buf->NextDeadlineMs(), 60);  // its resend
  Buf->ReceivePacket(ClientAck(1, 10, p->CommandHeader().Sequence(), 0));
  EXPECT_EQ(told, 3);
  EXPECT_EQ(Buf->NextDeadlineMs(), 15000);    // connected now
  Buf->SendPacket(ServerCommand(99), false);  // refused: nothing to do
  Buf->ReceivePacket(ClientVoice(1, 11, 1));  // refused
  EXPECT_EQ(told, 3);
  Buf->ReceivePacket(ClientVoice(1, 10, 1));
  EXPECT_EQ(told, 4);
  EXPECT_EQ(Buf->NextDeadlineMs(), 0);  // an event waits
  Receive();
  Buf->Shutdown();
  Buf->SendPacket(ServerVoice(1), false);
  EXPECT_EQ(told, 4);  // no more once shut down
  EXPECT_EQ(Buf->NextDeadlineMs(), -1);
  std::vector<std::unique_ptr<TPacket>> out;
  EXPECT_EQ(Buf->TakeDue(out, 8), 0u);
  ExpectReport(reShutdown, 0);
}

// The reference for the schedule: the connections in a plain list, visited
// one by one from index cursors on every try, as simple as it can be.
// Everything per connection is TSingleConnection's, so the two differ only
// in how they find the next connection and the next wait.
class TLiteralBuffer {
 public:
  void AddConnection(uint32_t pid, uint32_t cid, const std::string& ip, uint16_t port,
                     uint32_t firstMaintenance) {
    uint32_t address = 0;
    ParseIPv4(ip, address);
    List.push_back(std::make_unique<TSingleConnection>(pid, cid, address, port, firstMaintenance,
                                                       TConnectionTimeouts{}));
  }
  void RemoveConnection(uint32_t pid) {
    TSingleConnection* c = Find(pid);
    if (!c) return;
    const int32_t index = IndexOf(c);
    // The cursors keep naming the connection served or reported last (one
    // that never named one stands on the first connection, whichever it is).
    if (SendNamed && SendCursor >= index) --SendCursor;
    if (ReceiveNamed && ReceiveCursor >= index) --ReceiveCursor;
    List.erase(List.begin() + index);
  }
  TIntakeResult ReceivePacket(std::unique_ptr<TPacket> p) {
    if (!p->IsValid()) return TIntakeResult::Invalid;
    const TPacketClass cls = p->Class();
    if (cls == TPacketClass::VoiceS2C) return TIntakeResult::ServerToClient;
    TSingleConnection* c = Find(GetLE32(p->Data() + 8));
    if (!c) return TIntakeResult::NoConnection;
    TConnectionEffects fx;
    const TIntakeResult r = c->Receive(p, cls, true, fx);
    if (fx.Deliver) Queue.push_back(std::move(p));
    return r;
  }
  TQueueResult SendPacket(std::unique_ptr<TPacket> p, bool closeAfter) {
    TSingleConnection* c = Find(p->PlayerID());
    if (!c) return TQueueResult::NoConnection;
    TConnectionEffects fx;
    const TDefaultPerformanceTime now = Now();
    return c->Queue(p, closeAfter, uint32_t(int64_t(Ms(now))), fx);
  }
  bool TrySend(std::unique_ptr<TPacket>& packet, uint32_t& waitMs) {
    const TDefaultPerformanceTime now = Now();
    waitMs = 1000;
    const bool found = Round(SendCursor, [&](TSingleConnection& c) {
      if (c.State == csClosed) return false;
      TConnectionEffects fx;
      packet = c.NextPacket(now, uint32_t(int64_t(Ms(now))), fx);
      if (packet) return true;
      waitMs = std::min(waitMs, uint32_t(c.PendingCommand ? c.ResendWait(now) : 3000));
      return false;
    });
    SendNamed |= found;
    return found;
  }
  bool TryReceive(uint32_t& pid, TReceiveEvent& event, std::unique_ptr<TPacket>& packet,
                  uint32_t& waitMs) {
    const TDefaultPerformanceTime now = Now();
    packet.reset();
    waitMs = 1000;
    uint32_t waitLeft = 1000;
    if (Round(ReceiveCursor, [&](TSingleConnection& c) {
          if (c.Reported) return false;
          bool closed = false, timedOut = false;
          const int32_t left = c.CheckSilence(now, closed, timedOut);
          if (!closed && !timedOut) {
            waitLeft = std::min(waitLeft, uint32_t(left));
            return false;
          }
          c.Reported = true;
          pid = c.PlayerID;
          event = closed ? reClosed : reTimeout;
          return true;
        })) {
      ReceiveNamed = true;
      return true;
    }
    if (!Queue.empty()) {
      packet = std::move(Queue.front());
      Queue.erase(Queue.begin());
      pid = packet->PlayerID();
      event = rePacket;
      return true;
    }
    waitMs = waitLeft;
    return false;
  }
  bool InspectConnection(uint32_t pid, const std::function<void(const TSingleConnection&)>& fn) {
    TSingleConnection* c = Find(pid);
    if (c) fn(*c);
    return c != nullptr;
  }

 private:
  static TDefaultPerformanceTime Now() {
    TDefaultPerformanceTime t;
    t.Start();
    return t;
  }
  static double Ms(const TDefaultPerformanceTime& t) { return t.StartInstant().Value * MsPerDay; }
  // The newest connection with the id: searched from the end.
  TSingleConnection* Find(uint32_t pid) {
    for (auto it = List.rbegin(); it != List.rend(); ++it)
      if ((*it)->PlayerID == pid) return it->get();
    return nullptr;
  }
  int32_t IndexOf(const TSingleConnection* c) const {
    for (size_t i = 0; i < List.size(); ++i)
      if (List[i].get() == c) return int32_t(i);
    return -1;
  }
  // Visits the connections from the one after the cursor, advancing it
  // before each visit, until visit() says stop or the round is complete.
  template <class F>
  bool Round(int32_t& cursor, F visit) {
    const int32_t count = int32_t(List.size());
    if (count == 0) return false;
    if (cursor >= count) cursor = 0;
    const bool beforeFirst = cursor < 0;
    if (beforeFirst) cursor = count - 1;
    const int32_t start = cursor;
    do {
      cursor = (cursor + 1) % count;
      if (visit(*List[size_t(cursor)])) return true;
    } while (cursor != start);
    if (beforeFirst) cursor = -1;
    return false;
  }

  std::vector<std::unique_ptr<TSingleConnection>> List;
  std::vector<std::unique_ptr<TPacket>> Queue;
  int32_t SendCursor = 0;  // stands on the first connection before any try
  int32_t ReceiveCursor = 0;
  bool SendNamed = false;  // the cursor has named a connection
  bool ReceiveNamed = false;
};

TEST(PacketBufferReference, IndexedTriesMatchTheLiteralScans) {
  // Seed 2482 finds resends that sub-microsecond noise of the clock
  // arithmetic puts out of order in the heap.
  for (uint32_t seed : {1u, 2u, 3u, 4u, 2482u}) {
    SCOPED_TRACE(seed);
    TManualClock clock{TDateTime{45000.25}};
    TClockOverride override{clock};
    TCustomPacketBuffer indexed;
    TLiteralBuffer literal;
    std::mt19937 rng(seed);
    auto chance = [&](int percent) { return int(rng() % 100) < percent; };
    struct TClient {
      std::vector<uint32_t> Cids;  // one per connection of this PlayerID, newest last
      uint32_t CommandSeq = 1, MaintSeq = 3, LastCommand = 0, Acked = 0;
      uint16_t Voice = 0, LastResend = 0;
      uint32_t Cid() const { return Cids.back(); }
    };
    std::map<uint32_t, TClient> clients;
    std::vector<uint32_t> pids;
    uint32_t nextPid = 1;
    auto randomPid = [&] { return pids[rng() % pids.size()]; };
    auto remove = [&](uint32_t pid) {  // as the listener does
      indexed.RemoveConnection(pid);
      literal.RemoveConnection(pid);
      TClient& c = clients[pid];
      c.Cids.pop_back();
      if (!c.Cids.empty()) return;
      clients.erase(pid);
      std::erase(pids, pid);
    };
    // Hands a packet made twice to both buffers; both must react alike.
    auto toBoth = [&](auto make, bool receive, bool closeAfter = false) {
      if (receive) {
        const TIntakeResult a = indexed.ReceivePacket(make());
        EXPECT_EQ(a, literal.ReceivePacket(make()));
      } else {
        const TQueueResult a = indexed.SendPacket(make(), closeAfter);
        EXPECT_EQ(a, literal.SendPacket(make(), closeAfter));
      }
    };
    int sent = 0, reports = 0, idle = 0;
    for (int step = 0; step < 6000; ++step) {
      const int op = int(rng() % 100);
      const bool quiet = (step / 400) % 2 == 1;  // phases with little to send
      if (op < 4 || pids.empty()) {
        if (pids.size() >= 40) continue;
        uint32_t pid = nextPid;
        if (!pids.empty() && chance(10)) {
          pid = randomPid();  // a second connection with the same PlayerID
        } else {
          ++nextPid;
          pids.push_back(pid);
        }
        TClient& c = clients[pid];
        c.Cids.push_back(pid * 7 + uint32_t(c.Cids.size()));
        indexed.AddConnection(pid, c.Cid(), TestIP, TestPort, 1);
        literal.AddConnection(pid, c.Cid(), TestIP, TestPort, 1);
      } else if (op < 6) {
        remove(randomPid());
      } else if (op < 16) {
        if (quiet && !chance(20)) continue;
        const uint32_t pid = randomPid();
        const int kind = int(rng() % 4);
        const bool close = chance(2);
        toBoth(
            [&] {
              if (kind == 0) return ServerVoice(pid);
              if (kind == 1) return ServerMaintenance(pid, MAINT_PONG);
              return ServerCommand(pid, kind == 2 ? 8 : 100);
            },
            false, close);
      } else if (op < 26) {
        uint32_t pid = randomPid();
        if (quiet) {  // acknowledge what is outstanding, in the quiet phases
          for (auto& [id, client] : clients)
            if (client.LastCommand != client.Acked) pid = id;
        }
        TClient& c = clients[pid];
        if (c.LastCommand == 0) continue;
        c.Acked = c.LastCommand;
        const uint16_t resend = chance(70) ? c.LastResend : 0;
        toBoth([&] { return ClientAck(pid, c.Cid(), c.LastCommand, resend); }, true);
      } else if (op < 32) {
        const uint32_t pid = randomPid();
        TClient& c = clients[pid];
        const uint32_t seq = chance(85) ? c.CommandSeq++ : c.CommandSeq + 1;
        toBoth([&] { return ClientCommand(pid, c.Cid(), seq); }, true);
      } else if (op < 38) {
        const uint32_t pid = randomPid();
        TClient& c = clients[pid];
        c.Voice = uint16_t(c.Voice + 1 + (chance(10) ? rng() % 4 : 0));
        toBoth([&] { return ClientVoice(pid, c.Cid(), c.Voice); }, true);
      } else if (op < 41) {
        const uint32_t pid = randomPid();
        TClient& c = clients[pid];
        const uint32_t seq = c.MaintSeq++;
        toBoth([&] { return ClientMaintenance(pid, c.Cid(), MAINT_PING, seq); }, true);
      } else if (op < 59) {
        // Mostly small steps, so that the tries land on the boundaries.
        clock.AdvanceMs(chance(3) ? 1000 + rng() % 1500 : chance(60) ? rng() % 8 : rng() % 120);
      } else if (op < 84) {
        std::unique_ptr<TPacket> p[2];
        uint32_t wait[2] = {0, 0};
        const bool found0 = indexed.TrySend(p[0], wait[0]);
        const bool found1 = literal.TrySend(p[1], wait[1]);
        ASSERT_EQ(found0, found1) << "step " << step;
        if (!found0) {
          ++idle;
          EXPECT_EQ(wait[0], wait[1]) << "step " << step;
          continue;
        }
        ++sent;
        ASSERT_EQ(p[0]->Size(), p[1]->Size()) << "step " << step;
        EXPECT_EQ(std::memcmp(p[0]->Data(), p[1]->Data(), p[0]->Size()), 0) << "step " << step;
        if (p[0]->IsCommand()) {
          TClient& c = clients[p[0]->PlayerID()];
          c.LastCommand = p[0]->CommandHeader().Sequence();
          c.LastResend = p[0]->CommandHeader().ResendCount();
        }
      } else {
        TReport r[2];
        r[0].Found = indexed.TryReceive(r[0].PlayerID, r[0].Event, r[0].Packet, r[0].Wait);
        r[1].Found = literal.TryReceive(r[1].PlayerID, r[1].Event, r[1].Packet, r[1].Wait);
        ASSERT_EQ(r[0].Found, r[1].Found) << "step " << step;
        if (!r[0].Found) {
          EXPECT_EQ(r[0].Wait, r[1].Wait) << "step " << step;
          continue;
        }
        ++reports;
        EXPECT_EQ(r[0].Event, r[1].Event) << "step " << step;
        ASSERT_EQ(r[0].PlayerID, r[1].PlayerID) << "step " << step;
        if (r[0].Event != rePacket && chance(50)) remove(r[0].PlayerID);
        ASSERT_EQ(bool(r[0].Packet), bool(r[1].Packet));
        if (r[0].Packet) {
          ASSERT_EQ(r[0].Packet->Size(), r[1].Packet->Size());
          EXPECT_EQ(std::memcmp(r[0].Packet->Data(), r[1].Packet->Data(), r[0].Packet->Size()), 0);
        }
      }
      if (HasFatalFailure()) return;
    }
    EXPECT_GT(sent, 300);
    EXPECT_GT(reports, 200);
    EXPECT_GT(idle, 100);
    for (uint32_t pid : pids) {
      TConnectionState states[2];
      indexed.InspectConnection(pid, [&](const TSingleConnection& c) { states[0] = c.State; });
      literal.InspectConnection(pid, [&](const TSingleConnection& c) { states[1] = c.State; });
      EXPECT_EQ(states[0], states[1]) << pid;
    }
  }
}

}  // namespace
}  // namespace vx
