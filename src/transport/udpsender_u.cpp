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
    if (!LastValid || packet->PeerIP != LastIP) {
      LastIP = packet->PeerIP;
      LastValid = TUDPServerSocket::ParseAddress(LastIP, 0, LastAddress);
    }
    if (!LastValid) {
      LogSendError(EUDPSocket("invalid address " + packet->PeerIP));
      continue;
    }
    TUDPServerSocket::TDatagram d{packet->Data(), packet->Size(), LastAddress};
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
