// The relay of voice frames: each frame from a speaker is copied into one
// packet per recipient, never decoded.
#pragma once

#include <cstdint>

#include "common/WireLayout.h"

namespace vx {

class TVXUDPListener;

// Entry point for every voice datagram of a known connection.
void ProgressVoiceData(TVXUDPListener& listener);

void ProgressVoiceData_SendVoiceDataToChannel(TVXUDPListener& listener);
void ProgressVoiceData_SendVoiceDataWhisper(TVXUDPListener& listener);
void ProgressVoiceData_SendVoiceDataToParentChannel(TVXUDPListener& listener);

}  // namespace vx
