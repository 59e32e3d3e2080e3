// A TLS listener on 127.0.0.1 for tests of outgoing https requests: a
// throw-away certificate for 127.0.0.1 made with the openssl command at test
// time, and "openssl s_server", which writes what the client sends to a file
// and answers the one connection it accepts with a fixed text.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vx::testing {

class TTlsSink {
 public:
  static constexpr const char* OkAnswer =
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

  // Files go to dir, which must exist.
  explicit TTlsSink(const std::filesystem::path& dir, const std::string& answer = OkAnswer)
      : Cert((dir / "tls-cert.pem").string()),
        Key((dir / "tls-key.pem").string()),
        Output((dir / "tls-received.txt").string()) {
    if (Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
             "subjectAltName=IP:127.0.0.1", "-keyout", Key, "-out", Cert}) != 0)
      return;
    int input[2];
    if (pipe(input) != 0) return;
    Pid = Spawn({"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", Cert, "-key", Key,
                 "-naccept", "1"},
                input[0], Output);
    close(input[0]);
    Input = input[1];
    // The answer waits in the pipe until the connection takes it.
    if (write(Input, answer.data(), answer.size()) != ssize_t(answer.size())) return;
    const std::string marker = "ACCEPT 127.0.0.1:";
    WaitFor([&] {
      const std::string text = Received();
      const size_t at = text.find(marker);
      if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
      ListenPort = uint16_t(std::stoi(text.substr(at + marker.size())));
      return true;
    });
  }

  ~TTlsSink() {
    if (Input >= 0) close(Input);
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      waitpid(Pid, nullptr, 0);
    }
  }

  TTlsSink(const TTlsSink&) = delete;
  TTlsSink& operator=(const TTlsSink&) = delete;

  bool Ready() const { return ListenPort != 0; }
  uint16_t Port() const { return ListenPort; }
  const std::string& CertFile() const { return Cert; }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(ListenPort) + path;
  }

  // Everything the server printed so far: its own lines and, in between,
  // the bytes the client sent.
  std::string Received() const {
    std::ifstream in(Output, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // True once the text has arrived (bounded wait).
  bool WaitReceived(const std::string& text) {
    return WaitFor([&] { return Received().find(text) != std::string::npos; });
  }

 private:
  template <typename TCondition>
  static bool WaitFor(TCondition condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

  // Starts the program with standard input from inputFd (or /dev/null when
  // it is negative) and standard output to the file; its pid.
  static pid_t Spawn(std::vector<std::string> args, int inputFd, const std::string& outputFile) {
    // Everything the child needs is made before the fork: other threads of
    // this process may hold the allocator's lock at that moment.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int in = inputFd >= 0 ? inputFd : open("/dev/null", O_RDONLY);
    const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int none = open("/dev/null", O_WRONLY);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(none, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }

  // Runs the program to its end; its exit code (-1 when it did not exit).
  static int Run(std::vector<std::string> args) {
    const pid_t pid = Spawn(std::move(args), -1, "/dev/null");
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  std::string Cert;
  std::string Key;
  std::string Output;
  pid_t Pid = -1;
  int Input = -1;
  uint16_t ListenPort = 0;
};

}  // namespace vx::testing
