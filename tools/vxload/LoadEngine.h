// The load generator's engine: one thread, many UDP sockets on one epoll,
// each socket carrying one or more players. It logs the players in at a
// paced rate, keeps them alive (acknowledgements, pings), lets the speakers
// send voice frames on a fixed schedule, and takes in the relayed frames
// with recvmmsg and kernel receive time stamps. The protocol work of each
// player is the client library's TClientSession; relayed voice is read in
// place, without a copy or an allocation per frame.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ClientSession.h"
#include "common/Packets.h"
#include "vxload/LoadScenario.h"
#include "vxload/LoadStats.h"
#include "vxload/ProcStats.h"

namespace vx::load {

// One measured speaking period.
struct TStepResult {
  double FramesPerSecond = 0;
  double OfferedPerSecond = 0;  // relayed packets per second the schedule asks for
  double SpeakSeconds = 0;
  double WindowSeconds = 0;  // speaking plus draining
  TLossAccount Loss;
  uint64_t Late = 0;  // frames of an earlier period, not counted
  TLatencyHistogram LatencyUs;
  double ServerCpuS = -1;  // -1: no server pid
  double OwnCpuS = 0;
  double RelayedPerSecond() const {
    return SpeakSeconds > 0 ? double(Loss.Received) / SpeakSeconds : 0;
  }
};

struct TRunResult {
  TScenario Scenario;
  uint32_t LoggedIn = 0;
  uint32_t LoginFailed = 0;
  uint32_t LoginRetries = 0;
  uint32_t Misplaced = 0;     // players the server put into another channel
  double LoginSeconds = 0;    // first request to the last CMD_sc_LoginStep6
  TLatencyHistogram LoginUs;  // per player: request to CMD_sc_LoginStep6
  double IdleSeconds = 0;
  double IdleServerCpuS = -1;
  TProcSample ServerBefore;      // before the first login
  TProcSample ServerAfterLogin;  // after the logins and the settle time
  TProcSample ServerEnd;
  std::vector<TStepResult> Steps;
  uint64_t CommandsReceived = 0;
  uint64_t Resends = 0;
  uint64_t PingsSent = 0;
  uint64_t Pongs = 0;
  uint64_t Rejected = 0;
  double OwnCpuS = 0;
  std::string Aborted;  // why the run ended early, if it did
  // Memory the server gained per logged-in player.
  double RssPerPlayerBytes() const;
};

class TLoadEngine {
 public:
  explicit TLoadEngine(const TScenario& scenario);
  ~TLoadEngine();
  TLoadEngine(const TLoadEngine&) = delete;
  TLoadEngine& operator=(const TLoadEngine&) = delete;

  TRunResult Run();

 private:
  enum class TState : uint8_t { Waiting, Requested, Entering, In, Failed };
  struct TPlayer {
    client::TClientSession Session;
    uint32_t Socket = 0;
    TState State = TState::Waiting;
    uint8_t Attempts = 0;
    bool Speaker = false;
    int32_t ChannelID = -1;  // as the server reported it in CMD_sc_LoginStep5
    int64_t FirstRequestMs = 0;
    int64_t RequestMs = 0;
    int64_t EnteredMs = 0;
  };
  struct TSocket {
    int Fd = -1;
    int32_t LoginInFlight = -1;  // player whose login request waits for its reply
  };
  struct TSpeaker {
    uint32_t Player = 0;
    uint32_t Listeners = 0;
    uint32_t Sequence = 0;
    std::vector<uint8_t> Frame;  // VOICEC2S template, patched per frame
  };

  void OpenSockets();
  void Pump(int64_t untilMs, bool logins, bool speaking);
  void ReceiveFrom(uint32_t socket);
  void TakeDatagram(uint32_t socket, const uint8_t* data, size_t size, uint64_t rxNs);
  void TakeLoginReply(uint32_t socket, const uint8_t* data, size_t size);
  void TakeDelivered(uint32_t index);
  void StartLogins(int64_t nowMs);
  void Request(uint32_t index, int64_t nowMs);
  void Fail(uint32_t index);
  void ScanTimers(int64_t nowMs);
  void Flush(uint32_t index, int64_t nowMs);
  void SendRaw(uint32_t socket, const uint8_t* data, size_t size);
  void PrepareSpeakers();
  void SendDueFrames(uint64_t nowNs);
  TStepResult Speak(double framesPerSecond);
  void QuitAll();
  bool ServerAlive() const;
  int64_t NowMs() const;

  TScenario Scenario;
  int Epoll = -1;
  std::vector<TSocket> Sockets;
  std::vector<TPlayer> Players;
  std::vector<int32_t> ByPlayerID;                      // server PlayerID -> player index
  std::unordered_map<std::string, int32_t> ChannelIDs;  // name -> id from CMD_sc_LoginStep4
  TRunResult Result;

  // Login pacing.
  uint32_t NextToLogin = 0;
  uint32_t LoginsOpen = 0;
  uint32_t Settled = 0;  // In or Failed
  double LoginCredit = 0;
  int64_t LastCreditMs = 0;
  int64_t FirstLoginMs = -1;
  int64_t LastEnteredMs = 0;

  // Speaking.
  std::vector<TSpeaker> Speakers;
  uint64_t FramesScheduled = 0;
  uint64_t SpeakStartNs = 0;
  double FrameIntervalNs = 0;
  bool Measuring = false;
  uint64_t MeasureStartNs = 0;
  TStepResult* Step = nullptr;

  int64_t NextScanMs = 0;
  int64_t EpochMs = 0;
  TPacket Scratch;                   // a received control datagram
  std::vector<TPacket> Outgoing;     // what a session wants sent
  std::vector<uint8_t> ReceiveArea;  // recvmmsg buffers
  std::vector<uint8_t> ControlArea;  // their time stamp messages
};

// Stores C channels named prefix0 .. prefix(C-1) (the first one the
// default channel) for the virtual server with the config name section in
// the database file, creating the file when it does not exist; with
// accounts above 0 also that many accounts (see StoreAccounts).
void StoreChannels(const std::string& databasePath, const std::string& section, uint32_t channels,
                   const std::string& prefix, uint32_t accounts = 0);

}  // namespace vx::load
