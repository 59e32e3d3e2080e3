// Joining a virtual server: the login request and its verdict, the choice of
// the start channel, the channel and player lists, and the orderly quit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

class TVXUDPListener;
class TServerObject;

// Login verdicts of the reply.
constexpr int32_t LOGIN_ACCEPTED = 1;
constexpr int32_t LOGIN_BAD_PASSWORD_OR_NAME = -1;
constexpr int32_t LOGIN_SERVER_FULL = -2;
constexpr int32_t LOGIN_NICKNAME_IN_USE = -4;
constexpr int32_t LOGIN_CLIENT_TOO_OLD = -5;
constexpr int32_t LOGIN_BAD_ACCOUNT = -21;

constexpr size_t LoginRequestSize = 180;
constexpr size_t LoginRequestShortSize = 88;
constexpr size_t LoginReplySize = 372;
constexpr size_t LoginStep3Size = 116;

void CMD_cs_LoginStep1(TVXUDPListener& listener);
void CMD_cs_LoginStep3(TVXUDPListener& listener);
void CMD_cs_PlayerQuit(TVXUDPListener& listener);

void CMD_sc_LoginStep4(TVXUDPListener& listener);
void CMD_sc_LoginStep5(TVXUDPListener& listener);
void CMD_sc_LoginStep6(TVXUDPListener& listener);

// A random session key in 0..16777214 that no player of the server holds.
uint32_t GetNewConnectionID(TServerObject& server);
// The next player id; restarts at 1 whenever the server is empty.
uint32_t GetNewPlayerID(TServerObject& server);

}  // namespace vx
