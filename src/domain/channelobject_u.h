// The channel tree of one virtual server: the channel record with its wire
// image, the channel list with its lock, and the listener-side helpers that
// count players in channels and remove temporary channels that became empty.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/Exceptions.h"
#include "common/ThreadSafety.h"
#include "common/WireLayout.h"
#include "domain/clientobject_u.h"
#include "host/TimeTools.h"

namespace vx {

// Channel flags (TChannelRec::Flags).
constexpr uint16_t CHANNEL_UNREGISTERED = 0x01;  // temporary: never saved, removed when empty
constexpr uint16_t CHANNEL_MODERATED = 0x02;     // only admins, operators and voiced players speak
constexpr uint16_t CHANNEL_PASSWORD = 0x04;      // set exactly when Password is not empty
constexpr uint16_t CHANNEL_SUBCHANNELS = 0x08;   // sub-channels may be created below it
constexpr uint16_t CHANNEL_DEFAULT = 0x10;       // new players land here; at most one channel

// Codec ids (TChannelRec::Codec and voice frames).
constexpr uint16_t CODEC_CELP51 = 0;
constexpr uint16_t CODEC_CELP63 = 1;
constexpr uint16_t CODEC_GSM148 = 2;
constexpr uint16_t CODEC_GSM164 = 3;
constexpr uint16_t CODEC_WINDOWSCELP52 = 4;

class EChannels : public Exception {
 public:
  using Exception::Exception;
};

// One channel. The text fields are byte strings that the setters (and
// AddChannel) cut to their field sizes.
struct TChannelRec {
  static constexpr size_t NameSize = ShortTextSize;
  static constexpr size_t TopicSize = ShortTextSize;
  static constexpr size_t DescriptionSize = DescriptionTextSize;
  static constexpr size_t PasswordSize = ShortTextSize;

  int32_t ChannelID = 0;  // assigned by AddChannel; never changed afterwards
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  int32_t Parent = -1;  // -1 for a top-level channel
  std::string Name;
  std::string Topic;
  std::string Description;
  uint16_t Order = 0;  // kept and sent; the server does not sort by it
  uint16_t MaxUsers = 0;
  std::string Password;  // empty = none
  TDateTime Created;
  TDateTime LastChanged;
  // Stored channel privileges of registered accounts, lines "login=value"
  // (consulted on top-level channels only).
  std::vector<std::string> UserAttribs;

  bool IsTopLevel() const { return Parent == -1; }
  bool IsRegistered() const { return (Flags & CHANNEL_UNREGISTERED) == 0; }

  void SetName(std::string_view value);
  void SetTopic(std::string_view value);
  void SetDescription(std::string_view value);
  void SetPassword(std::string_view value);
  // Cuts every text field to its size.
  void CutTexts();

  // Writes the channel wire record (TChannelRecordLayout, without the
  // password and the times), ChannelWireRecordSize bytes, at dst.
  void WriteWireRecord(uint8_t* dst) const;
};

// The channel list of one virtual server, and the (recursive) lock that
// guards it: every operation expects the caller to hold it (Lock/Unlock, or
// a TLockGuard on the list). The analysis knows the list as a lock; the
// functions that work on a server's tree name it in VX_REQUIRES.
class VX_CAPABILITY("mutex") TChannels {
 public:
  using TChannelList = std::vector<std::unique_ptr<TChannelRec>>;

  explicit TChannels(std::string serverKey);
  ~TChannels();
  TChannels(const TChannels&) = delete;
  TChannels& operator=(const TChannels&) = delete;

  // Key of the owning virtual server in the database.
  const std::string& ServerKey() const { return ServerKeyValue; }

  // Adds the record and returns its new id (>= 0), taking it out of record.
  // A refused record is answered with a negative error code and stays with
  // the caller: record is then left as it was. A null record raises.
  // sameNameAllowed: a name another channel of the same parent already has
  // is accepted (channels read back from the database: renaming may have
  // made names equal, and such a channel must not be lost at the restart).
  int32_t AddChannel(std::unique_ptr<TChannelRec>&& record, bool sameNameAllowed = false);
  // Removes the channel (a top-level channel with its sub-channels, which
  // come first in ChangedChannels); 0 or a negative error code. The default
  // channel, or a top-level channel above it, is refused (-117).
  int32_t DeleteChannel(int32_t channelId);

  TChannelRec* GetChannelByID(int32_t channelId) const;
  // First channel in list order with that name (ASCII case ignored) below
  // parentId; parentId -1 matches any parent.
  TChannelRec* FindChannelByName(std::string_view name, int32_t parentId) const;
  int32_t GetDefaultChannelID() const;  // -1 when no channel carries CHANNEL_DEFAULT
  void CreateDefaultChannel();
  void ClearChannels();

  // The stored channel privileges of an account for a channel; a
  // sub-channel stands for its parent. 0 when anything is missing.
  uint16_t GetUserAttrib(int32_t channelId, std::string_view logInName) const;
  void SetUserAttrib(int32_t channelId, std::string_view logInName, uint16_t value);

  // Ids touched by the last AddChannel or DeleteChannel call.
  const std::vector<int32_t>& ChangedChannels() const { return Changed; }

  // Codec of a default channel that has to be created. Values outside the
  // 16-bit range (a server that permits no codec) leave it as it is.
  int32_t DefaultCodec() const { return DefaultCodecValue; }
  void SetDefaultCodec(int32_t codec);

  // All channels in insertion order. Callers may change the records' fields
  // except ChannelID; they add and remove channels only through this class.
  const TChannelList& Channels() const { return List; }
  size_t Count() const { return List.size(); }

  void Lock() VX_ACQUIRE();
  void Unlock() VX_RELEASE();
  bool Locked() const { return LockDepth.load() > 0; }
  // BasicLockable, for TLockGuard.
  void lock() VX_ACQUIRE() { Lock(); }
  void unlock() VX_RELEASE() { Unlock(); }
  // Tells the analysis that the list is locked where it cannot see it
  // taken: in a callback that runs inside a function whose caller holds
  // it. Checks nothing at run time.
  void AssertHeld() const VX_ASSERT_CAPABILITY(this) {}

 private:
  TChannelList::iterator Position(int32_t channelId);
  void RemoveAt(TChannelList::iterator it);

  std::string ServerKeyValue;
  int32_t NextID = 0;
  TChannelList List;
  std::unordered_map<int32_t, TChannelRec*> ByID;
  std::vector<int32_t> Changed;
  int32_t DefaultCodecValue = CODEC_CELP51;
  std::recursive_mutex LockMutex;
  std::atomic<int> LockDepth{0};
};

// The player list of a virtual server, as the listener-side helpers read it.
using TPlayerList = std::vector<std::unique_ptr<TClientObject>>;

// Number of players whose current channel is channelId.
int32_t GetPlayersInChannel(const TPlayerList& players, int32_t channelId);

// 0 when neither the channel nor (for a top-level channel) any of its
// sub-channels holds a player, or when no such channel exists; otherwise
// CHANNELERR_HAS_PLAYERS (-109).
int32_t CheckChannelTreeForPlayers(const TChannels& channels, const TPlayerList& players,
                                   int32_t channelId);

// Called once per destroyed channel id, with the player who caused it (0
// for the sweep after a player was dropped).
using TChannelDestroyedAnnounce =
    std::function<void(int32_t destroyedChannelId, uint32_t actingPlayerId)>;

// Removes temporary channels that became empty.
// channelId >= 0: that channel, when it exists, is unregistered, top-level
// and its tree holds no player; every destroyed id is announced with
// currentPlayerId. channelId -1: sweeps the list from the last channel to
// the first, deleting every such channel, announcing with player 0 and
// starting again from the end after each deletion; at most 1001 passes.
// Faults are logged ("ClearChannelUp Exception: ...") and end the operation.
void ClearChannelUp(TChannels& channels, const TPlayerList& players, int32_t channelId,
                    uint32_t currentPlayerId, const TChannelDestroyedAnnounce& announce);

}  // namespace vx
