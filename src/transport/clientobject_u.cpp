#include "transport/clientobject_u.h"

#include "common/ByteOrder.h"
#include "common/TextN.h"

namespace vx {

void TClientObject::WritePlayerEntry(uint8_t* dst) const {
  PutLE32(dst + 0, PlayerID);
  PutLE32(dst + 4, uint32_t(ChannelID));
  PutLE16(dst + 8, ChannelPrivileges);
  PutLE16(dst + 10, Priviliges);
  PutLE32(dst + 12, PlayerFlags);
  PutTextN(dst + 16, TextFieldSize, NickName);
}

static_assert(16 + 1 + TClientObject::TextFieldSize == TClientObject::PlayerEntrySize);

}  // namespace vx
