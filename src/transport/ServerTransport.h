// The transport of one running virtual server on its event loop: the
// server's socket is read in batches into the connection buffer, the events
// the buffer reports go to the listener one at a time, and the packets that
// became due are written back, all on the loop's thread. Between packets
// the server sleeps on a timer of the loop set to its buffer's next
// deadline; a server without connections has no timer at all. Packets that
// other threads queue (administration) ask the loop for a turn.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/EventLoop.h"
#include "transport/PacketBuffers.h"
#include "transport/udpsender_u.h"
#include "transport/udpsocket_u.h"

namespace vx {

// What the transport hands each event the buffer reports to, one at a time
// on the loop thread: the protocol dispatch of the server.
class TEventSink {
 public:
  virtual ~TEventSink() = default;
  virtual void Handle(uint32_t playerID, TReceiveEvent event, std::unique_ptr<TPacket> packet) = 0;
};

class TServerTransport final : public TLoopClient {
 public:
  // Events handled and packets written per turn at most; a server with
  // more to do takes another turn after the others on its loop.
  static constexpr int MaxEventsPerTurn = 256;
  static constexpr size_t MaxSendsPerTurn = 1024;

  TServerTransport(TCustomPacketBuffer& buffer, TEventSink& listener);
  ~TServerTransport() override;
  TServerTransport(const TServerTransport&) = delete;
  TServerTransport& operator=(const TServerTransport&) = delete;

  // Binds the socket and joins the loop. Raises EUDPSocket (with the
  // system's reason) when the socket cannot be bound.
  void Start(uint16_t port, const std::string& bindAddress, TEventLoop& loop);
  // Leaves the loop and closes the socket: when it returns, no work of this
  // server runs on the loop any more.
  void Stop();
  bool Active() const { return Socket.IsOpen(); }
  uint16_t BoundPort() const { return Socket.BoundPort(); }

  void OnReadable() override;
  void OnTurn() override;

 private:
  struct TWakeTarget;
  void Drive();

  TCustomPacketBuffer& Buffer;
  TEventSink& Listener;
  TUDPServerSocket Socket;
  TVXUDPSender Sender;
  TEventLoop* Loop = nullptr;
  std::shared_ptr<TWakeTarget> Wake;
  bool Driving = false;  // loop thread only
};

}  // namespace vx
