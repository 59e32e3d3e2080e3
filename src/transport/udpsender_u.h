// The sending thread of a virtual server: takes the next due packet from the
// connection buffer and writes it to the server's socket.
#pragma once

#include <atomic>
#include <thread>

namespace vx {

class TServerObject;

// Writes the packets that are due, when the send turn is free, on the
// calling thread; the sender thread writes them otherwise.
void SendDuePackets(TServerObject& server);

class TVXUDPSender {
 public:
  explicit TVXUDPSender(TServerObject& server);
  ~TVXUDPSender();
  TVXUDPSender(const TVXUDPSender&) = delete;
  TVXUDPSender& operator=(const TVXUDPSender&) = delete;

  void Start();
  void Terminate() { Terminated = true; }
  void WaitFor();

 private:
  void Execute();

  TServerObject& Server;
  std::atomic<bool> Terminated{false};
  std::thread Thread;
};

}  // namespace vx
