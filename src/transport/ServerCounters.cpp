#include "transport/ServerCounters.h"

namespace vx {

std::string_view LoginRefusalName(TLoginRefusal reason) {
  static constexpr std::array<std::string_view, size_t(TLoginRefusal::Count)> names = {
      "bad_password", "server_full", "nickname_in_use", "client_too_old", "bad_account", "other"};
  return names[size_t(reason)];
}

// The result codes of the login reply.
TLoginRefusal TServerCounters::LoginRefusalOf(int32_t result) {
  switch (result) {
    case -1:
      return TLoginRefusal::BadPasswordOrName;
    case -2:
      return TLoginRefusal::ServerFull;
    case -4:
      return TLoginRefusal::NicknameInUse;
    case -5:
      return TLoginRefusal::ClientTooOld;
    case -21:
      return TLoginRefusal::BadAccount;
    default:
      return TLoginRefusal::Other;
  }
}

}  // namespace vx
