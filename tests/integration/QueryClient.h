// A client of the query port for the integration tests: a TCP connection
// to 127.0.0.1, optionally from another loopback address, with a line
// reader. Every read is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::testing {

using Lines = std::vector<std::string>;

class TQueryClient {
 public:
  explicit TQueryClient(uint16_t port, const char* from = "127.0.0.1") {
    Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A peer that stops reading must not hang the test in send().
    const timeval sendLimit{2, 0};
    setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TQueryClient() { close(Fd); }
  TQueryClient(const TQueryClient&) = delete;
  TQueryClient& operator=(const TQueryClient&) = delete;

  bool Connected = false;

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(size_t(n));
    }
  }
  void Line(std::string_view line) { Send(std::string(line) + "\n"); }

  // Waits for more bytes; false on end of stream, error or time-out.
  bool Fill(int timeoutMs) {
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[4096];
    const ssize_t n = recv(Fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      Eof = true;
      return false;
    }
    Buffer.append(chunk, size_t(n));
    return true;
  }
  // The next line without its LF; nothing on a time-out or end of stream.
  std::optional<std::string> ReadLine(int timeoutMs = 3000) {
    for (;;) {
      const size_t lf = Buffer.find('\n');
      if (lf != std::string::npos) {
        std::string line = Buffer.substr(0, lf);
        Buffer.erase(0, lf + 1);
        return line;
      }
      if (!Fill(timeoutMs)) return std::nullopt;
    }
  }
  // Exactly n bytes as they came, or fewer on a time-out.
  std::string ReadBytes(size_t n, int timeoutMs = 3000) {
    while (Buffer.size() < n && Fill(timeoutMs)) {
    }
    std::string out = Buffer.substr(0, n);
    Buffer.erase(0, out.size());
    return out;
  }
  // Lines up to and including the one that ends a reply.
  Lines Reply() {
    Lines lines;
    while (auto line = ReadLine()) {
      lines.push_back(*line);
      if (*line == "OK" || *line == "error" || line->rfind("ERROR, ", 0) == 0) break;
    }
    return lines;
  }
  Lines Ask(std::string_view line) {
    Line(line);
    return Reply();
  }
  // The next count lines after sending the line, then a check that nothing
  // else came: the next command's reply comes next.
  Lines AskLines(std::string_view line, size_t count) {
    Line(line);
    Lines lines;
    while (lines.size() < count) {
      auto next = ReadLine();
      if (!next) break;
      lines.push_back(*next);
    }
    if (Ask("ver").front() != "2.0.18.31 Linux") lines.push_back("<more>");
    return lines;
  }
  // True when the server closes the connection within the time, with no
  // byte sent before.
  bool ClosedSilently(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Eof && std::chrono::steady_clock::now() < end) Fill(50);
    return Eof && Buffer.empty();
  }
  bool Greeted() { return ReadBytes(5) == "[VX]\n"; }

 private:
  int Fd = -1;
  std::string Buffer;
  bool Eof = false;
};

}  // namespace vx::testing
