// End-to-end: the real program's command line, daemon start, signals, pid
// file and exit codes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/un.h>

#include <cstring>

#include "ProcessHarness.h"

namespace vx::testing {
namespace {

using namespace std::chrono_literals;

// True while the signal waits among the process's pending signals (it
// stays there when every thread blocks it).
bool SignalPending(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("ShdPnd:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) != 0;
    }
  }
  return false;
}

TEST(Daemon, VersionAndHelpPrintAndExitWithoutStarting) {
  TScratchDir dir;
  for (const char* arg : {"-ver", "--version", "-VER"}) {
    const TRunResult r = RunServer(dir.Path, {arg});
    EXPECT_EQ(r.ExitCode, 0) << arg;
    EXPECT_EQ(r.Output, "Version Vorlantix2 v2.0.18.31 \n") << arg;
  }
  const TRunResult help = RunServer(dir.Path, {"-db=/x/y.db", "/?"});
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_EQ(help.Output,
            "Version Vorlantix2 v2.0.18.31 \nCommand parameters:\n -db=<path>\n -ini=<path>\n"
            " -log=<path>\n -pid=<path>\n -httpdocs=<path>\n -adminpw=<newpw>\n\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("server.log"))) << "nothing starts";
  EXPECT_FALSE(std::filesystem::exists(dir.File("server.ini")));
}

TEST(Daemon, StartsRunsAndStopsOnSigterm) {
  TScratchDir dir;
  const TRunResult r = RunServer(dir.Path, {"--foo", "-PID=" + dir.File("vx.pid")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  const std::string prefix = "Vorlantix Server Daemon started with PID ";
  ASSERT_EQ(r.Output.rfind(prefix, 0), 0u) << r.Output;
  const pid_t pid = std::stoi(r.Output.substr(prefix.size()));
  ASSERT_EQ(r.Output, prefix + std::to_string(pid) + "\n");
  ASSERT_TRUE(ProcessAlive(pid));

  // The pid file: decimal, no line end, mode 0600.
  EXPECT_EQ(ReadFile(dir.File("vx.pid")), std::to_string(pid));
  struct stat st {};
  ASSERT_EQ(stat(dir.File("vx.pid").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Default files in the working folder: the log with its header and the
  // configuration written back with every key.
  const std::string log = dir.File("server.log");
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFile(log), "daemon activated") == 1; }, 5s))
      << ReadFile(log);
  std::string text = ReadFile(log);
  EXPECT_EQ(text.rfind(std::string(63, '-') + "\n-------------- log started at ", 0), 0u) << text;
  EXPECT_NE(text.find(",ALL,Info,server,\tServer startup initialized\n"), std::string::npos);
  EXPECT_NE(text.find(",WARNING,Info,server,\tVorlantix Server daemon activated\n"),
            std::string::npos);
  const std::string ini = ReadFile(dir.File("server.ini"));
  for (const char* key :
       {"[Main Config]", "HTTPServer Port=14534", "HTTPServer Enabled=1", "ExternalIPDectection=1",
        "DateTimeFormat=dd-mm-yyyy hh:nn:ss", "TCPQueryPort=51234", "BoundToIp=", "Metrics Port=0",
        "[WebPost]", "AdminEmail=na", "ISPLinkURL=na", "ISPName=Private", "ISPCountry=Earth",
        "Enabled=1", "PostURL=", "[debug]", "MessageTypes=LMTALL", "MessageDepths=LMDALL"}) {
    EXPECT_NE(ini.find(key), std::string::npos) << key << "\n" << ini;
  }

  // SIGHUP writes the activated line once more; SIGINT is blocked.
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  EXPECT_TRUE(WaitUntil([&] { return CountOf(ReadFile(log), "daemon activated") == 2; }, 5s));
  ASSERT_EQ(kill(pid, SIGINT), 0);
  EXPECT_TRUE(WaitUntil([&] { return SignalPending(pid, SIGINT); }, 5s));
  EXPECT_TRUE(ProcessAlive(pid)) << "SIGINT must not stop the daemon";

  // SIGTERM: shutdown (with its pause of 5 s), footer, pid file removed.
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(pid); }, 15s));
  EXPECT_FALSE(std::filesystem::exists(dir.File("vx.pid")));
  text = ReadFile(log);
  EXPECT_NE(text.find(",ALL,Info,server,\tServer shutdown initialized\n"), std::string::npos);
  EXPECT_NE(text.find(",ALL,Info,server,\tServer shutdown finished\n"), std::string::npos);
  EXPECT_NE(text.find("--------------- log ended at "), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 64), std::string(63, '-') + "\n");
}

TEST(Daemon, ConfigurationInAMissingFolderFailsTheStart) {
  TScratchDir dir;
  const TRunResult r = RunServer(dir.Path, {"-ini=" + dir.File("missing/folder/server.ini")});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_EQ(r.Output, "Error stating daemon. Aborted\n");
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tStart_Vorlantix_Server: unable to open server config "
                     "file: " +
                     dir.File("missing/folder/server.ini") + " \n"),
            std::string::npos)
      << log;
}

TEST(Daemon, NoVirtualServerStartedFailsTheStart) {
  TScratchDir dir;
  {
    // The only server's address is none of this machine's: its socket
    // cannot be bound.
    std::ofstream ini(dir.File("server.ini"));
    ini << "[Main Config]\nBoundToIp=192.0.2.1\n[Servers]\n0=alpha\n[alpha]\n"
           "ServerUDPPort=9871\n";
  }
  const TRunResult r = RunServer(dir.Path, {});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_EQ(r.Output, "Error stating daemon. Aborted\n");
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tcan not initialise udp communication with port 9871\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tudp port 9871: bind: Cannot assign requested address\n"),
            std::string::npos);
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tStart_Vorlantix_Server: no virtual server could be "
                     "started\n"),
            std::string::npos);
}

TEST(Daemon, UnwritablePidFileStopsTheDaemon) {
  TScratchDir dir;
  const TRunResult r = RunServer(dir.Path, {"-pid=" + dir.File("no/such/dir/vx.pid")});
  EXPECT_EQ(r.ExitCode, 2) << r.Output;
  EXPECT_EQ(r.Output, "Error stating daemon. Aborted\n");
  EXPECT_TRUE(WaitUntil(
      [&] {
        return ReadFile(dir.File("server.log")).find("Unable to createpid file, stopping daemon") !=
               std::string::npos;
      },
      5s));
}

TEST(Daemon, ForegroundReportsOnStderrAndToTheServiceManager) {
  TScratchDir dir;
  // The service manager's end of NOTIFY_SOCKET.
  const std::string notifyPath = dir.File("notify");
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(notifyPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, notifyPath.c_str(), notifyPath.size() + 1);
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const auto receive = [notify]() -> std::string {
    pollfd p{notify, POLLIN, 0};
    if (poll(&p, 1, 15000) != 1) return "<nothing>";
    char buffer[256];
    const ssize_t n = recv(notify, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, size_t(n)) : "<error>";
  };

  const std::string errors = dir.File("stderr.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.Path.c_str()) != 0) _exit(126);
    IsolateNetwork();
    const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
    execl(VX_SERVER_BINARY, VX_SERVER_BINARY, "-foreground", "--bogus", nullptr);
    _exit(127);
  }
  // The process itself runs the server and reports; nothing forks.
  EXPECT_EQ(receive(), "READY=1\nMAINPID=" + std::to_string(pid));
  EXPECT_EQ(ReadFile(errors),
            "Unknown option ignored: --bogus\n"
            "Vorlantix Server Daemon started with PID " +
                std::to_string(pid) + "\n");
  // In the foreground SIGINT ends the server like SIGTERM.
  ASSERT_EQ(kill(pid, SIGINT), 0);
  EXPECT_EQ(receive(), "STOPPING=1");
  int status = -1;
  EXPECT_TRUE(WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(ReadFile(dir.File("server.log")).find("Server shutdown finished"), std::string::npos);
  close(notify);
}

}  // namespace
}  // namespace vx::testing
