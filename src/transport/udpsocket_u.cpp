#include "transport/udpsocket_u.h"

#include "transport/EventLoop.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vx {

namespace {
// Datagrams written per system call.
constexpr unsigned BatchSize = 64;
}  // namespace

TUDPServerSocket::~TUDPServerSocket() {
  Close();
}

void TUDPServerSocket::Open(uint16_t port, const std::string& bindAddress) {
  Close();
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && !ParseAddress(bindAddress, port, local)) {
    throw EUDPSocket("invalid bind address " + bindAddress);
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw EUDPSocket(std::string("socket: ") + std::strerror(errno));
  // Room for bursts of voice while the loop is busy with other servers.
  const int bufferSize = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  // Arrival stamps tell how long a datagram waited before it was read.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int err = errno;
    close(fd);
    throw EUDPSocket(std::string("bind: ") + std::strerror(err));
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  Socket = fd;
  LocalPort = ntohs(bound.sin_port);
}

void TUDPServerSocket::Close() {
  if (Socket >= 0) close(Socket);
  Socket = -1;
}

unsigned TUDPServerSocket::ReadBatch(TReadBuffers& buffers) {
  if (Socket < 0) return 0;
  for (unsigned i = 0; i < TReadBuffers::ReadBatch; ++i) {
    buffers.Messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    buffers.Messages[i].msg_hdr.msg_controllen = TReadBuffers::ControlSize;
    buffers.Messages[i].msg_hdr.msg_flags = 0;
  }
  for (;;) {
    const int got =
        recvmmsg(Socket, buffers.Messages, TReadBuffers::ReadBatch, MSG_DONTWAIT, nullptr);
    if (got >= 0) return unsigned(got);
    if (errno == EINTR) continue;
    return 0;  // drained (EAGAIN) or an error the next read reports again
  }
}

void TUDPServerSocket::SendTo(const uint8_t* data, size_t size, const sockaddr_in& to) {
  for (;;) {
    const ssize_t n =
        sendto(Socket, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n == ssize_t(size)) return;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The socket's send buffer is full: wait briefly for room.
      pollfd pfd{Socket, POLLOUT, 0};
      if (poll(&pfd, 1, 100) > 0) continue;
    }
    throw EUDPSocket(std::string("sendto: ") + (n < 0 ? std::strerror(errno) : "short write"));
  }
}

void TUDPServerSocket::SendBatch(std::span<const TDatagram> datagrams,
                                 const std::function<void(const EUDPSocket&)>& onError) {
  mmsghdr messages[BatchSize];
  iovec vectors[BatchSize];
  size_t done = 0;
  while (done < datagrams.size()) {
    const unsigned n = unsigned(std::min<size_t>(BatchSize, datagrams.size() - done));
    for (unsigned i = 0; i < n; ++i) {
      const TDatagram& d = datagrams[done + i];
      vectors[i] = {const_cast<uint8_t*>(d.Data), d.Size};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&d.To);
      messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int sent = sendmmsg(Socket, messages, n, 0);
    if (sent > 0) {
      // The kernel took the first `sent` datagrams; an error of the next one
      // is reported by the next call.
      done += size_t(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{Socket, POLLOUT, 0};
      if (poll(&pfd, 1, 100) > 0) continue;
    }
    onError(EUDPSocket(std::string("sendto: ") + std::strerror(sent < 0 ? errno : EIO)));
    ++done;
  }
}

void TUDPServerSocket::SendTo(const uint8_t* data, size_t size, const std::string& ip,
                              uint16_t port) {
  sockaddr_in to{};
  if (!ParseAddress(ip, port, to)) throw EUDPSocket("invalid address " + ip);
  SendTo(data, size, to);
}

bool TUDPServerSocket::ParseAddress(const std::string& ip, uint16_t port, sockaddr_in& out) {
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, ip.c_str(), &out.sin_addr) == 1;
}

}  // namespace vx
