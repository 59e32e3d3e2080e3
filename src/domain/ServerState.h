// What the protocol code of one virtual server works on: its settings, its
// players and channel tree, the connection buffer its packets leave
// through, and the database its accounts and channels live in. The server
// object (which starts and stops the server) derives from it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/ThreadSafety.h"
#include "domain/ServerSettings.h"
#include "domain/channelobject_u.h"
#include "domain/clientobject_u.h"
#include "host/TimeTools.h"

namespace vx {

class TCustomPacketBuffer;
class TZeveVira;

// The players of one virtual server. The listener holds the lock for each
// whole event; other threads that read or change players take it too.
class TLockedPlayerList {
 public:
  TMutex Lock;
  TPlayerList Items VX_GUARDED_BY(Lock);

  // Anyone who adds or removes a player or changes a player's channel calls
  // this (the listener does so after every event but voice).
  void Changed() VX_REQUIRES(Lock) { ++Generation; }
  // The players of a channel in list order, and a player by id, from an
  // index rebuilt after a change; the voice path uses them per frame.
  const std::vector<TClientObject*>& InChannel(int32_t channelID) VX_REQUIRES(Lock);
  TClientObject* ById(uint32_t playerID) VX_REQUIRES(Lock);

  // Tells the analysis that the lock is held where it cannot see it taken:
  // in a callback that runs inside a function whose caller holds it. Checks
  // nothing at run time.
  void AssertHeld() const VX_ASSERT_CAPABILITY(Lock) {}

 private:
  void Refresh() VX_REQUIRES(Lock);
  uint64_t Generation VX_GUARDED_BY(Lock) = 0;
  uint64_t IndexGeneration VX_GUARDED_BY(Lock) = ~uint64_t(0);
  std::unordered_map<int32_t, std::vector<TClientObject*>> ByChannel VX_GUARDED_BY(Lock);
  // Ids below DenseIDs (they count up from 1) in a table, others in a map.
  static constexpr uint32_t DenseIDs = 1u << 16;
  std::vector<TClientObject*> DenseByID VX_GUARDED_BY(Lock);
  std::unordered_map<uint32_t, TClientObject*> ByPlayerID VX_GUARDED_BY(Lock);
};

class TServerState {
 public:
  TServerState() = default;
  virtual ~TServerState() = default;
  TServerState(const TServerState&) = delete;
  TServerState& operator=(const TServerState&) = delete;

  // The settings in force. A snapshot never changes: a reader keeps the one
  // it took for as long as it needs it; taking it locks only for the copy
  // of the pointer.
  std::shared_ptr<const TServerSettings> Settings() const;
  // Puts new settings in force; readers holding the previous ones keep them.
  void ReplaceSettings(std::shared_ptr<const TServerSettings> settings);
  // Copies the settings in force, lets edit change the copy and puts it in
  // force; edits of one server follow one another.
  void EditSettings(const std::function<void(TServerSettings&)>& edit);
  // Codec of new channels, from the settings in force.
  int DefaultCodec() const;

  // The process's database (null when none is open).
  virtual TZeveVira* Database() const = 0;

  // The section of the configuration file, which also names the server's
  // accounts and channels in the database.
  std::string ConfigName;
  TDateTime StartTime;
  int32_t NextPlayerID = 1;

  // Where the packets to players go; empty while the server is stopped.
  std::unique_ptr<TCustomPacketBuffer> PacketBuffer;
  TLockedPlayerList Players;
  // The channel tree, itself the lock that guards it; taken after the
  // player list's lock.
  std::unique_ptr<TChannels> Channels;

 private:
  // Held only to copy or swap the pointer. (The library's atomic shared
  // pointer releases its load with relaxed order, so a later store's write
  // of the pointer is not ordered after the read.)
  mutable TMutex SettingsLock;
  std::shared_ptr<const TServerSettings> CurrentSettings VX_GUARDED_BY(SettingsLock){
      std::make_shared<const TServerSettings>()};
  TMutex SettingsEditLock;  // one EditSettings at a time
};

}  // namespace vx
