#include "transport/udpsender_u.h"

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "host/logdebug.h"
#include "host/serverobject_u.h"
#include "transport/PacketBuffers.h"
#include "transport/udpsocket_u.h"

namespace vx {

namespace {
// Packets taken from the buffer and sent with one system call at most.
constexpr size_t kSendBatch = 32;
}  // namespace

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
  auto logError = [](const std::exception& e) {
    LogFmt(LMTERROR, LMDALL, "TVXUDPSender.Execute", "Exception %1 : %2",
           {ExceptionClassName(e), e.what()});
  };
  // The packets due at once go out together, in the order the buffer hands
  // them out, with one system call per batch. Consecutive packets mostly go
  // to the same address text, which is parsed once.
  std::vector<std::unique_ptr<TPacket>> batch;
  std::vector<TUDPServerSocket::TDatagram> datagrams;
  std::string lastIP;
  sockaddr_in lastAddress{};
  bool lastValid = false;
  while (!(Terminated && buffer.ShuttingDown())) {
    if (buffer.WaitSendBatch(batch, kSendBatch) == 0) break;
    datagrams.clear();
    for (const auto& packet : batch) {
      if (!lastValid || packet->PeerIP != lastIP) {
        lastIP = packet->PeerIP;
        lastValid = TUDPServerSocket::ParseAddress(lastIP, 0, lastAddress);
      }
      if (!lastValid) {
        logError(EUDPSocket("invalid address " + packet->PeerIP));
        continue;
      }
      TUDPServerSocket::TDatagram d{packet->Data(), packet->Size(), lastAddress};
      d.To.sin_port = htons(packet->PeerPort);
      datagrams.push_back(d);
    }
    try {
      socket.SendBatch(datagrams, logError);
    } catch (const std::exception& e) {
      logError(e);
    }
  }
  buffer.ThreadDone(0);
}

}  // namespace vx
