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
constexpr size_t kSendBatch = 64;
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

namespace {

void LogSendError(const std::exception& e) {
  LogFmt(LMTERROR, LMDALL, "TVXUDPSender.Execute", "Exception %1 : %2",
         {ExceptionClassName(e), e.what()});
}

// Writes a batch taken with the send turn, in order, with one system call
// per 32 datagrams. Consecutive packets mostly go to the same address text,
// which is then parsed once.
class TTransmitter {
 public:
  void Transmit(TUDPServerSocket& socket, const std::vector<std::unique_ptr<TPacket>>& batch) {
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

 private:
  std::vector<TUDPServerSocket::TDatagram> Datagrams;
  std::string LastIP;
  sockaddr_in LastAddress{};
  bool LastValid = false;
};

// The rest of the turn: the batch taken is written, then the next one while
// packets are due.
void SendRest(TCustomPacketBuffer& buffer, TUDPServerSocket& socket,
              std::vector<std::unique_ptr<TPacket>>& batch, TTransmitter& transmitter) {
  do {
    transmitter.Transmit(socket, batch);
  } while (buffer.ContinueSend(batch, kSendBatch));
  batch.clear();
}

}  // namespace

void SendDuePackets(TServerObject& server) {
  TCustomPacketBuffer* buffer = server.PacketBuffer.get();
  TUDPServerSocket* socket = server.Socket.get();
  if (buffer == nullptr || socket == nullptr) return;
  static thread_local std::vector<std::unique_ptr<TPacket>> batch;
  static thread_local TTransmitter transmitter;
  if (!buffer->TryBeginSend(batch, kSendBatch)) return;
  SendRest(*buffer, *socket, batch, transmitter);
}

void TVXUDPSender::Execute() {
  TCustomPacketBuffer& buffer = *Server.PacketBuffer;
  TUDPServerSocket& socket = *Server.Socket;
  std::vector<std::unique_ptr<TPacket>> batch;
  TTransmitter transmitter;
  while (!(Terminated && buffer.ShuttingDown())) {
    if (buffer.BeginSend(batch, kSendBatch) == 0) break;
    SendRest(buffer, socket, batch, transmitter);
  }
  buffer.ThreadDone(0);
}

}  // namespace vx
