#include "domain/zevevira_channels_u.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/TextN.h"
#include "common/TextTools.h"
#include "host/TimeTools.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "host/zevevira_writer_u.h"

namespace vx {

namespace {

constexpr std::string_view LogCategory = "UDP Listener";
constexpr int32_t DefaultStoredMaxUsers = 2500;
const std::string MissingText = "***ERROR***";
// Longest sort key: a parent name, a blank and a sub-channel name.
constexpr size_t MaxSortKeyLength = 2 * TChannelRec::NameSize + 1;

// A server key must stay one path component: a backslash would reach into
// other keys of the database.
bool IsKeyName(std::string_view name) {
  return !name.empty() && name.find('\\') == std::string_view::npos;
}

std::string ChannelsKey(std::string_view serverKey) {
  std::string key = "\\Servers\\";
  key += serverKey;
  key += "\\Channels";
  return key;
}

std::string Path(const std::string& key, std::string_view name) {
  std::string path = key;
  path += '\\';
  path += name;
  return path;
}

std::string AttribPath(const std::string& key, size_t line) {
  return Path(key, "_UserAttribs_\\" + std::to_string(line));
}

// A stored float that a double cannot hold (or that is not a number) reads as 0.
TDateTime ToDateTime(long double value) {
  if (!std::isfinite(value) || fabsl(value) > static_cast<long double>(DBL_MAX)) return {};
  return TDateTime{static_cast<double>(value)};
}

// A stored integer for a 16-bit field; anything outside 0..65535 ends the load.
uint16_t Read16(TZeveVira& database, const std::string& key, std::string_view name, int32_t def,
                int32_t index) {
  const int32_t value = database.ReadInteger(Path(key, name), def);
  if (value < 0 || value > 0xFFFF) {
    throw EChannels("stored channel " + std::to_string(index) + ": " + std::string(name) + " " +
                    std::to_string(value) + " out of range");
  }
  return uint16_t(value);
}

std::unique_ptr<TChannelRec> ReadChannel(TZeveVira& database, const std::string& key,
                                         int32_t index) {
  auto rec = std::make_unique<TChannelRec>();
  rec->Flags = uint16_t(database.ReadInteger(Path(key, "Flags"), 0));  // the low 16 bits
  rec->Codec = Read16(database, key, "Codec", 0, index);
  rec->Parent = database.ReadInteger(Path(key, "Parent"), 0);
  rec->Order = Read16(database, key, "Order", 0, index);
  rec->MaxUsers = Read16(database, key, "MaxUsers", DefaultStoredMaxUsers, index);
  rec->SetName(database.ReadString(Path(key, "Name"), MissingText));
  rec->SetTopic(database.ReadString(Path(key, "Topic"), MissingText));
  rec->SetDescription(database.ReadString(Path(key, "Description"), MissingText));
  rec->SetPassword(database.ReadString(Path(key, "Password"), ""));
  rec->Created = ToDateTime(database.ReadFloat(Path(key, "Created"), 0));
  rec->LastChanged = ToDateTime(database.ReadFloat(Path(key, "LastChanged"), 0));
  for (size_t line = 0;; ++line) {
    std::string attrib = database.ReadString(AttribPath(key, line), "");
    if (attrib.empty()) break;
    rec->UserAttribs.push_back(std::move(attrib));
  }
  return rec;
}

void LogRefused(int32_t index, int32_t code) {
  LogFmt(LMTWARNING, LMDALL, LogCategory, "LoadChannels: stored channel %1 refused (%2)",
         {index, code});
}

void WriteChannel(TZeveVira& database, const std::string& key, const TChannelRec& rec,
                  int32_t storedParent) {
  database.WriteInteger(Path(key, "Flags"), rec.Flags);
  database.WriteInteger(Path(key, "Codec"), rec.Codec);
  database.WriteInteger(Path(key, "Parent"), storedParent);
  database.WriteInteger(Path(key, "Order"), rec.Order);
  database.WriteInteger(Path(key, "MaxUsers"), rec.MaxUsers);
  database.WriteString(Path(key, "Name"), CutText(rec.Name, TChannelRec::NameSize));
  database.WriteString(Path(key, "Topic"), CutText(rec.Topic, TChannelRec::TopicSize));
  database.WriteString(Path(key, "Description"),
                       CutText(rec.Description, TChannelRec::DescriptionSize));
  database.WriteString(Path(key, "Password"), CutText(rec.Password, TChannelRec::PasswordSize));
  const long double now = TDateTime::Now().Value;
  if (database.ReadFloat(Path(key, "Created"), 0) == 0)
    database.WriteFloat(Path(key, "Created"), now);
  else
    database.WriteFloat(Path(key, "LastChanged"), now);
  // The loader stops at the first empty line, so empty lines are left out.
  size_t line = 0;
  for (const std::string& attrib : rec.UserAttribs) {
    if (!attrib.empty()) database.WriteString(AttribPath(key, line++), attrib);
  }
}

}  // namespace

bool LoadChannels(TChannels& channels, TZeveVira& database, std::string_view serverKey) {
  try {
    std::scoped_lock lock(database.Mutex());
    if (IsKeyName(serverKey)) {
      const std::string base = ChannelsKey(serverKey);
      // Stored index -> id it received.
      std::unordered_map<int32_t, int32_t> idOfIndex;
      for (int64_t stored = 0; stored <= INT32_MAX; ++stored) {
        const int32_t index = int32_t(stored);
        const std::string key = Path(base, std::to_string(index));
        if (database.GetEntry(key, FBT_NODE) == nullptr) break;
        auto rec = ReadChannel(database, key, index);
        if (rec->Parent != -1) {
          const auto parent = idOfIndex.find(rec->Parent);
          if (parent == idOfIndex.end()) {
            LogRefused(index, CHANNELERR_PARENT_NOT_FOUND);
            continue;
          }
          rec->Parent = parent->second;
        }
        // Names made equal by renaming were stored as they were and come
        // back the same way.
        const int32_t id = channels.AddChannel(std::move(rec), true);
        if (id >= 0)
          idOfIndex.emplace(index, id);
        else
          LogRefused(index, id);
      }
    }
    if (channels.Count() == 0) {
      channels.CreateDefaultChannel();
    } else if (channels.GetDefaultChannelID() < 0) {
      // The default flag may have been set on a temporary channel, which was
      // not stored: without a default channel new players would land
      // nowhere, so the first stored top-level channel takes the flag.
      for (const auto& rec : channels.Channels()) {
        if (!rec->IsTopLevel()) continue;
        rec->Flags |= CHANNEL_DEFAULT;
        LogFmt(LMTWARNING, LMDALL, LogCategory,
               "LoadChannels: no stored channel is the default channel, %1 is made the default",
               {rec->Name});
        break;
      }
    }
    return channels.Count() > 0;
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, LogCategory, std::string("LoadChannels Exception: ") + e.what());
  }
  return false;
}

bool LoadChannels(TChannels& channels, TZeveVira& database) {
  return LoadChannels(channels, database, channels.ServerKey());
}

bool SaveChannels(const TChannels& channels, TZeveVira& database, std::string_view serverKey,
                  TSaveDone saved) {
  try {
    std::scoped_lock lock(database.Mutex());
    const std::vector<TChannelRec*> sorted = GetSortedList(channels);
    if (sorted.empty()) {
      if (saved) saved({true, {}});  // nothing to change
      return true;
    }
    if (!IsKeyName(serverKey) || !database.Active()) return false;

    // The old set goes and the new one comes in one hold of the database's
    // lock and reaches the file in one save, so the file holds either.
    const std::string base = ChannelsKey(serverKey);
    if (TFBEntry* stored = database.GetEntry(base, FBT_NODE)) database.DeleteEntry(stored);

    // Channel id -> index it was written under in this save.
    std::unordered_map<int32_t, int32_t> indexOfId;
    int32_t index = 0;
    for (const TChannelRec* rec : sorted) {
      if (!rec->IsRegistered()) continue;
      int32_t storedParent = -1;
      if (!rec->IsTopLevel()) {
        const auto parent = indexOfId.find(rec->Parent);
        if (parent == indexOfId.end()) continue;  // its parent is temporary
        storedParent = parent->second;
      }
      WriteChannel(database, Path(base, std::to_string(index)), *rec, storedParent);
      indexOfId.emplace(rec->ChannelID, index);
      ++index;
    }
    database.Writer().Submit(std::move(saved));
    return true;
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, LogCategory, std::string("SaveChannels Exception: ") + e.what());
  }
  return false;
}

bool SaveChannels(const TChannels& channels, TZeveVira& database) {
  return SaveChannels(channels, database, channels.ServerKey());
}

std::vector<TChannelRec*> GetSortedList(const TChannels& channels) {
  struct TSortEntry {
    std::string Key;
    TChannelRec* Rec;
  };
  std::vector<TSortEntry> entries;
  entries.reserve(channels.Count());
  for (const auto& rec : channels.Channels()) {
    std::string key;
    if (rec->IsTopLevel()) {
      key = rec->Name;
    } else {
      const TChannelRec* parent = channels.GetChannelByID(rec->Parent);
      if (parent == nullptr || !parent->IsTopLevel()) continue;
      key = parent->Name + " " + rec->Name;
    }
    entries.push_back({UpperCaseAscii(CutText(key, MaxSortKeyLength)), rec.get()});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const TSortEntry& a, const TSortEntry& b) { return a.Key < b.Key; });
  std::vector<TChannelRec*> sorted;
  sorted.reserve(entries.size());
  for (const TSortEntry& entry : entries) sorted.push_back(entry.Rec);
  return sorted;
}

}  // namespace vx
