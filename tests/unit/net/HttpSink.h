// A tiny HTTP server on 127.0.0.1 for tests of outgoing requests: it records
// every request (request line, headers, body) and answers each with a fixed
// text, or, when silent, keeps the connection open without a word.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx::testing {

struct THttpSinkRequest {
  std::string RequestLine;
  std::map<std::string, std::string> Headers;  // names in lower case
  std::string Body;
};

class THttpSink {
 public:
  static constexpr const char* OkAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

  explicit THttpSink(std::string answer = OkAnswer, bool silent = false)
      : Answer(std::move(answer)), Silent(silent) {
    ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(ListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(ListenFd, 16);
    socklen_t len = sizeof a;
    getsockname(ListenFd, reinterpret_cast<sockaddr*>(&a), &len);
    ListenPort = ntohs(a.sin_port);
    Thread = std::thread([this] { Run(); });
  }

  ~THttpSink() {
    Stopping = true;
    Thread.join();
    for (int fd : Held) close(fd);
    close(ListenFd);
  }

  THttpSink(const THttpSink&) = delete;
  THttpSink& operator=(const THttpSink&) = delete;

  uint16_t Port() const { return ListenPort; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(ListenPort) + path;
  }

  std::vector<THttpSinkRequest> Requests() {
    std::scoped_lock guard(Lock);
    return Received;
  }
  int Connections() const { return Accepted.load(); }

  // True once at least count requests arrived.
  bool WaitRequests(size_t count, int timeoutMs) {
    std::unique_lock guard(Lock);
    return Arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return Received.size() >= count; });
  }

 private:
  void Run() {
    while (!Stopping) {
      pollfd p{ListenFd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++Accepted;
      Serve(fd);
    }
  }

  // Reads one request (bounded in time and size), records it and answers.
  void Serve(int fd) {
    std::string data;
    THttpSinkRequest request;
    size_t headEnd = std::string::npos;
    size_t bodyLength = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Stopping && std::chrono::steady_clock::now() < end && data.size() < (1u << 20)) {
      if (headEnd != std::string::npos && data.size() >= headEnd + 4 + bodyLength) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      data.append(buffer, size_t(n));
      if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
        ParseHead(data.substr(0, headEnd), request);
        const auto length = request.Headers.find("content-length");
        if (length != request.Headers.end()) bodyLength = std::stoul(length->second);
      }
    }
    if (headEnd != std::string::npos) request.Body = data.substr(headEnd + 4);
    {
      std::scoped_lock guard(Lock);
      Received.push_back(std::move(request));
    }
    Arrived.notify_all();
    if (Silent) {
      Held.push_back(fd);
      return;
    }
    send(fd, Answer.data(), Answer.size(), MSG_NOSIGNAL);
    close(fd);
  }

  static void ParseHead(const std::string& head, THttpSinkRequest& request) {
    size_t start = 0;
    bool first = true;
    while (start <= head.size()) {
      size_t stop = head.find("\r\n", start);
      if (stop == std::string::npos) stop = head.size();
      const std::string line = head.substr(start, stop - start);
      start = stop + 2;
      if (first) {
        request.RequestLine = line;
        first = false;
        continue;
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
      const size_t value = line.find_first_not_of(' ', colon + 1);
      request.Headers[name] = value == std::string::npos ? "" : line.substr(value);
    }
  }

  std::string Answer;
  bool Silent;
  int ListenFd = -1;
  uint16_t ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::atomic<int> Accepted{0};
  std::vector<int> Held;
  std::mutex Lock;
  std::condition_variable Arrived;
  std::vector<THttpSinkRequest> Received;
  std::thread Thread;
};

}  // namespace vx::testing
