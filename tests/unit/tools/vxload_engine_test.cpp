#include <gtest/gtest.h>
#include <unistd.h>

#include "../../integration/ServerFixture.h"
#include "vxload/LoadEngine.h"
#include "vxload/LoadReport.h"

namespace vx::load {
namespace {

// The engine against a virtual server of this process: channels stored in
// the database beforehand, players placed by CMD_cs_LoginStep3, every frame
// of the speakers expected once at each other player of the channel.
class VxloadEngine : public vx::testing::ServerFixture {};

TEST_F(VxloadEngine, LogsInSpeaksAndAccountsForEveryRelayedFrame) {
  Manager.SetDatabase(nullptr);
  StoreChannels(ProcessSettings().DatabasePath, Section, 2, "load-");
  OpenDatabase();
  Setting("ServerType", 2);
  StartServer();

  TScenario s;
  s.Port = uint16_t(Port);
  s.Players = 7;  // channels of 4 and 3 players
  s.Channels = 2;
  s.Speakers = 3;  // players 0 and 1 of the first channel, player 4 of the second
  s.FramesPerSecond = 40;
  s.DurationS = 0.5;
  s.SettleS = 0.3;
  s.DrainS = 0.5;
  s.ServerPid = getpid();
  TLoadEngine engine(s);
  const TRunResult r = engine.Run();

  EXPECT_TRUE(r.Aborted.empty()) << r.Aborted;
  EXPECT_EQ(r.LoggedIn, 7u);
  EXPECT_EQ(r.LoginFailed, 0u);
  EXPECT_EQ(r.Misplaced, 0u) << "every player in the channel it named";
  ASSERT_EQ(r.Steps.size(), 1u);
  const TStepResult& step = r.Steps[0];
  ASSERT_GT(step.Loss.FramesSent, 0u);
  // The schedule takes the speakers in turn: player 0 (3 listeners),
  // player 4 (2 listeners), player 1 (3 listeners).
  const uint64_t rounds = step.Loss.FramesSent / 3, rest = step.Loss.FramesSent % 3;
  EXPECT_EQ(step.Loss.Expected, rounds * 8 + (rest >= 1 ? 3 : 0) + (rest >= 2 ? 2 : 0));
  EXPECT_EQ(step.Loss.Received, step.Loss.Expected);
  EXPECT_EQ(step.Loss.Foreign, 0u);
  EXPECT_EQ(step.LatencyUs.Count(), step.Loss.Received);
  EXPECT_GE(step.ServerCpuS, 0.0);
  EXPECT_NE(FormatJson(r).find("\"logged_in\":7"), std::string::npos);
}

}  // namespace
}  // namespace vx::load
