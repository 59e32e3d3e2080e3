// vxcli: logs in to a virtual server, prints the login verdict, the server,
// the channel tree and the players, and quits. See client/Vxcli.h.
#include <iostream>
#include <string>
#include <vector>

#include "client/Vxcli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vx::client::RunVxcli(args, std::cout, std::cerr);
}
