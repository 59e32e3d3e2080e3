// The telnet-style administration port: one line per command, one block of
// text lines per reply, acting on the server manager's registry of virtual
// servers, on their players and channels and on the account store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/LoginThrottle.h"
#include "net/LineServer.h"

namespace vx {

class TServerManager;
class TServerObject;

// A server as a session remembers it: by its section name, and weakly, so
// that a server stopped and released since is seen as gone.
struct TQueryServerRef {
  std::string Name;
  std::weak_ptr<TServerObject> Server;
};

// The state of one query connection.
class TQuerySession : public TLineSession {
 public:
  std::optional<TQueryServerRef> SelectedServer;  // none at start
  std::vector<TQueryServerRef> Servers;           // snapshot of the registry
  bool LoggedIn = false;
  std::string PeerAddress;  // the client's address, for the login throttle
};

class TTCPQuery {
 public:
  explicit TTCPQuery(TServerManager& manager);
  // Stops listening, closes every connection and joins every thread.
  ~TTCPQuery();
  TTCPQuery(const TTCPQuery&) = delete;
  TTCPQuery& operator=(const TTCPQuery&) = delete;

  // Listens on the port (0: a free one, for tests) of bindAddress (empty:
  // every address). On failure logs "TTCPQuery.Create: unable to initialize
  // communication " and returns false.
  bool Start(int32_t port, const std::string& bindAddress);
  void Stop();

  bool Active() const { return Server.Active(); }
  uint16_t Port() const { return Server.Port(); }
  // The line server, for its limits (set them before Start).
  TLineServer& LineServer() { return Server; }
  // Held shared by every command that reads a server and exclusively by the
  // commands that stop, restart, add or change one. Whoever else stops or
  // restarts servers while the port is open should hold it exclusively too.
  std::shared_mutex& ServerLock() { return *ServerStateLock; }
  // Makes the query use a lock that the caller owns (and keeps alive for
  // the life of this object) instead of its own; call before Start.
  void SetServerLock(std::shared_mutex& lock) { ServerStateLock = &lock; }
  // The throttle that slows down "login" guesses; the process-wide one
  // unless another is given (kept alive by the caller).
  void SetLoginThrottle(TLoginThrottle& throttle) { Throttle = &throttle; }

  // A session as a new connection gets it, and one line run through the
  // command table without a socket: the reply bytes are appended to output;
  // false when the line closes the connection.
  std::unique_ptr<TQuerySession> NewSession(const std::string& peerAddress = {});
  bool ProcessLine(TQuerySession& session, std::string_view line, std::string& output);

 private:
  using TParams = std::vector<std::string>;
  struct TLookup {
    std::shared_ptr<TServerObject> Server;
    std::string Error;  // the error line when Server is null
  };

  std::vector<TLineCommand> CommandTable();
  TQueryServerRef RefOf(const std::shared_ptr<TServerObject>& server) const;
  std::vector<TQueryServerRef> Snapshot() const;
  // The server still registered under the reference's name, or null.
  std::shared_ptr<TServerObject> Resolve(const TQueryServerRef& ref) const;
  TLookup Lookup(TQuerySession& session, const TParams& params) const;
  std::shared_ptr<TServerObject> Selected(const TQuerySession& session) const;
  void SendText(TServerObject& server, const std::string& text);

  std::string CmdServerList(TQuerySession& s, const TParams& p);
  std::string CmdPlayerList(TQuerySession& s, const TParams& p);
  std::string CmdChannelList(TQuerySession& s, const TParams& p);
  std::string CmdVersion(TQuerySession& s, const TParams& p);
  std::string CmdSelect(TQuerySession& s, const TParams& p);
  std::string CmdServerInfo(TQuerySession& s, const TParams& p);
  std::string CmdMessage(TQuerySession& s, const TParams& p);
  std::string CmdMessageAll(TQuerySession& s, const TParams& p);
  std::string CmdStart(TQuerySession& s, const TParams& p);
  std::string CmdStop(TQuerySession& s, const TParams& p);
  std::string CmdRestart(TQuerySession& s, const TParams& p);
  std::string CmdAddServer(TQuerySession& s, const TParams& p);
  std::string CmdSet(TQuerySession& s, const TParams& p);
  std::string CmdLogin(TQuerySession& s, const TParams& p);
  std::string CmdAddUser(TQuerySession& s, const TParams& p);
  std::string CmdDelUser(TQuerySession& s, const TParams& p);
  std::string CmdChangeUserPw(TQuerySession& s, const TParams& p);
  std::string CmdChangeUserRights(TQuerySession& s, const TParams& p);
  std::string CmdListUser(TQuerySession& s, const TParams& p);
  std::string CmdHelp(TQuerySession& s, const TParams& p);

  TServerManager& Manager;
  // See ServerLock(): no session reads a server another one is replacing.
  std::shared_mutex OwnServerLock;
  std::shared_mutex* ServerStateLock = &OwnServerLock;
  TLoginThrottle* Throttle = &ProcessLoginThrottle();
  TLineServer Server;
};

}  // namespace vx
