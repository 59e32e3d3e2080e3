// A virtual server against bad luck and bad peers, over real UDP: a flood of
// malformed logins cannot fill the log.
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

}  // namespace
}  // namespace vx::testing
