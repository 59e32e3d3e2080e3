#include "transport/udpsender_u.h"

#include <arpa/inet.h>

#include "common/Exceptions.h"
#include "host/logdebug.h"

namespace vx {

namespace {

void LogSendError(const std::exception& e) {
  LogFmt(LMTERROR, LMDALL, "TVXUDPSender.Execute", "Exception %1 : %2",
         {ExceptionClassName(e), e.what()});
}

}  // namespace

void TVXUDPSender::Transmit(TUDPServerSocket& socket,
                            const std::vector<std::unique_ptr<TPacket>>& batch) {
  Datagrams.clear();
  for (const auto& packet : batch) {
    TUDPServerSocket::TDatagram d{packet->Data(), packet->Size(), {}};
    d.To.sin_family = AF_INET;
    d.To.sin_addr.s_addr = packet->PeerAddress;
    d.To.sin_port = htons(packet->PeerPort);
    Datagrams.push_back(d);
  }
  try {
    socket.SendBatch(Datagrams, LogSendError);
  } catch (const std::exception& e) {
    LogSendError(e);
  }
}

}  // namespace vx
