// Joining a virtual server: the login request and its verdict, the choice of
// the start channel, the channel and player lists, and the orderly quit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/WireLayout.h"
#include "domain/HandlerContext.h"

namespace vx {

void CMD_cs_LoginStep1(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_LoginStep3(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_PlayerQuit(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

void CMD_sc_LoginStep4(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_sc_LoginStep5(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_sc_LoginStep6(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

// A random session key in 0..16777214 that no player of the server holds.
uint32_t GetNewConnectionID(TServerState& server) VX_REQUIRES(server.Players.Lock);
// The next player id; restarts at 1 whenever the server is empty.
uint32_t GetNewPlayerID(TServerState& server) VX_REQUIRES(server.Players.Lock);

}  // namespace vx
