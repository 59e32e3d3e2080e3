#include "domain/channelobject_u.h"

#include <charconv>
#include <exception>
#include <limits>
#include <unordered_set>
#include <utility>

#include "common/ByteOrder.h"
#include "common/TextN.h"
#include "common/TextTools.h"
#include "host/logdebug.h"

namespace vx {

namespace {

// Passes of the sweep that follows the removal of a player.
constexpr int MaxSweepPasses = 1001;

// The login name of a "login=value" line, or the whole line without '='.
std::string_view AttribName(std::string_view line) {
  return line.substr(0, line.find('='));
}

// A login name that a "login=value" line can hold and find again.
bool IsAttribName(std::string_view logInName) {
  return !logInName.empty() && logInName.find('=') == std::string_view::npos;
}

}  // namespace

// --- TChannelRec ------------------------------------------------------------

void TChannelRec::SetName(std::string_view value) {
  Name = CutText(value, NameSize);
}
void TChannelRec::SetTopic(std::string_view value) {
  Topic = CutText(value, TopicSize);
}
void TChannelRec::SetDescription(std::string_view value) {
  Description = CutText(value, DescriptionSize);
}
void TChannelRec::SetPassword(std::string_view value) {
  Password = CutText(value, PasswordSize);
}

void TChannelRec::CutTexts() {
  if (Name.size() > NameSize) Name.resize(NameSize);
  if (Topic.size() > TopicSize) Topic.resize(TopicSize);
  if (Description.size() > DescriptionSize) Description.resize(DescriptionSize);
  if (Password.size() > PasswordSize) Password.resize(PasswordSize);
}

void TChannelRec::WriteWireRecord(uint8_t* dst) const {
  using L = TChannelRecordLayout;
  PutLE32(dst + L::ChannelID, uint32_t(ChannelID));
  PutLE16(dst + L::Flags, Flags);
  PutLE16(dst + L::Codec, Codec);
  PutLE32(dst + L::Parent, uint32_t(Parent));
  PutTextN(dst + L::Name, NameSize, Name);
  PutTextN(dst + L::Topic, TopicSize, Topic);
  PutTextN(dst + L::Description, DescriptionSize, Description);
  PutLE16(dst + L::Order, Order);
  PutLE16(dst + L::MaxUsers, MaxUsers);
}

// --- TChannels --------------------------------------------------------------

TChannels::TChannels(std::string serverKey) : ServerKeyValue(std::move(serverKey)) {}

TChannels::~TChannels() {
  ClearChannels();
}

int32_t TChannels::AddChannel(std::unique_ptr<TChannelRec>&& record, bool sameNameAllowed) {
  Changed.clear();
  if (!record) throw EChannels("AddChannel: no channel record");
  TChannelRec& rec = *record;

  if (rec.Parent != -1 && !rec.Password.empty()) return CHANNELERR_SUBCHANNEL_PASSWORD;
  if (!sameNameAllowed &&
      FindChannelByName(CutText(rec.Name, TChannelRec::NameSize), rec.Parent) != nullptr)
    return CHANNELERR_NAME_EXISTS;
  const TChannelRec* parent = nullptr;
  if (rec.Parent != -1) {
    parent = GetChannelByID(rec.Parent);
    if (parent == nullptr) return CHANNELERR_PARENT_NOT_FOUND;
    if (parent->Parent != -1) return CHANNELERR_PARENT_IS_SUBCHANNEL;
    if ((parent->Flags & CHANNEL_SUBCHANNELS) == 0) return CHANNELERR_PARENT_NO_SUBCHANNELS;
  }
  if (NextID == std::numeric_limits<int32_t>::max())
    throw EChannels("AddChannel: channel ids exhausted");

  // Accepted: from here on the record is the list's.
  rec.CutTexts();
  if (parent != nullptr) {
    rec.Flags &= uint16_t(~CHANNEL_SUBCHANNELS);
    rec.Codec = parent->Codec;
    if (parent->IsRegistered()) rec.Flags &= uint16_t(~CHANNEL_UNREGISTERED);
  }
  if (rec.Password.empty())
    rec.Flags &= uint16_t(~CHANNEL_PASSWORD);
  else
    rec.Flags |= CHANNEL_PASSWORD;
  if ((rec.Flags & CHANNEL_DEFAULT) != 0) {
    const int32_t oldDefault = GetDefaultChannelID();
    if (oldDefault >= 0) {
      ByID.at(oldDefault)->Flags &= uint16_t(~CHANNEL_DEFAULT);
      Changed.push_back(oldDefault);
    }
  }
  rec.Created = TDateTime::Now();
  rec.LastChanged = rec.Created;
  rec.ChannelID = NextID;

  ByID.emplace(rec.ChannelID, &rec);
  try {
    List.push_back(std::move(record));
  } catch (...) {
    ByID.erase(rec.ChannelID);
    throw;
  }
  ++NextID;
  return rec.ChannelID;
}

TChannels::TChannelList::iterator TChannels::Position(int32_t channelId) {
  for (auto it = List.begin(); it != List.end(); ++it) {
    if ((*it)->ChannelID == channelId) return it;
  }
  return List.end();
}

void TChannels::RemoveAt(TChannelList::iterator it) {
  ByID.erase((*it)->ChannelID);
  List.erase(it);
}

int32_t TChannels::DeleteChannel(int32_t channelId) {
  Changed.clear();
  const TChannelRec* rec = GetChannelByID(channelId);
  if (rec == nullptr) return CHANNELERR_NOT_FOUND;
  if ((rec->Flags & CHANNEL_DEFAULT) != 0) return CHANNELERR_IS_DEFAULT;
  // The default channel does not go with its parent either: new players
  // would land in a channel that no longer exists.
  if (rec->IsTopLevel()) {
    const int32_t defaultId = GetDefaultChannelID();
    const TChannelRec* def = defaultId >= 0 ? GetChannelByID(defaultId) : nullptr;
    if (def != nullptr && def->Parent == channelId) return CHANNELERR_IS_DEFAULT;
  }

  if (rec->IsTopLevel()) {
    for (size_t i = List.size(); i-- > 0;) {
      if (List[i]->Parent != channelId) continue;
      Changed.push_back(List[i]->ChannelID);
      RemoveAt(List.begin() + ptrdiff_t(i));
    }
  }
  Changed.push_back(channelId);
  RemoveAt(Position(channelId));
  return 0;
}

TChannelRec* TChannels::GetChannelByID(int32_t channelId) const {
  const auto it = ByID.find(channelId);
  return it == ByID.end() ? nullptr : it->second;
}

TChannelRec* TChannels::FindChannelByName(std::string_view name, int32_t parentId) const {
  for (const auto& rec : List) {
    if ((parentId == -1 || rec->Parent == parentId) && SameTextAscii(rec->Name, name))
      return rec.get();
  }
  return nullptr;
}

int32_t TChannels::GetDefaultChannelID() const {
  for (const auto& rec : List) {
    if ((rec->Flags & CHANNEL_DEFAULT) != 0) return rec->ChannelID;
  }
  return -1;
}

void TChannels::CreateDefaultChannel() {
  auto rec = std::make_unique<TChannelRec>();
  rec->Flags = CHANNEL_DEFAULT;
  rec->Codec = uint16_t(DefaultCodecValue);
  rec->Parent = -1;
  rec->Name = "Default";
  rec->Topic = "Default";
  rec->Description = "Default Channel";
  rec->Order = 0;
  rec->MaxUsers = 32000;
  AddChannel(std::move(rec));
}

void TChannels::ClearChannels() {
  ByID.clear();
  while (!List.empty()) List.pop_back();
  Changed.clear();
}

uint16_t TChannels::GetUserAttrib(int32_t channelId, std::string_view logInName) const {
  const TChannelRec* rec = GetChannelByID(channelId);
  if (rec != nullptr && !rec->IsTopLevel()) rec = GetChannelByID(rec->Parent);
  if (rec == nullptr || !IsAttribName(logInName)) return 0;
  for (const std::string& line : rec->UserAttribs) {
    const std::string_view name = AttribName(line);
    if (name.size() == line.size() || !SameTextAscii(name, logInName)) continue;
    // The value comes from the database: anything that is not a decimal
    // number reads as 0; a number keeps its low 16 bits.
    const char* first = line.data() + name.size() + 1;
    const char* last = line.data() + line.size();
    int64_t value = 0;
    const auto result = std::from_chars(first, last, value);
    if (result.ec != std::errc() || result.ptr != last) return 0;
    return uint16_t(value);
  }
  return 0;
}

void TChannels::SetUserAttrib(int32_t channelId, std::string_view logInName, uint16_t value) {
  TChannelRec* rec = GetChannelByID(channelId);
  if (rec != nullptr && !rec->IsTopLevel()) rec = GetChannelByID(rec->Parent);
  if (rec == nullptr || !IsAttribName(logInName)) return;
  std::string line(logInName);
  line += '=';
  line += std::to_string(value);
  for (std::string& existing : rec->UserAttribs) {
    const std::string_view name = AttribName(existing);
    if (name.size() != existing.size() && SameTextAscii(name, logInName)) {
      existing = std::move(line);
      return;
    }
  }
  rec->UserAttribs.push_back(std::move(line));
}

void TChannels::SetDefaultCodec(int32_t codec) {
  if (codec >= 0 && codec <= std::numeric_limits<uint16_t>::max()) DefaultCodecValue = codec;
}

void TChannels::Lock() {
  LockMutex.lock();
  LockDepth.fetch_add(1);
}

void TChannels::Unlock() {
  LockDepth.fetch_sub(1);
  LockMutex.unlock();
}

// --- Listener side ----------------------------------------------------------

int32_t GetPlayersInChannel(const TPlayerList& players, int32_t channelId) {
  int32_t count = 0;
  for (const auto& player : players) {
    if (player && player->ChannelID == channelId) ++count;
  }
  return count;
}

int32_t CheckChannelTreeForPlayers(const TChannels& channels, const TPlayerList& players,
                                   int32_t channelId) {
  const TChannelRec* rec = channels.GetChannelByID(channelId);
  if (rec == nullptr) return 0;
  if (!rec->IsTopLevel())
    return GetPlayersInChannel(players, channelId) > 0 ? CHANNELERR_HAS_PLAYERS : 0;
  std::unordered_set<int32_t> tree{channelId};
  for (const auto& other : channels.Channels()) {
    if (other->Parent == channelId) tree.insert(other->ChannelID);
  }
  for (const auto& player : players) {
    if (player && tree.count(player->ChannelID) != 0) return CHANNELERR_HAS_PLAYERS;
  }
  return 0;
}

namespace {

bool IsTemporaryTopLevel(const TChannelRec& rec) {
  return !rec.IsRegistered() && rec.IsTopLevel();
}

// Deletes the channel and announces every destroyed id; the number of ids.
size_t DeleteAndAnnounce(TChannels& channels, int32_t channelId, uint32_t actingPlayerId,
                         const TChannelDestroyedAnnounce& announce) {
  if (channels.DeleteChannel(channelId) != 0) return 0;
  const std::vector<int32_t> destroyed = channels.ChangedChannels();
  for (int32_t id : destroyed) {
    if (announce) announce(id, actingPlayerId);
  }
  return destroyed.size();
}

void SweepEmptyChannels(TChannels& channels, const TPlayerList& players,
                        const TChannelDestroyedAnnounce& announce) {
  // Nobody moves during the sweep, so the channel families that hold a
  // player are found once: a player's channel, or its parent for a
  // sub-channel.
  std::unordered_set<int32_t> occupied;
  for (const auto& player : players) {
    if (!player) continue;
    const TChannelRec* rec = channels.GetChannelByID(player->ChannelID);
    if (rec != nullptr) occupied.insert(rec->IsTopLevel() ? rec->ChannelID : rec->Parent);
  }
  for (int pass = 0; pass < MaxSweepPasses; ++pass) {
    bool deleted = false;
    const auto& list = channels.Channels();
    for (size_t i = list.size(); i-- > 0;) {
      const TChannelRec& rec = *list[i];
      if (!IsTemporaryTopLevel(rec) || occupied.count(rec.ChannelID) != 0) continue;
      if (DeleteAndAnnounce(channels, rec.ChannelID, 0, announce) > 0) {
        deleted = true;
        break;  // the list changed: start again from the end
      }
    }
    if (!deleted) return;
  }
}

}  // namespace

void ClearChannelUp(TChannels& channels, const TPlayerList& players, int32_t channelId,
                    uint32_t currentPlayerId, const TChannelDestroyedAnnounce& announce) {
  try {
    if (channelId == -1) {
      SweepEmptyChannels(channels, players, announce);
      return;
    }
    const TChannelRec* rec = channels.GetChannelByID(channelId);
    if (rec == nullptr || !IsTemporaryTopLevel(*rec)) return;
    if (CheckChannelTreeForPlayers(channels, players, channelId) != 0) return;
    DeleteAndAnnounce(channels, channelId, currentPlayerId, announce);
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, "UDP Listener", std::string("ClearChannelUp Exception: ") + e.what());
  }
}

}  // namespace vx
