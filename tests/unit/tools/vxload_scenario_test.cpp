#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "common/ByteOrder.h"
#include "vxload/LoadScenario.h"

namespace vx::load {
namespace {

TEST(VxloadScenario, PlayersFillChannelsAndSpeakersSpreadOverThem) {
  for (const auto& [players, channels, speakers] :
       std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
           {100, 10, 10}, {1003, 100, 100}, {5000, 500, 500}, {11, 1, 1}, {25, 4, 7}}) {
    TScenario s;
    s.Players = players;
    s.Channels = channels;
    s.Speakers = speakers;
    ASSERT_NO_THROW(s.Validate());
    uint32_t total = 0;
    for (uint32_t c = 0; c < channels; ++c) {
      const uint32_t first = s.FirstOfChannel(c), size = s.ChannelSize(c);
      EXPECT_GE(size, players / channels);
      EXPECT_LE(size, players / channels + 1);
      for (uint32_t i = first; i < first + size; ++i) EXPECT_EQ(s.ChannelOf(i), c);
      total += size;
    }
    EXPECT_EQ(total, players);
    const std::vector<uint32_t> sp = s.SpeakerPlayers();
    EXPECT_EQ(sp.size(), speakers);
    EXPECT_EQ(std::set<uint32_t>(sp.begin(), sp.end()).size(), sp.size()) << "distinct";
    std::vector<uint32_t> perChannel(channels);
    for (uint32_t p : sp) ++perChannel[s.ChannelOf(p)];
    for (uint32_t n : perChannel) EXPECT_LE(n, (speakers + channels - 1) / channels);
  }
  // S2 offers 100 speakers x 9 listeners x 50 frames.
  EXPECT_DOUBLE_EQ(NamedScenario("S2")->OfferedRelayedPerSecond(50), 45000);
  EXPECT_DOUBLE_EQ(NamedScenario("S4-200")->OfferedRelayedPerSecond(50), 10000);
  EXPECT_EQ(NamedScenario("S4-50")->Players, 51u);
  EXPECT_FALSE(NamedScenario("S9"));
}

TEST(VxloadScenario, ArgumentsAndLimits) {
  TScenario s = *NamedScenario("S1");
  const auto rest = ApplyArguments(s, {"--players=40", "--channels=4", "--speakers=8", "--fps=25",
                                       "--ramp-fps=10,20.5", "--port=9000", "--other=1", "plain"});
  EXPECT_EQ(rest, (std::vector<std::string>{"--other=1", "plain"}));
  EXPECT_EQ(s.Players, 40u);
  EXPECT_EQ(s.Port, 9000);
  EXPECT_EQ(s.RampFps, (std::vector<double>{10, 20.5}));
  EXPECT_NO_THROW(s.Validate());
  EXPECT_THROW(ApplyArguments(s, {"--players=ten"}), ELoad);
  EXPECT_THROW(ApplyArguments(s, {"--port=70000"}), ELoad);
  EXPECT_THROW(ApplyArguments(s, {"--fps"}), ELoad);

  auto invalid = [](auto change) {
    TScenario t;
    change(t);
    EXPECT_THROW(t.Validate(), ELoad);
  };
  invalid([](TScenario& t) { t.Host = "10.0.0.1"; });  // load stays on this machine
  invalid([](TScenario& t) { t.Channels = 0; });
  invalid([](TScenario& t) { t.Channels = 200; });
  invalid([](TScenario& t) { t.Speakers = 101; });
  invalid([](TScenario& t) { t.Players = 12, t.Channels = 4, t.Speakers = 16; });
  invalid([](TScenario& t) { t.PayloadBytes = 19; });
  invalid([](TScenario& t) { t.NickPrefix = std::string(28, 'n'); });  // "nnn...99" > 29
}

TEST(VxloadScenario, FramePayloadRoundTrip) {
  uint8_t bytes[60] = {};
  TFramePayload p;
  p.SendTimeNs = 0x0123456789ABCDEFull;
  p.Sequence = 77;
  p.Speaker = 5;
  p.Write(bytes);
  const auto back = TFramePayload::Read(bytes, sizeof bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->SendTimeNs, p.SendTimeNs);
  EXPECT_EQ(back->Sequence, 77u);
  EXPECT_EQ(back->Speaker, 5u);
  EXPECT_EQ(GetLE64(bytes), p.SendTimeNs) << "little-endian like the protocol";
  EXPECT_FALSE(TFramePayload::Read(bytes, TFramePayload::MinSize - 1));
  bytes[16] ^= 1;  // foreign voice data
  EXPECT_FALSE(TFramePayload::Read(bytes, sizeof bytes));
}

}  // namespace
}  // namespace vx::load
