// The program entry: command line, daemon start, signals, pid file and the
// main loop that waits for SIGTERM.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "common/Exceptions.h"
#include "host/CommandLine.h"
#include "host/logdebug.h"
#include "host/serverobject_u.h"

namespace {

// Set by the signal handler only; read by the main loop and the waiting parent.
volatile sig_atomic_t gActivatedMessageDue = 0;
volatile sig_atomic_t gTerminate = 0;
volatile sig_atomic_t gChildStarted = 0;
volatile sig_atomic_t gChildFailed = 0;

extern "C" void SignalHandler(int signal) {
  switch (signal) {
    case SIGHUP:
      gActivatedMessageDue = 1;
      break;
    case SIGTERM:
      gTerminate = 1;
      break;
    case SIGUSR1:
      gChildStarted = 1;
      break;
    case SIGUSR2:
      gChildFailed = 1;
      break;
    default:
      break;
  }
}

void InstallSignals() {
  sigset_t mask;
  sigemptyset(&mask);
  for (int s = 1; s <= 32; ++s) {
    if (s == SIGHUP || s == SIGUSR1 || s == SIGUSR2 || s == SIGTERM) continue;
    if (s == SIGKILL || s == SIGSTOP) continue;  // cannot be blocked anyway
    sigaddset(&mask, s);
  }
  // Threads started later inherit this mask, so SIGINT, SIGPIPE and the rest
  // never reach the process.
  sigprocmask(SIG_SETMASK, &mask, nullptr);

  struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int s : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(s, &action, nullptr);
}

void SleepMs(long ms) {
  struct timespec ts {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);  // a signal cuts the sleep short, which is what we want
}

void PrintLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

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
  ApplyDefaultPaths(settings, CurrentDirectory());

  CreateLogFile(settings.LogPath, settings.IniPath);

  gActivatedMessageDue = 0;
  gTerminate = 0;
  gChildStarted = 0;
  gChildFailed = 0;
  gActivatedMessageDue = 1;
  InstallSignals();

  const pid_t parentPid = getpid();
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) {
    PrintLine("Forking error");
    ReleaseLogFile();
    return 1;
  }

  if (child > 0) {
    // The parent waits up to 5 s for the child's start report.
    for (int i = 0; i < 50 && !gChildStarted && !gChildFailed; ++i) SleepMs(100);
    if (gChildStarted) {
      PrintLine("Vorlantix Server Daemon started with PID " + std::to_string(child));
      return 0;
    }
    PrintLine("Error stating daemon. Aborted");
    ReleaseLogFile();
    return 2;
  }

  // The child: the start report goes to the parent only while it still
  // waits; once it has given up, our parent is somebody else.
  auto report = [parentPid](int signal) {
    if (getppid() == parentPid) kill(parentPid, signal);
  };

  DetachStandardStreams();

  TServerManager& manager = ServerManager();
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
    try {
      manager.Shutdown();
    } catch (...) {
    }
    std::_Exit(3);
  }

  int pidFile = -1;
  if (!settings.PidPath.empty()) {
    pidFile = WritePidFile(settings.PidPath);
    if (pidFile < 0) {
      Log(LMTERROR, LMDINFO, "server", "Unable to createpid file, stopping daemon");
      try {
        manager.Shutdown();
      } catch (...) {
      }
      report(SIGUSR2);
      std::_Exit(4);
    }
  }

  report(SIGUSR1);

  for (;;) {
    if (gActivatedMessageDue) {
      gActivatedMessageDue = 0;
      Log(LMTWARNING, LMDINFO, "server", "Vorlantix Server daemon activated");
    }
    if (gTerminate) break;
    SleepMs(2 * 1000);
  }

  try {
    manager.Shutdown();
  } catch (...) {
  }
  if (pidFile >= 0) {
    close(pidFile);
    unlink(settings.PidPath.c_str());
  }
  return 0;
}
