#include "net/LineServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "common/TextTools.h"

namespace vx {

namespace {

void SplitParams(std::string_view text, std::vector<std::string>& params) {
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = std::min(text.find(' ', i), text.size());
    if (end > i) params.emplace_back(text.substr(i, end - i));
    i = end + 1;
  }
}

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

// ---------------------------------------------------------------------------
// TLineSplitter

void TLineSplitter::Feed(std::string_view data, std::vector<TItem>& out) {
  while (!data.empty()) {
    const size_t lf = data.find('\n');
    const bool ended = lf != std::string_view::npos;
    const std::string_view chunk = data.substr(0, ended ? lf : data.size());
    data.remove_prefix(ended ? lf + 1 : data.size());
    if (Discarding) {
      if (ended) Discarding = false;
      continue;
    }
    // One byte more than the limit may still be the CR of a CR LF.
    if (Partial.size() + chunk.size() > MaxLength + 1) {
      Partial.clear();
      out.push_back({true, {}});
      Discarding = !ended;
      continue;
    }
    Partial.append(chunk);
    if (!ended) continue;
    if (!Partial.empty() && Partial.back() == '\r') Partial.pop_back();
    if (Partial.size() > MaxLength) {
      out.push_back({true, {}});
    } else {
      out.push_back({false, std::move(Partial)});
    }
    Partial.clear();
  }
}

// ---------------------------------------------------------------------------
// Replies and matching

std::string FormatReplyLines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    out.append(text.substr(start, i - start));
    out += '\n';
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = ++i;
  }
  if (start < text.size()) {
    out.append(text.substr(start));
    out += '\n';
  }
  return out;
}

int MatchLineCommand(const std::vector<TLineCommand>& table, std::string_view line,
                     std::vector<std::string>& params) {
  params.clear();
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string& word = table[i].Word;
    if (line.size() < word.size() || !SameTextAscii(line.substr(0, word.size()), word)) continue;
    if (line.size() == word.size()) return int(i);
    if (line[word.size()] != ' ') continue;
    SplitParams(line.substr(word.size() + 1), params);
    return int(i);
  }
  return -1;
}

// ---------------------------------------------------------------------------
// TLineServer

TLineServer::TLineServer(std::vector<TLineCommand> commands, THooks hooks, std::string greeting)
    : Commands(std::move(commands)), Hooks(std::move(hooks)), Greeting(std::move(greeting)) {}

TLineServer::~TLineServer() {
  Stop();
}

bool TLineServer::Start(uint16_t port, const std::string& bindAddress) {
  if (Active()) {
    LastErrorText = "already listening";
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindAddress.empty() && inet_pton(AF_INET, bindAddress.c_str(), &address.sin_addr) != 1) {
    LastErrorText = "not an IPv4 address: " + bindAddress;
    return false;
  }
  auto fail = [this](const char* what) {
    LastErrorText = ErrnoText(what);
    for (int* fd : {&ListenFd, &StopEvent, &ReapEvent}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    return false;
  };
  StopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ReapEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (StopEvent < 0 || ReapEvent < 0) return fail("eventfd");
  ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ListenFd < 0) return fail("socket");
  const int one = 1;
  setsockopt(ListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(ListenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail("bind");
  }
  if (listen(ListenFd, 64) != 0) return fail("listen");
  socklen_t length = sizeof address;
  if (getsockname(ListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail("getsockname");
  }
  BoundPort = ntohs(address.sin_port);
  try {
    AcceptThread = std::thread([this] { AcceptLoop(); });
  } catch (const std::system_error&) {
    return fail("thread");
  }
  return true;
}

void TLineServer::Stop() {
  if (!Active()) return;
  Wake(StopEvent);
  if (AcceptThread.joinable()) AcceptThread.join();
  ReapFinished(true);
  for (int* fd : {&ListenFd, &StopEvent, &ReapEvent}) {
    close(*fd);
    *fd = -1;
  }
}

void TLineServer::Wake(int fd) {
  const uint64_t one = 1;
  // A full counter is as good as a written one: the event is readable.
  [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

void TLineServer::AcceptLoop() {
  for (;;) {
    pollfd fds[3] = {{StopEvent, POLLIN, 0}, {ReapEvent, POLLIN, 0}, {ListenFd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(ReapEvent, &count, sizeof count);
      ReapFinished(false);
    }
    if ((fds[2].revents & POLLIN) == 0) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(ListenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // Out of descriptors: back off instead of spinning on the ready listener.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    TLockGuard guard(ConnectionsLock);
    // One address cannot take every place, so the others can still get in.
    int fromAddress = 0;
    for (const TConnection& c : Connections) {
      if (!c.Finished.load() && c.PeerAddress == text) ++fromAddress;
    }
    if (OpenConnections.load() >= MaxConnections || fromAddress >= MaxConnectionsPerAddress) {
      close(fd);
      continue;
    }
    TConnection& connection = Connections.emplace_back();
    connection.Fd = fd;
    connection.PeerAddress = text;
    ++OpenConnections;
    try {
      connection.Thread = std::thread([this, &connection] { Serve(connection); });
    } catch (const std::system_error&) {
      --OpenConnections;
      close(fd);
      Connections.pop_back();
    }
  }
}

void TLineServer::ReapFinished(bool all) {
  TLockGuard guard(ConnectionsLock);
  for (auto it = Connections.begin(); it != Connections.end();) {
    if (!all && !it->Finished.load()) {
      ++it;
      continue;
    }
    if (it->Thread.joinable()) it->Thread.join();
    it = Connections.erase(it);
  }
}

bool TLineServer::WaitReady(int fd, short events) {
  for (;;) {
    pollfd fds[2] = {{StopEvent, POLLIN, 0}, {fd, events, 0}};
    const int n = poll(fds, 2, IdleTimeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || fds[0].revents != 0) return false;
    return fds[1].revents != 0;
  }
}

bool TLineServer::WaitUntil(std::chrono::steady_clock::time_point moment) {
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= moment) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - now).count();
    pollfd stop{StopEvent, POLLIN, 0};
    if (poll(&stop, 1, int(std::min<int64_t>(left, 1 << 30))) > 0) return false;
  }
}

bool TLineServer::WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(size_t(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd, POLLOUT)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool TLineServer::HandleLine(TLineSession& session, std::string_view line, std::string& output) {
  if (line.empty()) return true;
  std::vector<std::string> params;
  const int index = MatchLineCommand(Commands, line, params);
  if (index < 0) {
    output += "error\n";
    return true;
  }
  const TLineCommand& command = Commands[size_t(index)];
  if (!command.Handler) return false;
  try {
    output += FormatReplyLines(command.Handler(session, params));
  } catch (const std::exception& e) {
    if (Hooks.OnException) {
      try {
        Hooks.OnException(e);
      } catch (...) {
      }
    }
  } catch (...) {
  }
  return true;
}

void TLineServer::Serve(TConnection& connection) {
  const int fd = connection.Fd;
  std::unique_ptr<TLineSession> session;
  if (WriteAll(fd, FormatReplyLines(Greeting))) {
    try {
      if (Hooks.OnConnect) session = Hooks.OnConnect(connection.PeerAddress);
    } catch (...) {
      session.reset();
    }
  }
  if (session) {
    TLineSplitter splitter(MaxLineLength);
    std::vector<TLineSplitter::TItem> lines;
    std::string output;
    char buffer[4096];
    bool open = true;
    while (open && WaitReady(fd, POLLIN)) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) break;
      lines.clear();
      splitter.Feed(std::string_view(buffer, size_t(n)), lines);
      for (const TLineSplitter::TItem& item : lines) {
        output.clear();
        if (item.Overlong) {
          output = "error\n";
        } else {
          open = HandleLine(*session, item.Line, output);
        }
        if (!output.empty() && !WriteAll(fd, output)) open = false;
        if (!open) break;
      }
    }
    try {
      if (Hooks.OnDisconnect) Hooks.OnDisconnect(*session);
    } catch (...) {
    }
    session.reset();
  }
  close(fd);
  --OpenConnections;
  connection.Finished.store(true);
  Wake(ReapEvent);
}

}  // namespace vx
