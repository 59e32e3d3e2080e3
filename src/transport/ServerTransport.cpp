#include "transport/ServerTransport.h"

#include <arpa/inet.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace vx {

// What the buffer's work handler reaches: the loop to ask for a turn, until
// the transport stops. Work handed over on the loop thread while the
// server is being driven needs no turn: the drive picks it up.
struct TServerTransport::TWakeTarget {
  TWakeTarget(TEventLoop& loop, TServerTransport& transport) : Loop(loop), Transport(transport) {}
  TEventLoop& Loop;
  TServerTransport& Transport;
  TMutex Lock;
  bool Stopped VX_GUARDED_BY(Lock) = false;

  void Notify() {
    // On the loop thread the transport lives at least until this returns.
    if (Loop.InLoopThread() && Transport.Driving) return;
    TLockGuard guard(Lock);
    if (!Stopped) Loop.RequestTurn(Transport);
  }
};

namespace {
// Per loop thread: the datagrams of one read, and the packets of one write.
thread_local std::vector<std::unique_ptr<TPacket>> Intake;
thread_local std::vector<std::unique_ptr<TPacket>> Batch;
}  // namespace

TServerTransport::TServerTransport(TCustomPacketBuffer& buffer, TEventSink& listener)
    : Buffer(buffer), Listener(listener) {}

TServerTransport::~TServerTransport() {
  Stop();
}

void TServerTransport::Start(uint16_t port, const std::string& bindAddress, TEventLoop& loop) {
  Socket.Open(port, bindAddress);
  Wake = std::make_shared<TWakeTarget>(loop, *this);
  Buffer.SetWorkHandler([wake = Wake] { wake->Notify(); });
  Loop = &loop;
  loop.Attach(*this, Socket.Descriptor());
  // Whatever was queued before (nothing, normally) is looked at once.
  loop.RequestTurn(*this);
}

void TServerTransport::Stop() {
  if (Wake) {
    TLockGuard guard(Wake->Lock);
    Wake->Stopped = true;
  }
  if (Loop) Loop->Detach(*this);
  Loop = nullptr;
  Socket.Close();
}

namespace {

// How long the datagram lay in the socket before `now`, from its arrival
// stamp (0 without one).
uint32_t WaitedMs(const mmsghdr& m, const timespec& now) {
  for (const cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&m.msg_hdr), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec at;
    std::memcpy(&at, CMSG_DATA(c), sizeof at);
    const int64_t ms =
        (int64_t(now.tv_sec) - at.tv_sec) * 1000 + (now.tv_nsec - at.tv_nsec) / 1000000;
    return ms > 0 ? uint32_t(std::min<int64_t>(ms, UINT32_MAX)) : 0;
  }
  return 0;
}

}  // namespace

void TServerTransport::OnReadable() {
  TReadBuffers& buffers = Loop->ReadBuffers();
  const unsigned got = Socket.ReadBatch(buffers);
  Driving = true;
  if (got > 0) {
    Intake.clear();
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    for (unsigned i = 0; i < got; ++i) {
      const mmsghdr& m = buffers.Messages[i];
      if (m.msg_hdr.msg_namelen < sizeof(sockaddr_in)) continue;
      // A datagram longer than the buffer arrives cut to the buffer size.
      const size_t size = std::min<size_t>(m.msg_len, TUDPServerSocket::ReceiveBufferSize);
      auto packet = std::make_unique<TPacket>(
          buffers.Bytes.data() + size_t(i) * TReadBuffers::DatagramSize, size);
      const sockaddr_in& from = buffers.Sources[i];
      packet->SetPeer(from.sin_addr.s_addr, ntohs(from.sin_port));
      packet->WaitedMs = WaitedMs(m, now);
      Intake.push_back(std::move(packet));
    }
    if (!Buffer.ShuttingDown()) Buffer.ReceivePackets(Intake);
    Intake.clear();
  }
  Drive();
}

void TServerTransport::OnTurn() {
  Driving = true;
  Drive();
}

void TServerTransport::Drive() {
  bool more = false;
  // Events, one at a time, as the listener handles them.
  int handled = 0;
  for (; handled < MaxEventsPerTurn; ++handled) {
    uint32_t playerID = 0;
    TReceiveEvent event = reShutdown;
    std::unique_ptr<TPacket> packet;
    uint32_t waitMs = 0;
    if (!Buffer.TryReceive(playerID, event, packet, waitMs) || event == reShutdown) break;
    Listener.Handle(playerID, event, std::move(packet));
  }
  more = handled == MaxEventsPerTurn;
  // The packets that are due, in batches of one system call each.
  size_t sent = 0;
  while (sent < MaxSendsPerTurn) {
    Batch.clear();
    const size_t n = Buffer.TakeDue(Batch, TReadBuffers::ReadBatch);
    if (n == 0) break;
    Sender.Transmit(Socket, Batch);
    sent += n;
  }
  Batch.clear();
  if (sent >= MaxSendsPerTurn) more = true;
  Driving = false;
  if (more) {
    Loop->RequestTurn(*this);
    return;
  }
  // Sleep until the next deadline (rounded up by one ms, so that it has
  // passed when the turn comes), or without a timer when nothing waits.
  const int64_t deadline = Buffer.NextDeadlineMs();
  Loop->SetTimer(*this, deadline < 0 ? -1 : deadline + 1);
}

}  // namespace vx
