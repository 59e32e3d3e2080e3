// The relay of voice frames: each frame from a speaker is copied into one
// packet per recipient, never decoded.
#pragma once

#include <cstdint>

#include "common/WireLayout.h"
#include "domain/HandlerContext.h"

namespace vx {

// Entry point for every voice datagram of a known connection.
void ProgressVoiceData(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

void ProgressVoiceData_SendVoiceDataToChannel(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void ProgressVoiceData_SendVoiceDataWhisper(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);
void ProgressVoiceData_SendVoiceDataToParentChannel(THandlerContext& listener)
    VX_REQUIRES(listener.Server.Players.Lock, *listener.Server.Channels);

}  // namespace vx
