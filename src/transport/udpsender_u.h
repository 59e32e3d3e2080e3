// The sending thread of a virtual server: takes the due packets from the
// connection buffer with the send turn and writes them to the server's
// socket, up to 64 per system call. A thread that finds the turn free
// writes them itself (SendDuePackets), so the sender mostly wakes for
// resends.
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
