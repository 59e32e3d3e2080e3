// The UDP socket of one virtual server: bound to its port (and optionally one
// address), read by a thread of its own that hands every datagram to a
// callback, and written by the sender thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>

#include "common/Exceptions.h"

namespace vx {

class EUDPSocket : public Exception {
 public:
  using Exception::Exception;
};

class TUDPServerSocket {
 public:
  // The longest datagram taken in; longer ones are cut to this size.
  static constexpr size_t ReceiveBufferSize = 8192;

  using TDatagramHandler =
      std::function<void(const uint8_t* data, size_t size, const sockaddr_in& from)>;
  // Called after the datagrams of one read (up to 64 taken at once) were
  // handed to the datagram handler.
  using TBatchDoneHandler = std::function<void()>;

  TUDPServerSocket() = default;
  ~TUDPServerSocket();
  TUDPServerSocket(const TUDPServerSocket&) = delete;
  TUDPServerSocket& operator=(const TUDPServerSocket&) = delete;

  // Binds to the port (and the address when not empty) and starts the
  // reading thread. Raises EUDPSocket when the socket cannot be set up.
  void Activate(uint16_t port, const std::string& bindAddress, TDatagramHandler handler,
                TBatchDoneHandler batchDone = nullptr);
  // Stops the reading thread and closes the socket.
  void Deactivate();
  bool Active() const { return IsActive.load(); }
  // The port actually bound (useful with port 0).
  uint16_t BoundPort() const { return LocalPort; }

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
  // waited for as in SendTo.
  void SendBatch(std::span<const TDatagram> datagrams,
                 const std::function<void(const EUDPSocket&)>& onError);

  // Dotted text of an IPv4 address, without allocation for short texts.
  static std::string AddressText(const sockaddr_in& address);
  // Parses dotted text; false when it is not an IPv4 address.
  static bool ParseAddress(const std::string& ip, uint16_t port, sockaddr_in& out);

 private:
  void ReadLoop();

  int Socket = -1;
  int StopPipe[2] = {-1, -1};
  uint16_t LocalPort = 0;
  std::atomic<bool> IsActive{false};
  TDatagramHandler Handler;
  TBatchDoneHandler BatchDone;
  std::thread Reader;
};

}  // namespace vx
