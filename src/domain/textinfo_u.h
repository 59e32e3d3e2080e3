// Text messages between players, and the answers to a player's questions
// about another player's connection and about the server. Handlers run on
// the listener thread with the player list and the channel list locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "domain/scopenotify_u.h"

namespace vx {

class TVXUDPListener;
class TServerObject;

namespace cmd {
constexpr int16_t CMD_cs_InfoRequestPlayerConnectionInfoOnId = 0x0190;
constexpr int16_t CMD_sc_PlayerConnectionInfo = 0x0194;
constexpr int16_t CMD_cs_InfoRequestServerInfo = 0x0195;
constexpr int16_t CMD_sc_ServerInfo = 0x0196;
constexpr int16_t CMD_cs_InfoSendText = 0x01AE;
}  // namespace cmd

constexpr size_t InfoSendTextSize = 288;
constexpr size_t InfoRequestPlayerConnectionInfoSize = 28;
constexpr size_t InfoRequestServerInfoSize = 24;
constexpr size_t NotifyTextMessageSize = 314;
constexpr size_t PlayerConnectionInfoSize = 164;
constexpr size_t ServerInfoSize = 56;
// Width of a text message (text 255).
constexpr size_t TextMessageSize = 255;

void CMD_cs_InfoSendText(TVXUDPListener& listener);
void CMD_cs_InfoRequestPlayerConnectionInfoOnId(TVXUDPListener& listener);
void CMD_cs_InfoRequestServerInfo(TVXUDPListener& listener);

// The text with the sender's nickname and the value the client passes
// along, to every player (negative channel id) or to the players in the
// channel, in list order.
void CMD_sc_NotifyTextMessage(TServerObject& server, const TClientObject& sender,
                              std::string_view text, uint32_t passThrough, int32_t channelID);

}  // namespace vx
