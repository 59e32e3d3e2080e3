// A line-oriented TCP server: a listener with one thread per connection, a
// greeting, commands matched against a table, and replies written as lines.
//
// The protocol: on accept the server writes the greeting line, then runs the
// connect hook, which creates the connection's session. Lines end with LF; a
// CR before the LF is removed; empty lines are ignored. A line matches the
// first command of the table (ASCII case ignored) that is either the whole
// line or the line's first word followed by one blank; the rest of the line,
// split at blanks with empty pieces dropped, gives the parameters. A line that
// matches nothing is answered "error". A command without a handler closes the
// connection without a reply. Every line written ends with a single LF.
//
// Limits: at most MaxConnections connections at once, and at most
// MaxConnectionsPerAddress of them from one client address (one more is
// closed right after accept, without a greeting); lines of at most MaxLineLength
// bytes (a longer one is answered "error" and discarded up to its LF); a
// connection that sends nothing for IdleTimeoutMs, or does not take its
// reply within that time, is closed.
//
// This file depends on the standard library and the socket interface only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"

namespace vx {

// The state a connection keeps between its lines; created by the connect hook.
class TLineSession {
 public:
  virtual ~TLineSession() = default;
};

// A command's handler builds the whole reply; its lines may be separated by
// CR LF, CR or LF.
using TLineHandler =
    std::function<std::string(TLineSession& session, const std::vector<std::string>& params)>;

struct TLineCommand {
  std::string Word;
  TLineHandler Handler;  // empty: the command closes the connection
};

// Splits a byte stream into lines. A line may hold at most maxLength bytes
// (its line end not counted); a longer one is reported once as overlong and
// the bytes up to its LF are dropped.
class TLineSplitter {
 public:
  struct TItem {
    bool Overlong = false;
    std::string Line;  // without CR LF / LF
  };

  explicit TLineSplitter(size_t maxLength) : MaxLength(maxLength) {}

  // Appends data and moves every line completed by it to out.
  void Feed(std::string_view data, std::vector<TItem>& out);
  // Bytes held of a line not yet ended.
  size_t Pending() const { return Partial.size(); }

 private:
  size_t MaxLength;
  std::string Partial;
  bool Discarding = false;
};

// The reply text cut into lines at CR LF, CR or LF, each followed by one LF.
// A line end at the very end of the text does not start another line.
std::string FormatReplyLines(std::string_view text);

// Index of the first command of the table that the line matches, with its
// parameters; -1 when none does.
int MatchLineCommand(const std::vector<TLineCommand>& table, std::string_view line,
                     std::vector<std::string>& params);

class TLineServer {
 public:
  struct THooks {
    // Creates the connection's session; null (or an exception) closes the
    // connection. peerAddress is the dotted IPv4 address of the client.
    std::function<std::unique_ptr<TLineSession>(const std::string& peerAddress)> OnConnect;
    // Runs when the connection closes, before the session is released.
    std::function<void(TLineSession& session)> OnDisconnect;
    // An exception that escaped a handler; the line gets no reply.
    std::function<void(const std::exception& e)> OnException;
  };

  TLineServer(std::vector<TLineCommand> commands, THooks hooks, std::string greeting);
  ~TLineServer();
  TLineServer(const TLineServer&) = delete;
  TLineServer& operator=(const TLineServer&) = delete;

  // Listens on the port (0: any free port) of bindAddress (empty: every
  // address) and starts the accepting thread. False when the socket cannot
  // be set up; LastError() then says why.
  bool Start(uint16_t port, const std::string& bindAddress);
  // Closes the listener and every connection and joins every thread. The
  // disconnect hook runs for each open connection. Safe to call twice.
  void Stop();

  bool Active() const { return ListenFd >= 0; }
  // The port actually listened on.
  uint16_t Port() const { return BoundPort; }
  const std::string& LastError() const { return LastErrorText; }
  // Connections open right now.
  int ConnectionCount() const { return OpenConnections.load(); }

  // Runs one received line as a connection would: appends the bytes to
  // write to output; false when the connection is to be closed.
  bool HandleLine(TLineSession& session, std::string_view line, std::string& output);

  // For handlers that must hold back their reply: sleeps until the moment;
  // false when the server began to stop first.
  bool WaitUntil(std::chrono::steady_clock::time_point moment);

  // Limits; set them before Start.
  int MaxConnections = 64;
  int MaxConnectionsPerAddress = 8;
  size_t MaxLineLength = 4096;
  int IdleTimeoutMs = 10 * 60 * 1000;

 private:
  struct TConnection {
    int Fd = -1;
    std::string PeerAddress;
    std::thread Thread;
    std::atomic<bool> Finished{false};
  };

  void AcceptLoop();
  void Serve(TConnection& connection);
  // Waits for the socket to become ready (POLLIN or POLLOUT) up to the idle
  // limit; false on stop, time-out or error.
  bool WaitReady(int fd, short events);
  bool WriteAll(int fd, std::string_view data);
  void ReapFinished(bool all);
  void Wake(int fd);

  const std::vector<TLineCommand> Commands;
  const THooks Hooks;
  const std::string Greeting;

  int ListenFd = -1;
  int StopEvent = -1;  // readable once Stop has begun; never drained
  int ReapEvent = -1;  // a connection thread finished
  uint16_t BoundPort = 0;
  std::string LastErrorText;
  std::thread AcceptThread;
  TMutex ConnectionsLock;
  std::list<TConnection> Connections VX_GUARDED_BY(ConnectionsLock);
  std::atomic<int> OpenConnections{0};
};

}  // namespace vx
