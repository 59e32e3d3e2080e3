// The writing side of a virtual server's transport: the packets that the
// connection buffer hands out as due go to the server's socket, up to 64
// per system call, from the server's own port. A failed datagram is lost
// and logged; a command among them is sent again by the buffer's resends.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "common/Packets.h"
#include "transport/udpsocket_u.h"

namespace vx {

class TVXUDPSender {
 public:
  // Writes the packets in order, each to its peer.
  void Transmit(TUDPServerSocket& socket, const std::vector<std::unique_ptr<TPacket>>& batch);

 private:
  std::vector<TUDPServerSocket::TDatagram> Datagrams;
};

}  // namespace vx
