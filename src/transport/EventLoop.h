// The event loops that serve the UDP sockets of every virtual server.
//
// A loop is one thread with an epoll set, a wake-up descriptor, a heap of
// timers and the buffers that socket reads borrow. What lives on a loop (a
// virtual server's transport) is a TLoopClient: it is told when its
// descriptor is readable, when its timer expires and when it asked for a
// turn. All of that runs on the loop's thread, one client at a time, so a
// client's own work needs no lock against itself; other threads only ask
// for turns. An idle client has no timer and costs nothing.
//
// Each pass of a loop gives every readable client one read and every client
// with a turn or an expired timer one turn, so that a busy client cannot
// starve the others on the same loop: clients bound their own work per turn
// and ask for another turn when work is left.
//
// TEventLoopPool holds one loop per core; clients are spread over them.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"

namespace vx {

class TEventLoop;

class TLoopClient {
 public:
  virtual ~TLoopClient() = default;
  // The descriptor given at Attach is readable (loop thread).
  virtual void OnReadable() = 0;
  // A turn: asked for with RequestTurn, or the timer expired (loop thread).
  virtual void OnTurn() = 0;

 private:
  friend class TEventLoop;
  int Fd = -1;
  int32_t TimerIndex = -1;  // position in the loop's timer heap
  std::chrono::steady_clock::time_point TimerAt{};
  std::atomic<bool> TurnPending{false};
};

// Storage for reading up to ReadBatch datagrams with one system call.
struct TReadBuffers {
  static constexpr unsigned ReadBatch = 64;
  static constexpr size_t DatagramSize = 8192;
  TReadBuffers();
  std::vector<uint8_t> Bytes;
  mmsghdr Messages[ReadBatch];
  iovec Vectors[ReadBatch];
  sockaddr_in Sources[ReadBatch];
  // Room for the kernel's arrival stamp of each datagram.
  static constexpr size_t ControlSize = CMSG_SPACE(sizeof(timespec));
  alignas(cmsghdr) uint8_t Control[ReadBatch][ControlSize];
};

class TEventLoop {
 public:
  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Starts the thread; Stop ends and joins it (no client may be attached).
  void Start();
  void Stop();

  // Any thread. Watches fd for the client (fd -1: none), and Detach stops
  // that: after Detach returns, no call of the client runs or will run.
  // Both wait for the loop when called from another thread.
  void Attach(TLoopClient& client, int fd);
  void Detach(TLoopClient& client);
  // Any thread: the client gets a turn soon (once, however often asked).
  void RequestTurn(TLoopClient& client);
  // Any thread: runs fn on the loop thread and waits for it.
  void RunInLoop(const std::function<void()>& fn);

  // Loop thread: the client gets a turn after ms (replacing its timer), or
  // none with ms < 0.
  void SetTimer(TLoopClient& client, int64_t ms);
  bool InLoopThread() const { return std::this_thread::get_id() == ThreadID; }
  // Loop thread: the read buffers that clients of this loop share.
  TReadBuffers& ReadBuffers() { return *Reads; }
  // Clients attached (for spreading them over the loops).
  size_t ClientCount() const { return Clients.load(std::memory_order_relaxed); }

 private:
  void Run();
  void Wake();
  int TimeoutMs();
  void RunTimers();
  void RunTurns();
  void RunTasks();
  void HeapPlace(size_t i, TLoopClient* c);
  void HeapUp(size_t i);
  void HeapDown(size_t i);
  void HeapErase(TLoopClient& client);

  int Epoll = -1;
  int WakeFd = -1;
  std::thread Thread;
  std::thread::id ThreadID;
  std::atomic<bool> Stopping{false};
  std::atomic<size_t> Clients{0};
  std::unique_ptr<TReadBuffers> Reads;
  std::vector<TLoopClient*> Timers;  // min-heap by TimerAt
  TMutex Lock;                       // the hand-offs from other threads
  std::vector<TLoopClient*> Turns VX_GUARDED_BY(Lock);
  std::vector<std::function<void()>> Tasks VX_GUARDED_BY(Lock);
  bool WakeSent VX_GUARDED_BY(Lock) = false;
  std::vector<TLoopClient*> TurnScratch;
  std::vector<std::function<void()>> TaskScratch;
};

class TEventLoopPool {
 public:
  // loops 0: one per core.
  explicit TEventLoopPool(size_t loops = 0);
  ~TEventLoopPool();
  TEventLoopPool(const TEventLoopPool&) = delete;
  TEventLoopPool& operator=(const TEventLoopPool&) = delete;

  // The loop with the fewest clients.
  TEventLoop& Pick();
  size_t Size() const { return Loops.size(); }
  TEventLoop& Loop(size_t i) { return *Loops[i]; }

  // The process's loops, started on first use.
  static TEventLoopPool& Shared();

 private:
  std::vector<std::unique_ptr<TEventLoop>> Loops;
};

}  // namespace vx
