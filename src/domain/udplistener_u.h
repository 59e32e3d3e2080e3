// The protocol dispatch of a virtual server: takes one event at a time from
// the connection buffer (on the event loop the server lives on), finds the
// player it belongs to and runs the handler that the event and the command
// code select, with the player list and then the channel tree locked.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "common/Packets.h"
#include "common/WireLayout.h"
#include "domain/ServerState.h"
#include "transport/PacketBuffers.h"
#include "transport/ServerTransport.h"

namespace vx {

// CMD_sc_ErrorPacket to the recipient, refusing the request of that code and
// sequence; the long form with the channel id answers a wrong channel
// password.
std::unique_ptr<TPacket> NewErrorPacket(const TClientObject& recipient, int16_t errorNumber,
                                        int16_t requestCode, uint32_t requestSequence,
                                        std::optional<int32_t> channelID = std::nullopt);

class TVXUDPListener final : public TEventSink {
 public:
  explicit TVXUDPListener(TServerState& server);
  TVXUDPListener(const TVXUDPListener&) = delete;
  TVXUDPListener& operator=(const TVXUDPListener&) = delete;

  // The first player with this id, or null; id 0 always yields null.
  TClientObject* GetClientObject(uint32_t playerID) const;
  // The first player whose nickname equals the text with a-z folded to
  // capitals, or null; an empty text yields null.
  TClientObject* GetClientObject(std::string_view nickName) const;

  // Handles one event the buffer reported.
  void Handle(uint32_t playerID, TReceiveEvent event, std::unique_ptr<TPacket> packet) override;

  // Sends CMD_sc_ErrorPacket (NewErrorPacket) to the current player.
  void SendErrorPacket(int16_t errorNumber, int16_t requestCode, uint32_t requestSequence,
                       std::optional<int32_t> channelID = std::nullopt);
  // Writes the handler edge log line "SP: <port> <handler> Exception: <message>".
  void LogHandlerException(std::string_view handler, const std::exception& e) const;

  // The current event, valid during one iteration.
  uint32_t CurrentPlayerID = 0;
  TReceiveEvent CurrentEvent = TReceiveEvent::reShutdown;
  std::unique_ptr<TPacket> CurrentPacket;
  std::vector<std::unique_ptr<TClientObject>>* Clients = nullptr;
  TClientObject* CurrentClient = nullptr;
  bool DropClient = false;
  TServerState& Server;

 private:
  void HandleEvent();
  void DispatchPacket();
  void RemoveCurrentClient(uint32_t reason);
};

}  // namespace vx
