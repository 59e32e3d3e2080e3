#include "transport/udpsender_u.h"

#include "common/Exceptions.h"
#include "host/logdebug.h"
#include "host/serverobject_u.h"
#include "transport/PacketBuffers.h"
#include "transport/udpsocket_u.h"

namespace vx {

TVXUDPSender::TVXUDPSender(TServerObject& server) : Server(server) {}

TVXUDPSender::~TVXUDPSender() {
  Terminate();
  WaitFor();
}

void TVXUDPSender::Start() {
  Thread = std::thread([this] { Execute(); });
}

void TVXUDPSender::WaitFor() {
  if (Thread.joinable() && Thread.get_id() != std::this_thread::get_id()) Thread.join();
}

void TVXUDPSender::Execute() {
  TCustomPacketBuffer& buffer = *Server.PacketBuffer;
  TUDPServerSocket& socket = *Server.Socket;
  while (!(Terminated && buffer.ShuttingDown())) {
    std::unique_ptr<TPacket> packet = buffer.WaitSend();
    if (!packet) break;
    try {
      socket.SendTo(packet->Data(), packet->Size(), packet->PeerIP, packet->PeerPort);
    } catch (const std::exception& e) {
      LogFmt(LMTERROR, LMDALL, "TVXUDPSender.Execute", "Exception %1 : %2",
             {ExceptionClassName(e), e.what()});
    }
  }
  buffer.ThreadDone(0);
}

}  // namespace vx
