// The protocol dispatch of a virtual server: takes one event at a time from
// the connection buffer (on the event loop the server lives on), finds the
// player it belongs to and runs the handler that the event and the command
// code select, with the player list and then the channel tree locked.
#pragma once

#include <cstdint>
#include <memory>

#include "common/Packets.h"
#include "common/WireLayout.h"
#include "domain/HandlerContext.h"
#include "domain/ServerState.h"
#include "transport/PacketBuffers.h"
#include "transport/ServerTransport.h"

namespace vx {

class TVXUDPListener final : public TEventSink {
 public:
  explicit TVXUDPListener(TServerState& server);
  TVXUDPListener(const TVXUDPListener&) = delete;
  TVXUDPListener& operator=(const TVXUDPListener&) = delete;

  // Handles one event the buffer reported.
  void Handle(uint32_t playerID, TReceiveEvent event, std::unique_ptr<TPacket> packet) override;

 private:
  void HandleEvent();
  void DispatchPacket() VX_REQUIRES(Context.Server.Players.Lock, *Context.Server.Channels);
  void RemoveCurrentClient(uint32_t reason)
      VX_REQUIRES(Context.Server.Players.Lock, *Context.Server.Channels);

  // What the handlers of the current event see.
  THandlerContext Context;
  // The current event, valid during one iteration.
  uint32_t CurrentPlayerID = 0;
  TReceiveEvent CurrentEvent = TReceiveEvent::reShutdown;
};

}  // namespace vx
