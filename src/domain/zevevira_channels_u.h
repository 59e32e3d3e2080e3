// The registered channels of a virtual server in the database, under
// \Servers\(server key)\Channels\(i)\ with i = 0, 1, ... in save order:
// Flags, Codec, Parent (stored index of the parent, -1 for a top-level
// channel), Order, MaxUsers (integers), Name, Topic, Description, Password
// (strings), Created, LastChanged (floats) and _UserAttribs_\(j) (the lines
// of UserAttribs). Temporary channels are never stored.
#pragma once

#include <string_view>
#include <vector>

#include "domain/channelobject_u.h"
#include "host/zevevira_writer_u.h"

namespace vx {

class TZeveVira;

// Adds the stored channels of the server to the list in stored order, each
// through AddChannel. A stored Parent names a stored index, which is mapped
// to the id that index received; a channel whose parent index was refused
// or never loaded is refused as well. When the load ends with an empty list
// the default channel is created. Returns whether the list holds a channel.
// A fault (a value outside its 16-bit field, an unusable server key) ends
// the load at that point with false and no default channel; what was added
// so far stays.
bool LoadChannels(TChannels& channels, TZeveVira& database, std::string_view serverKey);
bool LoadChannels(TChannels& channels, TZeveVira& database);  // the list's own server key

// Replaces the stored channels of the server by the registered channels of
// the list, in the order of GetSortedList, and hands one save of the whole
// set to the database's writer, so that the file holds either the old or
// the complete new set; `saved` learns the outcome (see
// zevevira_writer_u.h). A registered sub-channel whose parent is temporary
// goes unstored with its parent. An empty list leaves the database
// untouched. Returns true when it ran to the end (false for a fault or a
// closed database: nothing was handed over).
bool SaveChannels(const TChannels& channels, TZeveVira& database, std::string_view serverKey,
                  TSaveDone saved = {});
bool SaveChannels(const TChannels& channels, TZeveVira& database);

// The save order: top-level channels and the sub-channels of listed
// top-level channels, sorted by name without regard to ASCII letter case (a
// sub-channel by its parent's name, a blank and its own name, so it follows
// its parent). Channels with equal keys keep their list order. The records
// stay owned by the list.
std::vector<TChannelRec*> GetSortedList(const TChannels& channels);

}  // namespace vx
