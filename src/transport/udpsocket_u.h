// The UDP socket of one virtual server: bound to its port (and optionally one
// address), read and written in batches by the event loop the server lives
// on.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "common/Exceptions.h"

namespace vx {

class EUDPSocket : public Exception {
 public:
  using Exception::Exception;
};

struct TReadBuffers;

class TUDPServerSocket {
 public:
  // The longest datagram taken in; longer ones are cut to this size.
  static constexpr size_t ReceiveBufferSize = 8192;

  TUDPServerSocket() = default;
  ~TUDPServerSocket();
  TUDPServerSocket(const TUDPServerSocket&) = delete;
  TUDPServerSocket& operator=(const TUDPServerSocket&) = delete;

  // Binds a non-blocking socket to the port (and the address when not
  // empty). Raises EUDPSocket with the system's reason when it cannot.
  void Open(uint16_t port, const std::string& bindAddress);
  void Close();
  bool IsOpen() const { return Socket >= 0; }
  int Descriptor() const { return Socket; }
  // The port actually bound (useful with port 0).
  uint16_t BoundPort() const { return LocalPort; }

  // Reads the datagrams waiting, up to the buffers' batch, without waiting;
  // 0 when none is there. Datagram i is in buffers.Messages[i] (msg_len,
  // cut to ReceiveBufferSize) from buffers.Sources[i].
  unsigned ReadBatch(TReadBuffers& buffers);

  // Sends one datagram; raises EUDPSocket on failure.
  void SendTo(const uint8_t* data, size_t size, const sockaddr_in& to);
  void SendTo(const uint8_t* data, size_t size, const std::string& ip, uint16_t port);

  // One datagram of a batch.
  struct TDatagram {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    sockaddr_in To{};
  };
  // Sends the datagrams in order with as few system calls as the kernel
  // allows. A datagram the kernel refuses is skipped after onError was
  // called with the error SendTo would have raised; a full send buffer is
  // waited for briefly as in SendTo.
  void SendBatch(std::span<const TDatagram> datagrams,
                 const std::function<void(const EUDPSocket&)>& onError);

  // Parses dotted text; false when it is not an IPv4 address.
  static bool ParseAddress(const std::string& ip, uint16_t port, sockaddr_in& out);

 private:
  int Socket = -1;
  uint16_t LocalPort = 0;
};

}  // namespace vx
