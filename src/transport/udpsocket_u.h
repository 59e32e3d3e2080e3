// The UDP socket of one virtual server: bound to its port (and optionally one
// address), read by a thread of its own that hands every datagram to a
// callback, and written by the sender thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
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

  TUDPServerSocket() = default;
  ~TUDPServerSocket();
  TUDPServerSocket(const TUDPServerSocket&) = delete;
  TUDPServerSocket& operator=(const TUDPServerSocket&) = delete;

  // Binds to the port (and the address when not empty) and starts the
  // reading thread. Raises EUDPSocket when the socket cannot be set up.
  void Activate(uint16_t port, const std::string& bindAddress, TDatagramHandler handler);
  // Stops the reading thread and closes the socket.
  void Deactivate();
  bool Active() const { return IsActive.load(); }
  // The port actually bound (useful with port 0).
  uint16_t BoundPort() const { return LocalPort; }

  // Sends one datagram; raises EUDPSocket on failure.
  void SendTo(const uint8_t* data, size_t size, const sockaddr_in& to);
  void SendTo(const uint8_t* data, size_t size, const std::string& ip, uint16_t port);

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
  std::thread Reader;
};

}  // namespace vx
