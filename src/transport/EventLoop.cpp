#include "transport/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <stdexcept>

#include "common/Exceptions.h"
#include "host/logdebug.h"

namespace vx {

namespace {
constexpr int MaxEventsPerPass = 256;
}  // namespace

TReadBuffers::TReadBuffers() : Bytes(size_t(ReadBatch) * DatagramSize) {
  for (unsigned i = 0; i < ReadBatch; ++i) {
    Vectors[i] = {Bytes.data() + size_t(i) * DatagramSize, DatagramSize};
    Messages[i] = {};
    Messages[i].msg_hdr.msg_iov = &Vectors[i];
    Messages[i].msg_hdr.msg_iovlen = 1;
    Messages[i].msg_hdr.msg_name = &Sources[i];
    Messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    Messages[i].msg_hdr.msg_control = Control[i];
    Messages[i].msg_hdr.msg_controllen = ControlSize;
  }
}

TEventLoop::TEventLoop() {
  Epoll = epoll_create1(EPOLL_CLOEXEC);
  WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (Epoll < 0 || WakeFd < 0) throw Exception(std::string("event loop: ") + std::strerror(errno));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;  // the wake-up descriptor
  epoll_ctl(Epoll, EPOLL_CTL_ADD, WakeFd, &ev);
}

TEventLoop::~TEventLoop() {
  Stop();
  close(WakeFd);
  close(Epoll);
}

void TEventLoop::Start() {
  if (Thread.joinable()) return;
  Stopping = false;
  std::promise<void> started;
  Thread = std::thread([this, &started] {
    ThreadID = std::this_thread::get_id();
    Reads = std::make_unique<TReadBuffers>();
    started.set_value();
    Run();
  });
  started.get_future().wait();
}

void TEventLoop::Stop() {
  if (!Thread.joinable()) return;
  Stopping = true;
  Wake();
  Thread.join();
  ThreadID = {};
}

void TEventLoop::Wake() {
  {
    TLockGuard guard(Lock);
    if (WakeSent) return;
    WakeSent = true;
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(WakeFd, &one, sizeof one);
}

void TEventLoop::RunInLoop(const std::function<void()>& fn) {
  if (!Thread.joinable() || InLoopThread()) {
    fn();
    return;
  }
  std::promise<void> done;
  {
    TLockGuard guard(Lock);
    Tasks.push_back([&fn, &done] {
      try {
        fn();
        done.set_value();
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
  }
  Wake();
  done.get_future().get();
}

void TEventLoop::Attach(TLoopClient& client, int fd) {
  RunInLoop([&] {
    client.Fd = fd;
    if (fd >= 0) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = &client;
      if (epoll_ctl(Epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
        throw Exception(std::string("epoll_ctl: ") + std::strerror(errno));
    }
    Clients.fetch_add(1, std::memory_order_relaxed);
  });
}

void TEventLoop::Detach(TLoopClient& client) {
  RunInLoop([&] {
    if (client.Fd >= 0) epoll_ctl(Epoll, EPOLL_CTL_DEL, client.Fd, nullptr);
    client.Fd = -1;
    if (client.TimerIndex >= 0) HeapErase(client);
    {
      TLockGuard guard(Lock);
      std::erase(Turns, &client);
    }
    std::erase(TurnScratch, &client);
    client.TurnPending = false;
    Clients.fetch_sub(1, std::memory_order_relaxed);
  });
}

void TEventLoop::RequestTurn(TLoopClient& client) {
  if (client.TurnPending.exchange(true)) return;
  {
    TLockGuard guard(Lock);
    Turns.push_back(&client);
  }
  if (!InLoopThread()) Wake();
}

// ---------------------------------------------------------------------------
// Timers: a binary min-heap of clients by TimerAt.

void TEventLoop::HeapPlace(size_t i, TLoopClient* c) {
  Timers[i] = c;
  c->TimerIndex = int32_t(i);
}

void TEventLoop::HeapUp(size_t i) {
  TLoopClient* c = Timers[i];
  while (i > 0) {
    const size_t parent = (i - 1) / 2;
    if (!(c->TimerAt < Timers[parent]->TimerAt)) break;
    HeapPlace(i, Timers[parent]);
    i = parent;
  }
  HeapPlace(i, c);
}

void TEventLoop::HeapDown(size_t i) {
  TLoopClient* c = Timers[i];
  const size_t n = Timers.size();
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && Timers[child + 1]->TimerAt < Timers[child]->TimerAt) ++child;
    if (!(Timers[child]->TimerAt < c->TimerAt)) break;
    HeapPlace(i, Timers[child]);
    i = child;
  }
  HeapPlace(i, c);
}

void TEventLoop::HeapErase(TLoopClient& client) {
  const size_t i = size_t(client.TimerIndex);
  client.TimerIndex = -1;
  TLoopClient* last = Timers.back();
  Timers.pop_back();
  if (last == &client) return;
  HeapPlace(i, last);
  HeapUp(i);
  HeapDown(size_t(last->TimerIndex));
}

void TEventLoop::SetTimer(TLoopClient& client, int64_t ms) {
  if (ms < 0) {
    if (client.TimerIndex >= 0) HeapErase(client);
    return;
  }
  const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  if (client.TimerIndex >= 0 && client.TimerAt == at) return;
  client.TimerAt = at;
  if (client.TimerIndex < 0) {
    Timers.push_back(&client);
    HeapUp(Timers.size() - 1);
  } else {
    HeapUp(size_t(client.TimerIndex));
    HeapDown(size_t(client.TimerIndex));
  }
}

int TEventLoop::TimeoutMs() {
  {
    TLockGuard guard(Lock);
    if (!Turns.empty() || !Tasks.empty()) return 0;
  }
  if (Timers.empty()) return -1;
  const auto left = Timers.front()->TimerAt - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  // Rounded up, so that the timer has expired when the wait ends.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return int(std::min<int64_t>(ms, 24 * 3600 * 1000));
}

void TEventLoop::RunTimers() {
  const auto now = std::chrono::steady_clock::now();
  // Expired timers become turns; a client's turn is taken once per pass.
  while (!Timers.empty() && Timers.front()->TimerAt <= now) {
    TLoopClient* c = Timers.front();
    HeapErase(*c);
    RequestTurn(*c);
  }
}

void TEventLoop::RunTurns() {
  {
    TLockGuard guard(Lock);
    TurnScratch.swap(Turns);
  }
  // A client asking again during its turn is served in the next pass.
  for (size_t i = 0; i < TurnScratch.size(); ++i) {
    TLoopClient* c = TurnScratch[i];
    c->TurnPending = false;
    try {
      c->OnTurn();
    } catch (const std::exception& e) {
      Log(LMTERROR, LMDALL, "UDP Listener", std::string("event loop turn Exception: ") + e.what());
    }
  }
  TurnScratch.clear();
}

void TEventLoop::RunTasks() {
  {
    TLockGuard guard(Lock);
    TaskScratch.swap(Tasks);
  }
  for (auto& task : TaskScratch) task();
  TaskScratch.clear();
}

void TEventLoop::Run() {
  epoll_event events[MaxEventsPerPass];
  while (!Stopping.load()) {
    const int n = epoll_wait(Epoll, events, MaxEventsPerPass, TimeoutMs());
    if (n < 0 && errno != EINTR) {
      Log(LMTERROR, LMDALL, "UDP Listener", std::string("epoll_wait: ") + std::strerror(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < n; ++i) {
      auto* client = static_cast<TLoopClient*>(events[i].data.ptr);
      if (client == nullptr) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t r = read(WakeFd, &count, sizeof count);
        TLockGuard guard(Lock);
        WakeSent = false;
        continue;
      }
      // A client detached by an earlier callback of this pass is gone.
      if (client->Fd < 0) continue;
      try {
        client->OnReadable();
      } catch (const std::exception& e) {
        Log(LMTERROR, LMDALL, "UDP Listener",
            std::string("event loop read Exception: ") + e.what());
      }
    }
    RunTimers();
    RunTurns();
    RunTasks();
  }
  RunTasks();
}

// ---------------------------------------------------------------------------
// TEventLoopPool

TEventLoopPool::TEventLoopPool(size_t loops) {
  if (loops == 0) loops = std::max(1u, std::thread::hardware_concurrency());
  for (size_t i = 0; i < loops; ++i) {
    Loops.push_back(std::make_unique<TEventLoop>());
    Loops.back()->Start();
  }
}

TEventLoopPool::~TEventLoopPool() {
  for (auto& loop : Loops) loop->Stop();
}

TEventLoop& TEventLoopPool::Pick() {
  TEventLoop* best = Loops.front().get();
  for (auto& loop : Loops) {
    if (loop->ClientCount() < best->ClientCount()) best = loop.get();
  }
  return *best;
}

TEventLoopPool& TEventLoopPool::Shared() {
  static TEventLoopPool pool;
  return pool;
}

}  // namespace vx
