// What a load run does: how many players log in, how they are spread over
// channels, who speaks how often with how much voice data, for how long;
// and the voice payload that carries the send time and a sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Exceptions.h"

namespace vx::load {

class ELoad : public Exception {
 public:
  using Exception::Exception;
};

struct TScenario {
  std::string Name = "custom";
  std::string Target = "server";  // label of what is measured (server, yardstick)
  std::string Host = "127.0.0.1";
  uint16_t Port = 8767;
  uint32_t Players = 100;
  uint32_t Channels = 10;
  uint32_t Speakers = 10;
  double FramesPerSecond = 50;
  uint32_t PayloadBytes = 60;
  double DurationS = 20;   // speaking time (per ramp step)
  double IdleS = 0;        // logged in and pinging, before speaking
  double SettleS = 1;      // after the logins, before anything is measured
  double DrainS = 1;       // receiving after the last frame was sent
  double LoginRate = 500;  // login requests started per second
  uint32_t LoginsInFlight = 64;
  uint32_t PlayersPerSocket = 1;
  std::string ChannelPrefix = "load-";
  std::string NickPrefix = "vxl";
  int ServerPid = 0;  // /proc figures of this process when above 0
  bool Quit = true;   // send CMD_cs_PlayerQuit for every player at the end
  // Ramp: speak once per frame rate, each for DurationS, and stop at the
  // first step whose loss exceeds RampTolerancePercent.
  std::vector<double> RampFps;
  double RampTolerancePercent = 0;
  double MaxRunS = 600;  // hard limit of the whole run
  int Verbose = 0;
  // Registrations beside a run (vxload register) and the accounts that
  // make-db stores.
  double RegisterRate = 10;  // per second
  double RegisterDelayS = 0;
  uint32_t Accounts = 0;

  // Checks the figures; ELoad with the reason when they do not fit.
  void Validate() const;
  // The channel of player i (0-based): players fill the channels in
  // contiguous blocks of nearly equal size.
  uint32_t ChannelOf(uint32_t player) const;
  // First player of a channel and number of players in it.
  uint32_t FirstOfChannel(uint32_t channel) const;
  uint32_t ChannelSize(uint32_t channel) const;
  // The speaking players: speaker j is member j / Channels of channel
  // j % Channels, so speakers spread evenly over the channels.
  std::vector<uint32_t> SpeakerPlayers() const;
  std::string ChannelName(uint32_t channel) const;
  std::string NickName(uint32_t player) const;
  // Relayed packets per second the server should send while everybody
  // speaks: sum over speakers of frames per second times listeners.
  double OfferedRelayedPerSecond(double framesPerSecond) const;
};

// The scenarios of the benchmark by name (S1, S2, S3, S4-10, S4-50,
// S4-200, S5, saturation, smoke).
std::optional<TScenario> NamedScenario(std::string_view name);

// Applies "--key=value" arguments to a scenario; unknown keys or bad values
// raise ELoad. Returns the arguments that are not scenario settings.
std::vector<std::string> ApplyArguments(TScenario& scenario, const std::vector<std::string>& args);
std::string ArgumentHelp();

// The voice payload of a load frame: send time (ns of CLOCK_REALTIME), the
// speaker's frame sequence, the speaker's index and a marker, then filler.
struct TFramePayload {
  static constexpr size_t MinSize = 20;
  static constexpr uint32_t Marker = 0x444C5856;  // "VXLD"

  uint64_t SendTimeNs = 0;
  uint32_t Sequence = 0;
  uint32_t Speaker = 0;

  // Writes the fields into the first MinSize bytes of dst.
  void Write(uint8_t* dst) const;
  // Reads a payload; nothing for a shorter one or one without the marker.
  static std::optional<TFramePayload> Read(const uint8_t* data, size_t size);
};

}  // namespace vx::load
