// The operator tool vxcli, kept in the library so that tests can run it
// against a scripted server:
//
//   vxcli HOST:PORT [--nick N] [--login L --password P] [--server-password P]
//                   [--channel C [--subchannel S] [--channel-password P]]
//                   [--timeout SECONDS] [--stay SECONDS]
//
// It logs in, prints the login verdict with its meaning, the server's name,
// version and welcome message, the channel tree (sub-channels indented below
// their parents) and the players, and quits. With --stay it stays online
// that long first (answering the server as a client does) and ends early
// when the server removes it. Every wait ends after the time-out (5 s unless
// given).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vx::client {

// Exit codes of vxcli.
enum TVxcliExit {
  VXCLI_OK = 0,        // logged in and out
  VXCLI_USAGE = 1,     // bad command line
  VXCLI_NOANSWER = 2,  // no login reply, or no channel and player lists, in time
  VXCLI_REFUSED = 3,   // the login was refused
  VXCLI_NOQUIT = 4,    // logged in, but the quit was not confirmed in time
  VXCLI_NETWORK = 5,   // unknown host or socket failure
  VXCLI_REMOVED = 6,   // removed by the server (kicked, or the server stopped) during --stay
};

// Runs vxcli with the arguments after the program name.
int RunVxcli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vx::client
