// What a protocol handler works with: the server's state, the packet that
// arrived and the player who sent it. The listener fills it for one event
// at a time and holds the player list and the channel tree locked while
// the handlers run: each handler states this as
// VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels),
// which the analysis checks at every call.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include "common/Packets.h"
#include "domain/ServerState.h"

namespace vx {

// CMD_sc_ErrorPacket to the recipient, refusing the request of that code and
// sequence; the long form with the channel id answers a wrong channel
// password.
std::unique_ptr<TPacket> NewErrorPacket(const TClientObject& recipient, int16_t errorNumber,
                                        int16_t requestCode, uint32_t requestSequence,
                                        std::optional<int32_t> channelID = std::nullopt);

class THandlerContext {
 public:
  explicit THandlerContext(TServerState& server) : Server(server) {}
  THandlerContext(const THandlerContext&) = delete;
  THandlerContext& operator=(const THandlerContext&) = delete;

  // The first player with this id, or null; id 0 always yields null.
  TClientObject* GetClientObject(uint32_t playerID) const VX_REQUIRES(Server.Players.Lock);
  // The first player whose nickname equals the text with a-z folded to
  // capitals, or null; an empty text yields null.
  TClientObject* GetClientObject(std::string_view nickName) const VX_REQUIRES(Server.Players.Lock);

  // Sends CMD_sc_ErrorPacket (NewErrorPacket) to the current player.
  void SendErrorPacket(int16_t errorNumber, int16_t requestCode, uint32_t requestSequence,
                       std::optional<int32_t> channelID = std::nullopt);
  // Writes the handler edge log line "SP: <port> <handler> Exception: <message>".
  void LogHandlerException(std::string_view handler, const std::exception& e) const;

  TServerState& Server;
  // The current event, valid while its handler runs.
  std::unique_ptr<TPacket> CurrentPacket;
  // The server's players while the listener holds their lock, else null.
  TPlayerList* Clients VX_PT_GUARDED_BY(Server.Players.Lock) = nullptr;
  // The player who sent the packet; null for a connection without one.
  TClientObject* CurrentClient = nullptr;
  // Set by a handler: the current player leaves once it returns.
  bool DropClient = false;
};

}  // namespace vx
