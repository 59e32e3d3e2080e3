#include "domain/HandlerContext.h"

#include <string>

#include "common/TextTools.h"
#include "common/WireLayout.h"
#include "host/logdebug.h"
#include "transport/PacketBuffers.h"

namespace vx {

TClientObject* THandlerContext::GetClientObject(uint32_t playerID) const {
  if (playerID == 0 || Clients == nullptr) return nullptr;
  for (const auto& c : *Clients) {
    if (c->PlayerID == playerID) return c.get();
  }
  return nullptr;
}

TClientObject* THandlerContext::GetClientObject(std::string_view nickName) const {
  if (nickName.empty() || Clients == nullptr) return nullptr;
  for (const auto& c : *Clients) {
    if (SameTextAscii(c->NickName, nickName)) return c.get();
  }
  return nullptr;
}

std::unique_ptr<TPacket> NewErrorPacket(const TClientObject& recipient, int16_t errorNumber,
                                        int16_t requestCode, uint32_t requestSequence,
                                        std::optional<int32_t> channelID) {
  using Out = TErrorPacketLayout;
  auto packet = std::make_unique<TPacket>(TPacket::WithMagic(
      MAGIC_COMMAND, channelID ? WrongChannelPasswordErrorSize : ErrorPacketSize));
  auto header = packet->CommandHeader();
  header.SetCode(errorNumber);
  header.SetConnectionID(recipient.ConnectionID);
  header.SetPlayerID(recipient.PlayerID);
  PutLE16(packet->Data() + Out::RequestCode, uint16_t(requestCode));
  PutLE32(packet->Data() + Out::RequestSequence, requestSequence);
  if (channelID) PutLE32(packet->Data() + Out::ChannelID, uint32_t(*channelID));
  return packet;
}

void THandlerContext::SendErrorPacket(int16_t errorNumber, int16_t requestCode,
                                      uint32_t requestSequence, std::optional<int32_t> channelID) {
  if (CurrentClient == nullptr) return;
  Server.PacketBuffer->SendPacket(
      NewErrorPacket(*CurrentClient, errorNumber, requestCode, requestSequence, channelID), false);
}

void THandlerContext::LogHandlerException(std::string_view handler, const std::exception& e) const {
  Log(LMTERROR, LMDALL, "UDP Listener",
      "SP: " + std::to_string(Server.Settings()->ServerUDPPort) + " " + std::string(handler) +
          " Exception: " + e.what());
}

}  // namespace vx
