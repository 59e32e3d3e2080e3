// A virtual server against bad luck and bad peers, over real UDP: a flood of
// malformed logins cannot fill the log, and a port that cannot be had is
// reported with the system's reason.
#include <gtest/gtest.h>

#include "ServerFixture.h"

namespace vx::testing {
namespace {

TEST_F(ServerFixture, AFloodOfShortLoginRequestsLeavesTheLogSmall) {
  CaptureLog();
  StartServer();
  // Sealed login requests too short to read, each refused with a log line,
  // from thirty source ports.
  client::TLoginRequest request;
  request.NickName = "flood";
  TPacket shortRequest = client::EncodeLoginRequest(request, 1);
  shortRequest.Resize(87);
  shortRequest.SealChecksum();
  const std::span<const uint8_t> bytes(shortRequest.Data(), shortRequest.Size());
  std::vector<client::TClient*> senders;
  for (int i = 0; i < 30; ++i) senders.push_back(&NewClient());
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 100; ++round) {
    for (client::TClient* c : senders) c->SendRaw(bytes);
  }
  // A login behind the flood is still answered, so the flood has been read.
  client::TClient& player = NewClient();
  ASSERT_EQ(Join(player, "player"), 1);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  // Ten lines of the kind a second, and a count of the rest: not 3,000 lines.
  const size_t lines = LogCount("CMD_cs_LoginStep1 Exception: ");
  EXPECT_GE(lines, 10u);
  EXPECT_LE(lines, size_t(11 * (seconds + 1))) << LogText();
  EXPECT_LT(LogText().size(), 200u * 11 * size_t(seconds + 1));
}

TEST_F(ServerFixture, AUdpPortInUseIsReportedWithItsReason) {
  CaptureLog();
  const int taken = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(Port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto server = std::make_shared<TServerObject>(Manager);
  EXPECT_FALSE(server->Start(Section, -1, Ini.get()));
  close(taken);
  const std::string port = std::to_string(Port);
  EXPECT_EQ(
      LogCount(",ERROR,All,SERVER,\tcan not initialise udp communication with port " + port + "\n"),
      1u);
  EXPECT_EQ(LogCount(",ERROR,All,SERVER,\tudp port " + port + ": bind: Address already in use\n"),
            1u)
      << LogText();
  EXPECT_EQ(Manager.FindServerByName(Section), nullptr);
}

}  // namespace
}  // namespace vx::testing
