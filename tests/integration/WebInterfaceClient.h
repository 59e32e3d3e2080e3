// A small HTTP/1.1 client for the web interface tests: raw requests over a
// real socket on 127.0.0.1 (optionally from another loopback address), the
// reply read by its Content-Length, and the session cookie kept like a
// browser keeps it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace vx::testing {

struct TWebReply {
  int Status = 0;  // 0: no reply (connection closed or timed out)
  std::string StatusLine;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;

  std::string Header(const std::string& name) const {
    for (const auto& [n, v] : Headers) {
      if (n.size() == name.size() &&
          std::equal(n.begin(), n.end(), name.begin(),
                     [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
        return v;
      }
    }
    return {};
  }
  std::vector<std::string> AllHeaders(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : Headers) {
      if (strcasecmp(n.c_str(), name.c_str()) == 0) out.push_back(v);
    }
    return out;
  }
};

class TWebClient {
 public:
  explicit TWebClient(uint16_t port, std::string fromAddress = "127.0.0.1")
      : Port(port), From(std::move(fromAddress)) {}
  ~TWebClient() { Close(); }
  TWebClient(const TWebClient&) = delete;
  TWebClient& operator=(const TWebClient&) = delete;

  // The session cookie's value; empty when none is held.
  std::string Session;
  int TimeoutMs = 5000;

  bool Connect() {
    Close();
    Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd < 0) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, From.c_str(), &local.sin_addr);
    if (bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(Port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (connect(Fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      Close();
      return false;
    }
    return true;
  }
  void Close() {
    if (Fd >= 0) close(Fd);
    Fd = -1;
    Pending.clear();
  }
  bool Connected() const { return Fd >= 0; }
  int Socket() const { return Fd; }

  bool SendRaw(const std::string& bytes) {
    if (Fd < 0 && !Connect()) return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(Fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += size_t(n);
    }
    return true;
  }

  // Reads one reply; a HEAD reply has no body whatever its Content-Length.
  TWebReply ReadReply(bool head = false) {
    TWebReply reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    size_t headEnd;
    while ((headEnd = Pending.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadMore(deadline)) return reply;
    }
    const std::string headText = Pending.substr(0, headEnd);
    Pending.erase(0, headEnd + 4);
    size_t lineEnd = headText.find("\r\n");
    reply.StatusLine = headText.substr(0, lineEnd);
    if (reply.StatusLine.size() >= 12) reply.Status = std::atoi(reply.StatusLine.c_str() + 9);
    while (lineEnd != std::string::npos) {
      const size_t start = lineEnd + 2;
      lineEnd = headText.find("\r\n", start);
      const std::string line = headText.substr(start, lineEnd - start);
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      reply.Headers.emplace_back(line.substr(0, colon), line.substr(v));
    }
    if (reply.Status == 100) return ReadReply(head);
    const std::string length = reply.Header("Content-Length");
    const size_t want = (head || length.empty()) ? 0 : size_t(std::stoull(length));
    while (Pending.size() < want) {
      if (!ReadMore(deadline)) break;
    }
    reply.Body = Pending.substr(0, want);
    Pending.erase(0, std::min(want, Pending.size()));
    for (const std::string& cookie : reply.AllHeaders("Set-Cookie")) {
      if (cookie.rfind("VXSESSIONID=", 0) != 0) continue;
      const std::string value = cookie.substr(12, cookie.find(';') - 12);
      Session = cookie.find("Max-Age=0") != std::string::npos ? std::string() : value;
    }
    if (strcasecmp(reply.Header("Connection").c_str(), "close") == 0) Close();
    return reply;
  }

  TWebReply Request(const std::string& method, const std::string& target,
                    const std::string& body = {}, const std::string& extraHeaders = {}) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!Session.empty()) text += "Cookie: VXSESSIONID=" + Session + "\r\n";
    if (!body.empty() || method == "POST") {
      text += "Content-Type: application/x-www-form-urlencoded\r\n";
      text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    text += extraHeaders + "\r\n" + body;
    if (!SendRaw(text)) {
      // The server closed a kept connection in between: try a fresh one.
      Close();
      if (!SendRaw(text)) return {};
    }
    return ReadReply(method == "HEAD");
  }
  TWebReply Get(const std::string& target) { return Request("GET", target); }
  TWebReply Head(const std::string& target) { return Request("HEAD", target); }
  TWebReply Post(const std::string& target, const std::string& form) {
    return Request("POST", target, form);
  }

  // True when the server closes the connection within the time.
  bool ClosedByServer(int waitMs) {
    if (Fd < 0) return true;
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    char b;
    return recv(Fd, &b, 1, MSG_PEEK) <= 0;
  }

 private:
  bool ReadMore(std::chrono::steady_clock::time_point deadline) {
    if (Fd < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) return false;
    char chunk[16384];
    const ssize_t n = recv(Fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    Pending.append(chunk, size_t(n));
    return true;
  }

  uint16_t Port;
  std::string From;
  int Fd = -1;
  std::string Pending;
};

}  // namespace vx::testing
