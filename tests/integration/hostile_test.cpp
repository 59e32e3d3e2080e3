// Clients that do not play by the rules: a player that stops acknowledging,
// logins that never finish, sources that never answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include "CommandsFixture.h"

namespace vx::testing {
namespace {

using client::TClient;
using HostileTest = CommandsFixture;

// A bare UDP socket that sends login requests and never answers anything;
// it counts what comes back.
class TSilentSource {
 public:
  explicit TSilentSource(int32_t port, const char* from = "127.0.0.1") {
    Fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    bind(Fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    Server.sin_family = AF_INET;
    Server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Server.sin_port = htons(uint16_t(port));
  }
  ~TSilentSource() { close(Fd); }
  TSilentSource(const TSilentSource&) = delete;
  TSilentSource& operator=(const TSilentSource&) = delete;

  void SendLogin(const std::string& nick) {
    client::TLoginRequest request;
    request.NickName = nick;
    const TPacket p = client::EncodeLoginRequest(request, 1);
    BytesSent += p.Size();
    sendto(Fd, p.Data(), p.Size(), 0, reinterpret_cast<const sockaddr*>(&Server), sizeof Server);
  }
  // Reads what has arrived, waiting at most ms for the first datagram.
  void Drain(int ms) {
    pollfd pfd{Fd, POLLIN, 0};
    uint8_t buffer[8192];
    while (poll(&pfd, 1, ms) > 0) {
      const ssize_t n = recv(Fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      const bool reply = n >= 20 && GetLE16(buffer) == MAGIC_MAINTENANCE &&
                         GetLE16(buffer + 2) == MAINT_LOGINREPLY;
      (reply ? ReplyBytes : OtherBytes) += size_t(n);
      Replies += reply;
      ms = 0;
    }
  }

  size_t BytesSent = 0, ReplyBytes = 0, OtherBytes = 0, Replies = 0;

 private:
  int Fd = -1;
  sockaddr_in Server{};
};

void Say(TClient& c, const std::string& text) {
  Send(c, cmd::CMD_cs_InfoSendText,
       TPayload(InfoSendTextSize).Text(24, 255, text).U32(280, 0).U32(284, uint32_t(-1)));
}

TEST_F(HostileTest, APlayerThatStopsAcknowledgingIsDroppedAndTheServerGoesOn) {
  Start();
  TClient& alice = Enter("alice");
  TClient& mallory = Enter("mallory");
  const uint32_t malloryID = Id(mallory);
  mallory.Close();  // takes nothing from now on; its queue fills up
  Drain(alice);
  // Every text goes to every player: mallory's queue overflows long before
  // mallory would time out.
  for (int i = 0; i < 1100; ++i) {
    Say(alice, "x");
    if (i % 50 == 49) {
      ASSERT_TRUE(alice.WaitCommandsAcked(5000));
    }
  }
  std::optional<TPacket> left;
  PumpAll(
      [&] {
        return (left = alice.Session().TakeCommand(cmd::CMD_sc_NotifyPlayerLeftScope)).has_value();
      },
      10000);
  ASSERT_TRUE(left);
  EXPECT_EQ(GetLE32(left->Data() + 24), malloryID);
  EXPECT_EQ(GetLE16(left->Data() + 28), LEFT_TIMEOUT);
  EXPECT_TRUE(alice.WaitCommandsAcked(10000));
  EXPECT_EQ(PlayerCount(), 1u);
  EXPECT_GT(Server->PacketBuffer->OverflowDropCount(), 0u);
  TClient& bob = NewClient();
  EXPECT_EQ(Join(bob, "bob"), 1);
}

TEST_F(HostileTest, UnfinishedLoginsGiveWayAndAreNeverAnnounced) {
  Setting("ServerMaxUsers", 6);
  Start();
  TClient& alice = Enter("alice");
  // A slow player of another address is still logging in when the flood
  // fills the server: the flood gives way to itself, not to that player.
  TSilentSource slow(Port);
  slow.SendLogin("slow");
  ASSERT_TRUE(PumpAll([&] { return PlayerCount() == 2; }, 3000));
  TSilentSource flood(Port, "127.0.0.2");
  for (int i = 0; i < 20; ++i) flood.SendLogin("f" + std::to_string(i));
  PumpAll(
      [&] {
        flood.Drain(0);
        return flood.Replies == 20;
      },
      3000);
  EXPECT_EQ(flood.Replies, 20u);  // every request is answered
  EXPECT_EQ(PlayerCount(), 6u);   // the oldest unfinished gave way to each newer one
  {
    TLockGuard<TMutex> players(Server->Players.Lock);
    EXPECT_EQ(std::count_if(Server->Players.Items.begin(), Server->Players.Items.end(),
                            [](const auto& c) { return c->NickName == "slow"; }),
              1);
  }
  // Real players still get in: unfinished logins give way to them, and
  // nobody hears of those.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Join(NewClient(), "p" + std::to_string(i)), 1);
  // With only finished logins on the server, it is full.
  EXPECT_EQ(Join(NewClient(), "late"), LOGIN_SERVER_FULL);
  PumpFor(200);
  EXPECT_TRUE(Received(alice, cmd::CMD_sc_NotifyPlayerLeftScope).empty());
}

TEST_F(HostileTest, SourcesThatNeverAnswerGetAtMostThreeTimesWhatTheySent) {
  Start();
  TClient& alice = Enter("alice");
  TSilentSource flood(Port);
  for (int i = 0; i < 4; ++i) flood.SendLogin("f" + std::to_string(i));
  // Notices about others, and their resends, are what a reflector would
  // send to a forged address.
  for (int i = 0; i < 60; ++i) {
    Say(alice, std::string(200, 'x'));
    flood.Drain(0);
  }
  for (int i = 0; i < 4; ++i) {
    TClient& c = Enter("p" + std::to_string(i));
    ASSERT_TRUE(c.Quit(3000));
    flood.Drain(0);
  }
  EXPECT_TRUE(alice.WaitCommandsAcked(5000));
  PumpAll(
      [&] {
        flood.Drain(0);
        return false;
      },
      1500);
  EXPECT_EQ(flood.Replies, 4u);
  EXPECT_GT(flood.OtherBytes, 0u);
  EXPECT_LE(flood.OtherBytes, 3 * flood.BytesSent);
}

TEST_F(HostileTest, PasswordGuessesOverUdpAreThrottledAndLogged) {
  CaptureLog();
  Start();
  AddAccount("owner", "right", SERVERPRIV_ADMIN);
  TClient& guesser = NewClient();
  auto login = [&](const std::string& password) {
    client::TLoginRequest request;
    request.NickName = "owner";
    request.LogInName = "owner";
    request.PassWord = password;
    const auto start = std::chrono::steady_clock::now();
    const auto reply = guesser.Login(request, 5000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(reply);
    return std::make_pair(reply ? reply->Result : 0, took);
  };
  // Five failures are answered at once; after that every answer waits.
  for (int i = 0; i < 5; ++i) {
    const auto [result, took] = login("wrong" + std::to_string(i));
    EXPECT_EQ(result, LOGIN_BAD_ACCOUNT);
    EXPECT_LT(took, std::chrono::milliseconds(200));
  }
  const auto [result, took] = login("wrong");
  EXPECT_EQ(result, LOGIN_BAD_ACCOUNT);
  EXPECT_GE(took, std::chrono::milliseconds(200));
  // The right password still gets in, late.
  const auto [right, late] = login("right");
  EXPECT_EQ(right, 1);
  EXPECT_GE(late, std::chrono::milliseconds(200));
  const std::string log = LogText();
  EXPECT_NE(log.find(",WARNING,All,UDP Listener,\tSP: " + std::to_string(Port) +
                     " failed login of owner from 127.0.0.1\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("wrong"), std::string::npos) << "no password in the log";
  EXPECT_NE(log.find("administrator owner logged in from 127.0.0.1"), std::string::npos);
}

}  // namespace
}  // namespace vx::testing
