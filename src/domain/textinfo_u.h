// Text messages between players, and the answers to a player's questions
// about another player's connection and about the server. Handlers run on
// the listener thread with the player list and the channel list locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/WireLayout.h"
#include "domain/HandlerContext.h"
#include "domain/scopenotify_u.h"

namespace vx {

void CMD_cs_InfoSendText(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_InfoRequestPlayerConnectionInfoOnId(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void CMD_cs_InfoRequestServerInfo(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

// The text with the sender's nickname and the value the client passes
// along, to every player (negative channel id) or to the players in the
// channel, in list order.
void CMD_sc_NotifyTextMessage(TServerState& server, const TClientObject& sender,
                              std::string_view text, uint32_t passThrough, int32_t channelID)
    VX_REQUIRES(server.Players.Lock);

}  // namespace vx
