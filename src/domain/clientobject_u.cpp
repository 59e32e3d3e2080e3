#include "domain/clientobject_u.h"

#include "common/ByteOrder.h"
#include "common/TextN.h"

namespace vx {

void TClientObject::WritePlayerEntry(uint8_t* dst) const {
  using L = TPlayerEntryLayout;
  PutLE32(dst + L::PlayerID, PlayerID);
  PutLE32(dst + L::ChannelID, uint32_t(ChannelID));
  PutLE16(dst + L::ChannelPrivileges, ChannelPrivileges);
  PutLE16(dst + L::Priviliges, Priviliges);
  PutLE32(dst + L::PlayerFlags, PlayerFlags);
  PutTextN(dst + L::NickName, TextFieldSize, NickName);
}

}  // namespace vx
