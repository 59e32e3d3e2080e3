// A virtual server over real UDP: commands round-trip, malformed datagrams
// change nothing, and a stop drains the players within its time.
#include <gtest/gtest.h>

#include "ServerFixture.h"
#include "domain/scopenotify_u.h"
#include "transport/EventLoop.h"

namespace vx::testing {
namespace {

using client::TClient;

TEST_F(ServerFixture, LoginAndCommandsRoundTrip) {
  Setting("ServerName", "Round Trip");
  StartServer();
  TClient& alice = NewClient();
  client::TLoginRequest request;
  request.NickName = "alice";
  const auto reply = alice.Login(request, 3000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Result, 1);
  EXPECT_EQ(reply->ServerName, "Round Trip");
  EXPECT_EQ(reply->ServerPlatform, "Linux");
  EXPECT_EQ(reply->VersionRelease, 18);
  EXPECT_EQ(reply->PlayerID, 1u);
  EXPECT_EQ(reply->ServerType, 0x05);
  EXPECT_EQ(reply->CodecMask, 0x1Fu);
  ASSERT_TRUE(alice.EnterServer({}, 3000));
  ASSERT_EQ(alice.Channels().size(), 1u);
  EXPECT_EQ(alice.Channels()[0].Name, "Default");
  ASSERT_EQ(alice.Players().size(), 1u);
  EXPECT_EQ(alice.Players()[0].NickName, "alice");

  // Commands the server does not know are still acknowledged, in order.
  for (int i = 0; i < 5; ++i) {
    const uint8_t payload[4] = {uint8_t(i), 0, 0, 0};
    alice.SendCommand(0x0135, payload);
  }
  EXPECT_TRUE(alice.WaitCommandsAcked(3000));
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), 1);
}

TEST_F(ServerFixture, MalformedDatagramsChangeNothing) {
  StartServer();
  TClient& alice = NewClient();
  ASSERT_EQ(Join(alice, "alice"), 1);
  const uint32_t cid = alice.LastLoginReply()->ConnectionID;

  std::vector<std::vector<uint8_t>> junk;
  junk.push_back({});
  junk.push_back({0xF0, 0xBE, 1, 2, 3});
  junk.push_back(std::vector<uint8_t>(8192 + 100, 0xAB));
  // A command of alice with a wrong checksum.
  TPacket bad = client::MakeCommand(0x0135);
  bad.CommandHeader().SetConnectionID(cid);
  bad.CommandHeader().SetPlayerID(1);
  bad.CommandHeader().SetSequence(100);
  bad.SealChecksum();
  bad.Data()[20] ^= 0xFF;
  junk.emplace_back(bad.Data(), bad.Data() + bad.Size());
  // The right player with a wrong connection id, correctly sealed.
  TPacket wrong = client::MakeCommand(cmd::CMD_cs_PlayerQuit);
  wrong.CommandHeader().SetConnectionID(cid ^ 0x1234);
  wrong.CommandHeader().SetPlayerID(1);
  wrong.CommandHeader().SetSequence(1);
  wrong.SealChecksum();
  junk.emplace_back(wrong.Data(), wrong.Data() + wrong.Size());
  // A server-to-client voice packet and a login request with ids set.
  junk.push_back({0xF3, 0xBE, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  for (const auto& bytes : junk) alice.SendRaw(bytes);
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> bytes(random() % 64);
    for (auto& b : bytes) b = uint8_t(random());
    if (bytes.size() >= 2 && i % 2 == 0) bytes[0] = 0xF0 + uint8_t(i % 5), bytes[1] = 0xBE;
    alice.SendRaw(bytes);
  }
  PumpFor(200);

  // Still one player, still connected, still served; a second player joins.
  EXPECT_EQ(Server->PacketBuffer->ConnectionCount(), 1);
  alice.SendCommand(0x0135);
  EXPECT_TRUE(alice.WaitCommandsAcked(3000));
  TClient& bob = NewClient();
  EXPECT_EQ(Join(bob, "bob"), 1);
  uint32_t packetsReceived = 0, packetsSent = 0;
  int64_t bytesReceived = 0, bytesSent = 0;
  Server->PacketBuffer->GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
  EXPECT_GT(packetsReceived, 200u) << "every datagram counts, valid or not";
}

TEST_F(ServerFixture, StopTellsEveryPlayerAndDrainsInTime) {
  StartServer();
  TClient& alice = NewClient();
  TClient& bob = NewClient();
  ASSERT_EQ(Join(alice, "alice"), 1);
  ASSERT_EQ(Join(bob, "bob"), 1);
  PumpFor(100);

  // Stop on another thread while the clients keep answering.
  std::atomic<bool> stopped{false};
  const auto begin = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    Manager.StopServers("");
    stopped = true;
  });
  PumpAll([&] { return stopped.load(); }, 5000);
  stopper.join();
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, std::chrono::milliseconds(2500));
  for (TClient* c : {&alice, &bob}) {
    const auto left = c->WaitCommand(cmd::CMD_sc_NotifyPlayerLeftScope, 0);
    ASSERT_TRUE(left);
    EXPECT_EQ(GetLE32(left->Data() + 24), c->LastLoginReply()->PlayerID);
    EXPECT_EQ(GetLE16(left->Data() + 28), 4) << "the server stops";
  }
  EXPECT_TRUE(Manager.ServerList().empty());
  EXPECT_FALSE(Server->PacketBuffer) << "transport released";
}

TEST_F(ServerFixture, StopWithSilentPlayersEndsAfterTheDrainLimit) {
  StartServer();
  TClient& ghost = NewClient();
  ASSERT_EQ(Join(ghost, "ghost"), 1);
  ghost.Close();  // never acknowledges the last notice
  const auto begin = std::chrono::steady_clock::now();
  Manager.StopServers("");
  const auto took = std::chrono::steady_clock::now() - begin;
  // At most 350 rounds of 1 ms for the connections, then the threads end.
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_TRUE(Manager.ServerList().empty());
}

// Two servers on one event loop: while one of them is flooded with voice,
// the other still times its silent player out on time.
TEST_F(ServerFixture, AFloodOnOneServerDoesNotDelayAnotherOnTheSameLoop) {
  TEventLoopPool oneLoop(1);
  Manager.LoopPool = &oneLoop;
  StartServer();
  const int32_t quietPort = FreeUdpPort();
  Ini->WriteInteger("server_cfg Quiet", "ServerUDPPort", quietPort);
  auto quiet = std::make_shared<TServerObject>(Manager);
  ASSERT_TRUE(quiet->Start("server_cfg Quiet", -1, Ini.get()));

  // The busy server: a speaker and listeners that never read.
  client::TClient speaker;
  speaker.Open("127.0.0.1", uint16_t(Port));
  ASSERT_EQ(Join(speaker, "speaker"), 1);
  for (int i = 0; i < 5; ++i) {
    TClient& listener = NewClient();
    ASSERT_EQ(Join(listener, "listener" + std::to_string(i)), 1);
    listener.Close();
  }
  // The quiet server: an observer, and a player that falls silent.
  TClient& observer = NewClient();
  observer.Open("127.0.0.1", uint16_t(quietPort));
  ASSERT_EQ(Join(observer, "observer"), 1);
  TClient& silent = NewClient();
  silent.Open("127.0.0.1", uint16_t(quietPort));
  ASSERT_EQ(Join(silent, "silent"), 1);
  PumpFor(100);
  Received(observer, cmd::CMD_sc_NotifyPlayerEnteredScope);
  ASSERT_TRUE(quiet->PacketBuffer->SetConnectionTimeouts(silent.LastLoginReply()->PlayerID,
                                                         {2000, 1000, 2000}));

  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    client::TVoiceFrame frame;
    frame.Data.assign(60, 0x55);
    while (flooding) speaker.SendVoice(frame);
  });
  silent.Close();
  const auto silentSince = std::chrono::steady_clock::now();
  std::optional<TPacket> left;
  PumpAll(
      [&] {
        return (left = observer.WaitCommand(cmd::CMD_sc_NotifyPlayerLeftScope, 0)).has_value();
      },
      5000);
  const auto took = std::chrono::steady_clock::now() - silentSince;
  flooding = false;
  flood.join();
  ASSERT_TRUE(left);
  EXPECT_EQ(GetLE16(left->Data() + 28), LEFT_TIMEOUT);
  EXPECT_GE(took, std::chrono::milliseconds(500));  // silent since its last ack, before Close
  EXPECT_LE(took, std::chrono::milliseconds(1500));
  uint32_t sent = 0, received = 0;
  int64_t bytesSent = 0, bytesReceived = 0;
  Server->PacketBuffer->GetTotals(sent, received, bytesSent, bytesReceived);
  EXPECT_GT(received, 1000u) << "the busy server was busy";
  quiet->Stop();
  Manager.StopServers("");
  Clients.clear();
}

}  // namespace
}  // namespace vx::testing
