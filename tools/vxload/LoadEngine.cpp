#include "vxload/LoadEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "common/ByteOrder.h"
#include "domain/channelobject_u.h"
#include "domain/zevevira_channels_u.h"
#include "host/TimeTools.h"
#include "host/ZeveVira.h"
#include "vxload/LoadRegistrations.h"

namespace vx::load {

namespace {

constexpr unsigned ReceiveBatch = 64;
constexpr size_t DatagramRoom = 2048;
constexpr size_t ControlRoom = CMSG_SPACE(sizeof(timespec));
constexpr int64_t ScanIntervalMs = 20;
constexpr int64_t LoginReplyWaitMs = 3000;  // the abandoned connection is gone after 2 s
constexpr int64_t EnterWaitMs = 20000;
constexpr int MaxAttempts = 3;
constexpr int32_t LoginPingMs = 500;  // keeps a connection in the login state alive
constexpr uint32_t MaxPlayerID = 1u << 22;
constexpr uint64_t MaxFramesPerCall = 20000;

uint64_t RealNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

int64_t MonotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

double TRunResult::RssPerPlayerBytes() const {
  if (!ServerBefore.Valid || !ServerAfterLogin.Valid || LoggedIn == 0) return 0;
  return (double(ServerAfterLogin.RssKb) - double(ServerBefore.RssKb)) * 1024.0 / LoggedIn;
}

TLoadEngine::TLoadEngine(const TScenario& scenario) : Scenario(scenario) {
  Scenario.Validate();
  Result.Scenario = Scenario;
  Players.resize(Scenario.Players);
  for (uint32_t p : Scenario.SpeakerPlayers()) Players[p].Speaker = true;
  ReceiveArea.resize(ReceiveBatch * DatagramRoom);
  ControlArea.resize(ReceiveBatch * ControlRoom);
}

TLoadEngine::~TLoadEngine() {
  for (TSocket& s : Sockets)
    if (s.Fd >= 0) close(s.Fd);
  if (Epoll >= 0) close(Epoll);
}

int64_t TLoadEngine::NowMs() const {
  return MonotonicMs() - EpochMs;
}

bool TLoadEngine::ServerAlive() const {
  return Scenario.ServerPid <= 0 || ReadProc(Scenario.ServerPid).Valid;
}

void TLoadEngine::OpenSockets() {
  const uint32_t count =
      (Scenario.Players + Scenario.PlayersPerSocket - 1) / Scenario.PlayersPerSocket;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = rlim_t(count) + 64;
  if (limit.rlim_cur < needed) {
    if (limit.rlim_max < needed)
      throw ELoad("RLIMIT_NOFILE allows " + std::to_string(limit.rlim_max) + " files, " +
                  std::to_string(needed) + " are needed: raise it or use --players-per-socket");
    limit.rlim_cur = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) throw ELoad("cannot raise RLIMIT_NOFILE");
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(Scenario.Port);
  if (inet_pton(AF_INET, Scenario.Host.c_str(), &server.sin_addr) != 1)
    throw ELoad("bad host " + Scenario.Host);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = server.sin_addr;
  Epoll = epoll_create1(EPOLL_CLOEXEC);
  if (Epoll < 0) throw ELoad(std::string("epoll_create1: ") + std::strerror(errno));
  Sockets.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ELoad(std::string("socket: ") + std::strerror(errno));
    Sockets[i].Fd = fd;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (Scenario.PlayersPerSocket > 1) {
      const int size = int(std::min<uint64_t>(4u << 20, uint64_t(Scenario.PlayersPerSocket) << 17));
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
      throw ELoad(std::string("bind/connect: ") + std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = i;
    if (epoll_ctl(Epoll, EPOLL_CTL_ADD, fd, &ev) != 0)
      throw ELoad(std::string("epoll_ctl: ") + std::strerror(errno));
  }
  for (uint32_t p = 0; p < Scenario.Players; ++p) Players[p].Socket = p / Scenario.PlayersPerSocket;
}

void TLoadEngine::SendRaw(uint32_t socket, const uint8_t* data, size_t size) {
  if (send(Sockets[socket].Fd, data, size, 0) != ssize_t(size)) ++Result.Rejected;
}

void TLoadEngine::Flush(uint32_t index, int64_t nowMs) {
  TPlayer& p = Players[index];
  Outgoing.clear();
  p.Session.Poll(nowMs, Outgoing);
  for (const TPacket& packet : Outgoing) SendRaw(p.Socket, packet.Data(), packet.Size());
}

// ---------------------------------------------------------------------------
// Receiving

void TLoadEngine::ReceiveFrom(uint32_t socket) {
  mmsghdr messages[ReceiveBatch];
  iovec vectors[ReceiveBatch];
  for (;;) {
    for (unsigned i = 0; i < ReceiveBatch; ++i) {
      vectors[i] = {ReceiveArea.data() + i * DatagramRoom, DatagramRoom};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_control = ControlArea.data() + i * ControlRoom;
      messages[i].msg_hdr.msg_controllen = ControlRoom;
    }
    const int got = recvmmsg(Sockets[socket].Fd, messages, ReceiveBatch, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    uint64_t fallbackNs = 0;
    for (int i = 0; i < got; ++i) {
      uint64_t rxNs = 0;
      msghdr& h = messages[i].msg_hdr;
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec t{};
          std::memcpy(&t, CMSG_DATA(c), sizeof t);
          rxNs = uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
        }
      }
      if (rxNs == 0) rxNs = fallbackNs ? fallbackNs : (fallbackNs = RealNs());
      const size_t size = std::min<size_t>(messages[i].msg_len, DatagramRoom);
      TakeDatagram(socket, ReceiveArea.data() + size_t(i) * DatagramRoom, size, rxNs);
    }
    if (unsigned(got) < ReceiveBatch) return;
  }
}

void TLoadEngine::TakeDatagram(uint32_t socket, const uint8_t* data, size_t size, uint64_t rxNs) {
  if (size < 12) {
    ++Result.Rejected;
    return;
  }
  const uint16_t magic = GetLE16(data);
  if (magic == MAGIC_VOICES2C && size >= VoiceS2CHeaderSize) {
    // The hot path: read the payload in place.
    if (Step == nullptr) return;
    const auto payload = TFramePayload::Read(data + VoiceS2CHeaderSize, size - VoiceS2CHeaderSize);
    if (!payload) {
      ++Step->Loss.Foreign;
    } else if (!Measuring || payload->SendTimeNs < MeasureStartNs) {
      ++Step->Late;
    } else {
      ++Step->Loss.Received;
      Step->LatencyUs.Add(rxNs > payload->SendTimeNs ? (rxNs - payload->SendTimeNs) / 1000 : 0);
    }
    return;
  }
  if (magic == MAGIC_MAINTENANCE && size >= MaintenanceHeaderSize &&
      GetLE16(data + 2) == MAINT_LOGINREPLY) {
    TakeLoginReply(socket, data, size);
    return;
  }
  const uint32_t playerID = GetLE32(data + 8);
  const int32_t index = playerID < ByPlayerID.size() ? ByPlayerID[playerID] : -1;
  if (index < 0 || Players[size_t(index)].Socket != socket) {
    ++Result.Rejected;
    return;
  }
  TPlayer& p = Players[size_t(index)];
  Scratch.Resize(size);
  std::memcpy(Scratch.Data(), data, size);
  const int64_t now = NowMs();
  if (p.Session.Receive(Scratch, now) == client::TReceiveKind::Command)
    TakeDelivered(uint32_t(index));
  Flush(uint32_t(index), now);
}

void TLoadEngine::TakeLoginReply(uint32_t socket, const uint8_t* data, size_t size) {
  const int32_t index = Sockets[socket].LoginInFlight;
  if (index < 0) {
    ++Result.Rejected;
    return;
  }
  Scratch.Resize(size);
  std::memcpy(Scratch.Data(), data, size);
  const auto reply = client::DecodeLoginReply(Scratch);
  if (!reply) {
    ++Result.Rejected;
    return;
  }
  Sockets[socket].LoginInFlight = -1;
  TPlayer& p = Players[size_t(index)];
  if (reply->Result != LOGIN_ACCEPTED || reply->PlayerID == 0 || reply->PlayerID >= MaxPlayerID) {
    if (Scenario.Verbose)
      fprintf(stderr, "vxload: %s refused: %s\n", Scenario.NickName(uint32_t(index)).c_str(),
              client::LoginResultText(reply->Result).c_str());
    Fail(uint32_t(index));
    return;
  }
  const int64_t now = NowMs();
  p.Session.Settings.PingIntervalMs = LoginPingMs;
  p.Session.Start(reply->ConnectionID, reply->PlayerID, now);
  if (ByPlayerID.size() <= reply->PlayerID) ByPlayerID.resize(reply->PlayerID + 1024, -1);
  ByPlayerID[reply->PlayerID] = index;
  client::TLoginStep3 step3;
  step3.Channel = Scenario.ChannelName(Scenario.ChannelOf(uint32_t(index)));
  p.Session.QueueCommand(client::EncodeLoginStep3(step3));
  p.State = TState::Entering;
  Flush(uint32_t(index), now);
}

void TLoadEngine::TakeDelivered(uint32_t index) {
  TPlayer& p = Players[index];
  while (auto command = p.Session.TakeCommand()) {
    ++Result.CommandsReceived;
    if (p.State != TState::Entering) continue;
    switch (client::CommandCode(*command)) {
      case cmd::CMD_sc_LoginStep4: {
        std::vector<client::TChannelEntry> channels;
        client::DecodeLoginStep4(*command, channels);
        for (const auto& c : channels) ChannelIDs[c.Name] = c.ChannelID;
        break;
      }
      case cmd::CMD_sc_LoginStep5: {
        std::vector<client::TPlayerEntry> players;
        client::DecodeLoginStep5(*command, players);
        for (const auto& e : players)
          if (e.PlayerID == p.Session.PlayerID()) p.ChannelID = e.ChannelID;
        break;
      }
      case cmd::CMD_sc_LoginStep6: {
        const int64_t now = NowMs();
        p.State = TState::In;
        p.EnteredMs = now;
        p.Session.Settings.PingIntervalMs = client::TSessionSettings{}.PingIntervalMs;
        --LoginsOpen;
        ++Settled;
        ++Result.LoggedIn;
        LastEnteredMs = std::max(LastEnteredMs, now);
        Result.LoginUs.Add(uint64_t(now - p.FirstRequestMs) * 1000);
        break;
      }
      default:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Logins and timers

void TLoadEngine::Request(uint32_t index, int64_t nowMs) {
  TPlayer& p = Players[index];
  client::TLoginRequest request;
  request.ClientName = "vxload";
  request.NickName = Scenario.NickName(index);
  const TPacket packet =
      client::EncodeLoginRequest(request, client::TClientSession::LoginRequestSequence);
  if (p.Attempts == 0) p.FirstRequestMs = nowMs;
  if (FirstLoginMs < 0) FirstLoginMs = nowMs;
  ++p.Attempts;
  p.RequestMs = nowMs;
  p.State = TState::Requested;
  Sockets[p.Socket].LoginInFlight = int32_t(index);
  SendRaw(p.Socket, packet.Data(), packet.Size());
}

void TLoadEngine::Fail(uint32_t index) {
  TPlayer& p = Players[index];
  if (p.State == TState::Requested || p.State == TState::Entering) --LoginsOpen;
  if (Sockets[p.Socket].LoginInFlight == int32_t(index)) Sockets[p.Socket].LoginInFlight = -1;
  p.State = TState::Failed;
  p.Session.Stop();
  ++Settled;
  ++Result.LoginFailed;
}

void TLoadEngine::StartLogins(int64_t nowMs) {
  const uint32_t socketCount = uint32_t(Sockets.size());
  const uint32_t perSocket = Scenario.PlayersPerSocket;
  LoginCredit += double(nowMs - LastCreditMs) * Scenario.LoginRate / 1000.0;
  LoginCredit = std::min(LoginCredit, std::max(1.0, double(Scenario.LoginsInFlight)));
  LastCreditMs = nowMs;
  // Consecutive logins go to different sockets: order j names slot j /
  // socketCount of socket j % socketCount.
  const uint64_t slots = uint64_t(socketCount) * perSocket;
  while (LoginCredit >= 1 && LoginsOpen < Scenario.LoginsInFlight && NextToLogin < slots) {
    const uint64_t player =
        uint64_t(NextToLogin % socketCount) * perSocket + NextToLogin / socketCount;
    if (player >= Scenario.Players) {
      ++NextToLogin;
      continue;
    }
    if (Sockets[Players[player].Socket].LoginInFlight >= 0) break;
    ++NextToLogin;
    LoginCredit -= 1;
    ++LoginsOpen;
    Request(uint32_t(player), nowMs);
  }
}

void TLoadEngine::ScanTimers(int64_t nowMs) {
  for (uint32_t i = 0; i < Players.size(); ++i) {
    TPlayer& p = Players[i];
    switch (p.State) {
      case TState::Requested:
        if (nowMs - p.RequestMs < LoginReplyWaitMs) break;
        if (p.Attempts >= MaxAttempts) {
          Fail(i);
        } else if (Sockets[p.Socket].LoginInFlight == int32_t(i)) {
          ++Result.LoginRetries;
          Request(i, nowMs);
        }
        break;
      case TState::Entering:
        if (nowMs - p.RequestMs >= EnterWaitMs) {
          Fail(i);
          break;
        }
        Flush(i, nowMs);
        break;
      case TState::In:
        Flush(i, nowMs);
        break;
      default:
        break;
    }
  }
}

void TLoadEngine::Pump(int64_t untilMs, bool logins, bool speaking) {
  epoll_event events[256];
  for (;;) {
    int64_t now = NowMs();
    if (now >= untilMs) return;
    if (logins && Settled >= Scenario.Players) return;
    if (now >= int64_t(Scenario.MaxRunS * 1000)) {
      Result.Aborted = "the run exceeded --max-run";
      return;
    }
    int64_t timeout = std::min(untilMs - now, std::max<int64_t>(0, NextScanMs - now));
    if (logins) timeout = std::min<int64_t>(timeout, 2);
    if (speaking) {
      const double nextNs = double(SpeakStartNs) + double(FramesScheduled) * FrameIntervalNs;
      const double leftMs = (nextNs - double(RealNs())) / 1e6;
      timeout = std::min<int64_t>(timeout, std::max<int64_t>(1, int64_t(std::ceil(leftMs))));
    }
    const int n = epoll_wait(Epoll, events, 256, int(timeout));
    for (int i = 0; i < n; ++i) ReceiveFrom(events[i].data.u32);
    now = NowMs();
    if (now >= NextScanMs) {
      ScanTimers(now);
      NextScanMs = now + ScanIntervalMs;
      if (!ServerAlive()) {
        Result.Aborted = "the server process is gone";
        return;
      }
    }
    if (logins) StartLogins(now);
    if (speaking) SendDueFrames(RealNs());
  }
}

// ---------------------------------------------------------------------------
// Speaking

void TLoadEngine::PrepareSpeakers() {
  Speakers.clear();
  std::vector<uint32_t> inChannel(Scenario.Channels, 0);
  for (uint32_t i = 0; i < Players.size(); ++i)
    if (Players[i].State == TState::In) ++inChannel[Scenario.ChannelOf(i)];
  for (uint32_t i : Scenario.SpeakerPlayers()) {
    TPlayer& p = Players[i];
    if (p.State != TState::In) continue;
    client::TVoiceFrame frame;
    frame.Data.assign(Scenario.PayloadBytes, 0x5A);
    const TPacket packet =
        client::EncodeVoice(frame, p.Session.ConnectionID(), p.Session.PlayerID(), 0);
    TSpeaker s;
    s.Player = i;
    s.Listeners = inChannel[Scenario.ChannelOf(i)] - 1;
    s.Frame.assign(packet.Data(), packet.Data() + packet.Size());
    Speakers.push_back(std::move(s));
  }
}

void TLoadEngine::SendDueFrames(uint64_t nowNs) {
  if (Speakers.empty()) return;
  const int64_t nowMs = NowMs();
  for (uint64_t sent = 0; sent < MaxFramesPerCall; ++sent) {
    const double dueNs = double(SpeakStartNs) + double(FramesScheduled) * FrameIntervalNs;
    if (dueNs > double(nowNs)) return;
    TSpeaker& s = Speakers[FramesScheduled % Speakers.size()];
    ++FramesScheduled;
    TPlayer& p = Players[s.Player];
    uint8_t* frame = s.Frame.data();
    PutLE16(frame + 12, p.Session.NextVoiceCounter());
    TFramePayload payload;
    payload.Sequence = ++s.Sequence;
    payload.Speaker = uint32_t(&s - Speakers.data());
    payload.SendTimeNs = RealNs();
    payload.Write(frame + VoiceC2SHeaderSize);
    if (send(Sockets[p.Socket].Fd, frame, s.Frame.size(), 0) == ssize_t(s.Frame.size())) {
      Step->Loss.Sent(s.Listeners);
      p.Session.NoteSent(nowMs);
    } else {
      ++Result.Rejected;
    }
  }
}

TStepResult TLoadEngine::Speak(double framesPerSecond) {
  Result.Steps.emplace_back();
  Step = &Result.Steps.back();
  Step->FramesPerSecond = framesPerSecond;
  double listeners = 0;
  for (const TSpeaker& s : Speakers) listeners += s.Listeners;
  Step->OfferedPerSecond = listeners * framesPerSecond;
  const TProcSample before = ReadProc(Scenario.ServerPid);
  const double ownBefore = OwnCpuSeconds();
  const int64_t start = NowMs();
  SpeakStartNs = RealNs();
  MeasureStartNs = SpeakStartNs;
  FramesScheduled = 0;
  FrameIntervalNs = 1e9 / (double(Speakers.size()) * framesPerSecond);
  Measuring = true;
  Pump(start + int64_t(Scenario.DurationS * 1000), false, true);
  const int64_t spoken = NowMs();
  Pump(spoken + int64_t(Scenario.DrainS * 1000), false, false);
  Measuring = false;
  const TProcSample after = ReadProc(Scenario.ServerPid);
  Step->SpeakSeconds = double(spoken - start) / 1000.0;
  Step->WindowSeconds = double(NowMs() - start) / 1000.0;
  if (before.Valid && after.Valid) Step->ServerCpuS = after.CpuS - before.CpuS;
  Step->OwnCpuS = OwnCpuSeconds() - ownBefore;
  return *Step;
}

void TLoadEngine::QuitAll() {
  const int64_t now = NowMs();
  for (uint32_t i = 0; i < Players.size(); ++i) {
    TPlayer& p = Players[i];
    if (p.State != TState::In) continue;
    p.Session.QueueCommand(client::MakeCommand(cmd::CMD_cs_PlayerQuit));
    Flush(i, now);
  }
  Pump(NowMs() + 1000, false, false);
  for (TPlayer& p : Players) p.Session.Stop();
}

TRunResult TLoadEngine::Run() {
  EpochMs = MonotonicMs();
  const double ownStart = OwnCpuSeconds();
  OpenSockets();
  Result.ServerBefore = ReadProc(Scenario.ServerPid);
  LastCreditMs = NowMs();
  LoginCredit = 1;
  Pump(INT64_MAX, true, false);
  if (FirstLoginMs >= 0 && LastEnteredMs > 0)
    Result.LoginSeconds = double(LastEnteredMs - FirstLoginMs) / 1000.0;
  if (Result.Aborted.empty()) Pump(NowMs() + int64_t(Scenario.SettleS * 1000), false, false);
  Result.ServerAfterLogin = ReadProc(Scenario.ServerPid);
  for (uint32_t i = 0; i < Players.size(); ++i) {
    const TPlayer& p = Players[i];
    if (p.State != TState::In) continue;
    const auto it = ChannelIDs.find(Scenario.ChannelName(Scenario.ChannelOf(i)));
    if (it == ChannelIDs.end() || it->second != p.ChannelID) ++Result.Misplaced;
  }
  if (Result.LoggedIn == 0 && Result.Aborted.empty()) Result.Aborted = "no player could log in";

  if (Result.Aborted.empty() && Scenario.IdleS > 0) {
    const TProcSample before = ReadProc(Scenario.ServerPid);
    const int64_t start = NowMs();
    Pump(start + int64_t(Scenario.IdleS * 1000), false, false);
    const TProcSample after = ReadProc(Scenario.ServerPid);
    Result.IdleSeconds = double(NowMs() - start) / 1000.0;
    if (before.Valid && after.Valid) Result.IdleServerCpuS = after.CpuS - before.CpuS;
  }

  if (Result.Aborted.empty() && Scenario.Speakers > 0 && Scenario.DurationS > 0) {
    PrepareSpeakers();
    const std::vector<double> rates =
        Scenario.RampFps.empty() ? std::vector<double>{Scenario.FramesPerSecond} : Scenario.RampFps;
    for (double fps : rates) {
      const TStepResult step = Speak(fps);
      if (Scenario.Verbose)
        fprintf(stderr, "vxload: %.0f fps: %.0f relayed/s, loss %.4f %%\n", fps,
                step.RelayedPerSecond(), step.Loss.LossPercent());
      if (!Result.Aborted.empty()) break;
      if (!Scenario.RampFps.empty() && step.Loss.LossPercent() > Scenario.RampTolerancePercent)
        break;
    }
    Step = nullptr;
  }
  Result.ServerEnd = ReadProc(Scenario.ServerPid);
  for (const TPlayer& p : Players) {
    const auto& c = p.Session.Counters();
    Result.Resends += c.Resends;
    Result.PingsSent += c.PingsSent;
    Result.Pongs += c.Pongs;
  }
  if (Scenario.Quit && Result.Aborted.empty()) QuitAll();
  Result.OwnCpuS = OwnCpuSeconds() - ownStart;
  return Result;
}

// ---------------------------------------------------------------------------

void StoreChannels(const std::string& databasePath, const std::string& section, uint32_t channels,
                   const std::string& prefix, uint32_t accounts) {
  TZeveVira database;
  database.SetOpenFlag(TFBOpenFlag::CreateNotExists);
  database.SetFileName(databasePath);
  database.SetActive(true);
  if (!database.Active()) throw ELoad("cannot open the database " + databasePath);
  TChannels list(section);
  std::scoped_lock lock(list);
  for (uint32_t i = 0; i < channels; ++i) {
    auto rec = std::make_unique<TChannelRec>();
    rec->SetName(prefix + std::to_string(i));
    rec->SetTopic("load");
    rec->SetDescription("a channel of the load scenarios");
    rec->Flags = i == 0 ? CHANNEL_DEFAULT : 0;
    rec->MaxUsers = 0xFFFF;
    rec->Created = rec->LastChanged = TDateTime::Now();
    if (list.AddChannel(std::move(rec)) < 0)
      throw ELoad("channel refused: " + prefix + std::to_string(i));
  }
  if (!SaveChannels(list, database, section)) throw ELoad("cannot store the channels");
  if (accounts > 0) StoreAccounts(database, section, accounts, "acct");
  database.Flush();
  database.SetActive(false);
}

}  // namespace vx::load
