// The settings of one virtual server, read from its section of the
// configuration file. A server holds them as an immutable snapshot: the
// protocol threads read whichever snapshot is in force, and the
// administration replaces it as a whole.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vx {

// ServerType bits.
constexpr uint16_t SERVERTYPE_CLAN = 0x01;
constexpr uint16_t SERVERTYPE_PUBLIC = 0x02;
constexpr uint16_t SERVERTYPE_RUNNING = 0x04;
constexpr uint16_t SERVERTYPE_CLEARED = 0x08;
// ServerFlags bits.
constexpr uint16_t SERVERFLAG_ANYONE_REGISTERS = 0x01;
constexpr uint16_t SERVERFLAG_ANYONE_CREATES_CHANNELS = 0x02;

constexpr int32_t DefaultServerUDPPort = 8767;

struct TServerSettings {
  std::string SectionName;  // text 29
  int32_t ServerUDPPort = DefaultServerUDPPort;
  std::string ServerName;      // text 29
  std::string ServerPlatform;  // text 29
  uint16_t VersionMajor = 0, VersionMinor = 0, VersionRelease = 0, VersionBuild = 0;
  uint16_t ServerType = 1;
  std::string ServerWelcomeMessage;  // text 255
  bool AllowCodecCelp51 = true;
  bool AllowCodecCelp63 = true;
  bool AllowCodecGSM148 = true;
  bool AllowCodecGSM164 = true;
  bool AllowCodecWindowsCELP52 = true;
  uint16_t ServerMaxUsers = 12;
  std::string ServerPassword;  // text 29
  uint16_t ServerFlags = 2;
  std::string WebPost_LinkURL;  // text 255

  // Codec of new channels: the last permitted one in the order 0, 4, 1, 2, 3;
  // -1 when none is permitted.
  int DefaultCodec() const {
    int codec = -1;
    const std::pair<int, bool> order[] = {{0, AllowCodecCelp51},
                                          {4, AllowCodecWindowsCELP52},
                                          {1, AllowCodecCelp63},
                                          {2, AllowCodecGSM148},
                                          {3, AllowCodecGSM164}};
    for (const auto& [id, allowed] : order) {
      if (allowed) codec = id;
    }
    return codec;
  }
};

}  // namespace vx
