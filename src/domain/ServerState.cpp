#include "domain/ServerState.h"

#include <utility>

namespace vx {

void TLockedPlayerList::Refresh() {
  if (IndexGeneration == Generation) return;
  ByChannel.clear();
  ByPlayerID.clear();
  DenseByID.clear();
  for (const auto& c : Items) {
    if (!c) continue;
    ByChannel[c->ChannelID].push_back(c.get());
    // The first player with an id wins.
    if (c->PlayerID < DenseIDs) {
      if (c->PlayerID >= DenseByID.size()) DenseByID.resize(size_t(c->PlayerID) + 1, nullptr);
      if (DenseByID[c->PlayerID] == nullptr) DenseByID[c->PlayerID] = c.get();
    } else {
      ByPlayerID.emplace(c->PlayerID, c.get());
    }
  }
  IndexGeneration = Generation;
}

const std::vector<TClientObject*>& TLockedPlayerList::InChannel(int32_t channelID) {
  Refresh();
  static const std::vector<TClientObject*> none;
  auto it = ByChannel.find(channelID);
  return it == ByChannel.end() ? none : it->second;
}

TClientObject* TLockedPlayerList::ById(uint32_t playerID) {
  Refresh();
  if (playerID < DenseIDs) return playerID < DenseByID.size() ? DenseByID[playerID] : nullptr;
  auto it = ByPlayerID.find(playerID);
  return it == ByPlayerID.end() ? nullptr : it->second;
}

std::shared_ptr<const TServerSettings> TServerState::Settings() const {
  TLockGuard<TMutex> guard(SettingsLock);
  return CurrentSettings;
}

void TServerState::ReplaceSettings(std::shared_ptr<const TServerSettings> settings) {
  {
    TLockGuard<TMutex> guard(SettingsLock);
    CurrentSettings.swap(settings);
  }
  // The previous settings are released here, outside the lock.
}

void TServerState::EditSettings(const std::function<void(TServerSettings&)>& edit) {
  TLockGuard<TMutex> guard(SettingsEditLock);
  auto copy = std::make_shared<TServerSettings>(*Settings());
  edit(*copy);
  ReplaceSettings(std::move(copy));
}

int TServerState::DefaultCodec() const {
  return Settings()->DefaultCodec();
}

}  // namespace vx
