#include "transport/ServerCounters.h"

#include <exception>

namespace vx {

std::string_view DropReasonName(TDropReason reason) {
  static constexpr std::array<std::string_view, size_t(TDropReason::Count)> names = {
      "invalid",     "server_to_client",      "unknown_player",     "wrong_connection",
      "after_close", "command_while_closing", "voice_during_login", "other"};
  return names[size_t(reason)];
}

std::string_view LoginRefusalName(TLoginRefusal reason) {
  static constexpr std::array<std::string_view, size_t(TLoginRefusal::Count)> names = {
      "bad_password", "server_full", "nickname_in_use", "client_too_old", "bad_account", "other"};
  return names[size_t(reason)];
}

// The messages with which the connection buffer refuses a datagram.
TDropReason TServerCounters::DropReasonOf(std::string_view message) {
  if (message == "Invalid Packet") return TDropReason::Invalid;
  if (message == "S2C recv on Server") return TDropReason::ServerToClient;
  if (message == "wrong Connection + player combo") return TDropReason::WrongConnection;
  if (message == "recv data after close") return TDropReason::AfterClose;
  if (message == "recv command while closing.") return TDropReason::CommandWhileClosing;
  if (message == "Recv voice data during login") return TDropReason::VoiceDuringLogin;
  return TDropReason::Other;
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

void TServerCounters::DropCurrentException() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    Drop(DropReasonOf(e.what()));
  } catch (...) {
    Drop(TDropReason::Other);
  }
}

}  // namespace vx
