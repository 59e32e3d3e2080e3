// The program entry: command line, daemon start (or a run in the
// foreground under a service manager), signals, pid file and the main loop
// that waits for SIGTERM.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "admin/administration_u.h"
#include "common/Exceptions.h"
#include "host/CommandLine.h"
#include "host/logdebug.h"
#include "server/serverobject_u.h"

namespace {

// Set by the signal handler only; read by the main loop and the waiting parent.
volatile sig_atomic_t gActivatedMessageDue = 0;
volatile sig_atomic_t gTerminate = 0;
volatile sig_atomic_t gChildStarted = 0;
volatile sig_atomic_t gChildFailed = 0;
// The child is still starting servers: the parent's wait begins anew.
volatile sig_atomic_t gChildProgress = 0;
// The signal of that progress report.
int ProgressSignal() {
  return SIGRTMIN;
}

extern "C" void SignalHandler(int signal) {
  switch (signal) {
    case SIGHUP:
      gActivatedMessageDue = 1;
      break;
    case SIGTERM:
    case SIGINT:  // reaches us only in the foreground
      gTerminate = 1;
      break;
    case SIGUSR1:
      gChildStarted = 1;
      break;
    case SIGUSR2:
      gChildFailed = 1;
      break;
    default:
      if (signal == ProgressSignal()) gChildProgress = 1;
      break;
  }
}

// In the foreground SIGINT (Ctrl-C, a container's stop) ends the server
// like SIGTERM; the daemon blocks it.
void InstallSignals(bool foreground) {
  sigset_t mask;
  sigemptyset(&mask);
  for (int s = 1; s <= 32; ++s) {
    if (s == SIGHUP || s == SIGUSR1 || s == SIGUSR2 || s == SIGTERM) continue;
    if (s == SIGKILL || s == SIGSTOP) continue;  // cannot be blocked anyway
    if (foreground && s == SIGINT) continue;
    sigaddset(&mask, s);
  }
  // Threads started later inherit this mask, so SIGINT, SIGPIPE and the rest
  // never reach the process.
  sigprocmask(SIG_SETMASK, &mask, nullptr);

  struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int s : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, ProgressSignal()})
    sigaction(s, &action, nullptr);
  if (foreground) sigaction(SIGINT, &action, nullptr);
}

// Tells the service manager that started us how we are ("READY=1",
// "STOPPING=1"): one datagram to the unix socket named by NOTIFY_SOCKET (a
// path, or "@" and the name of an abstract socket). Nothing happens when the
// variable is not set; a failure to send is not worth more than that.
void NotifyServiceManager(const std::string& state) {
  const char* socketName = std::getenv("NOTIFY_SOCKET");
  if (socketName == nullptr) return;
  const std::string name = socketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() < 2 || name.size() >= sizeof address.sun_path) return;
  if (name[0] != '/' && name[0] != '@') return;
  name.copy(address.sun_path, name.size());
  if (name[0] == '@') address.sun_path[0] = '\0';
  const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
         length);
  close(fd);
}

void SleepMs(long ms) {
  struct timespec ts {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);  // a signal cuts the sleep short, which is what we want
}

// The manager's shutdown; what it raises is logged.
void ShutDown(vx::TServerManager& manager) {
  try {
    manager.Shutdown();
  } catch (const std::exception& e) {
    vx::Log(vx::LMTERROR, vx::LMDALL, "server",
            "Shutdown " + vx::ExceptionClassName(e) + ": " + e.what());
  }
}

void PrintLine(const std::string& line, FILE* stream = stdout) {
  std::fputs((line + "\n").c_str(), stream);
  std::fflush(stream);
}

constexpr const char* StartedLine = "Vorlantix Server Daemon started with PID ";
constexpr const char* FailedLine = "Error stating daemon. Aborted";

// The daemon keeps no terminal: standard input and output go to /dev/null.
void DetachStandardStreams() {
  const int devNull = open("/dev/null", O_RDWR);
  if (devNull < 0) {
    close(STDIN_FILENO);
    return;
  }
  dup2(devNull, STDIN_FILENO);
  dup2(devNull, STDOUT_FILENO);
  dup2(devNull, STDERR_FILENO);
  if (devNull > STDERR_FILENO) close(devNull);
}

// Writes our process id in decimal, without a line end; returns the open
// descriptor (held until shutdown) or -1.
int WritePidFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  fchmod(fd, 0600);
  const std::string text = std::to_string(getpid());
  if (write(fd, text.data(), text.size()) != ssize_t(text.size())) {
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vx;

  std::vector<std::string> args(argv + 1, argv + argc);
  ProcessArguments() = args;
  TCommandLine& settings = ProcessSettings();
  switch (ParseCommandLine(args, settings)) {
    case TCommandAction::ShowVersion:
      PrintLine(VersionLine());
      return 0;
    case TCommandAction::ShowHelp:
      std::fputs(HelpText().c_str(), stdout);
      return 0;
    case TCommandAction::Run:
      break;
  }
  ApplyDefaultPaths(settings, CurrentDirectory(), InstalledHttpDocs());
  for (const std::string& arg : settings.UnknownArguments)
    PrintLine(UnknownArgumentLine(arg), stderr);
  const bool foreground = settings.Foreground;

  CreateLogFile(settings.LogPath, settings.IniPath);

  gActivatedMessageDue = 0;
  gTerminate = 0;
  gChildStarted = 0;
  gChildFailed = 0;
  gActivatedMessageDue = 1;
  InstallSignals(foreground);

  const pid_t parentPid = getpid();
  if (!foreground) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
      PrintLine("Forking error");
      ReleaseLogFile();
      return 1;
    }
    if (child > 0) {
      // The parent waits up to 5 s for the child's start report; a child
      // that reports progress (it starts many servers) gets 5 s more each
      // time, so a start that works is never reported as failed.
      for (int i = 0; i < 50 && !gChildStarted && !gChildFailed; ++i) {
        SleepMs(100);
        if (gChildProgress) {
          gChildProgress = 0;
          i = 0;
        }
      }
      if (gChildStarted) {
        PrintLine(StartedLine + std::to_string(child));
        return 0;
      }
      PrintLine(FailedLine);
      ReleaseLogFile();
      return 2;
    }
  }

  // The daemon's child reports its start to the parent, but only while it
  // still waits: once it has given up, our parent is somebody else. In the
  // foreground the report goes to standard error (and the exit code).
  auto report = [parentPid, foreground](int signal) {
    if (foreground) {
      PrintLine(signal == SIGUSR1 ? StartedLine + std::to_string(getpid()) : FailedLine, stderr);
    } else if (getppid() == parentPid) {
      kill(parentPid, signal);
    }
  };

  if (!foreground) DetachStandardStreams();

  // From here on SIGTERM, SIGHUP (and in the foreground SIGINT) wait for the
  // main thread, which takes them at once; every thread started later
  // inherits the block, so none of them takes such a signal instead.
  sigset_t waitSet;
  sigemptyset(&waitSet);
  sigaddset(&waitSet, SIGTERM);
  sigaddset(&waitSet, SIGHUP);
  if (foreground) sigaddset(&waitSet, SIGINT);
  pthread_sigmask(SIG_BLOCK, &waitSet, nullptr);

  TServerManager& manager = ServerManager();
  InstallAdministration(manager);
  if (!foreground)
    manager.StartProgress = [parentPid] {
      if (getppid() == parentPid) kill(parentPid, ProgressSignal());
    };
  try {
    if (!manager.Startup()) {
      report(SIGUSR2);
      std::_Exit(3);
    }
  } catch (const std::exception& e) {
    report(SIGUSR2);
    Log(LMTERROR, LMDINFO, "server", ExceptionClassName(e) + ": " + e.what());
    std::_Exit(4);
  }
  // A daemon that serves no virtual server has not started: the operator
  // hears so at once instead of finding out from the players.
  if (manager.ServerList().empty()) {
    Log(LMTERROR, LMDALL, "SERVER", "Start_Vorlantix_Server: no virtual server could be started");
    report(SIGUSR2);
    ShutDown(manager);
    std::_Exit(3);
  }

  int pidFile = -1;
  if (!settings.PidPath.empty()) {
    pidFile = WritePidFile(settings.PidPath);
    if (pidFile < 0) {
      Log(LMTERROR, LMDINFO, "server", "Unable to createpid file, stopping daemon");
      ShutDown(manager);
      report(SIGUSR2);
      std::_Exit(4);
    }
  }

  report(SIGUSR1);
  NotifyServiceManager("READY=1\nMAINPID=" + std::to_string(getpid()));

  for (;;) {
    if (gActivatedMessageDue) {
      gActivatedMessageDue = 0;
      Log(LMTWARNING, LMDINFO, "server", "Vorlantix Server daemon activated");
    }
    if (gTerminate) break;
    timespec step{2, 0};
    const int signal = sigtimedwait(&waitSet, nullptr, &step);
    if (signal == SIGTERM || signal == SIGINT) gTerminate = 1;
    if (signal == SIGHUP) gActivatedMessageDue = 1;
  }

  NotifyServiceManager("STOPPING=1");
  ShutDown(manager);
  if (pidFile >= 0) {
    close(pidFile);
    unlink(settings.PidPath.c_str());
  }
  return 0;
}
