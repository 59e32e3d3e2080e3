// The relay of voice frames: each frame from a speaker is copied into one
// packet per recipient, never decoded.
#pragma once

#include <cstdint>

#include "common/WireLayout.h"

namespace vx {

class THandlerContext;

// Entry point for every voice datagram of a known connection.
void ProgressVoiceData(THandlerContext& listener);

void ProgressVoiceData_SendVoiceDataToChannel(THandlerContext& listener);
void ProgressVoiceData_SendVoiceDataWhisper(THandlerContext& listener);
void ProgressVoiceData_SendVoiceDataToParentChannel(THandlerContext& listener);

}  // namespace vx
