// The yardstick: the least a relay of this protocol has to do, as fast as
// one thread with recvmmsg and sendmmsg can do it. It answers the login
// handshake minimally (login reply, and on CMD_cs_LoginStep3 one channel
// record, the own player entry and CMD_sc_LoginStep6, each sent once),
// acknowledges commands, answers pings, and relays every voice frame to the
// other players of the speaker's channel with the 22-byte header. Players
// silent for 15 s are dropped. It measures what the machine allows, so that
// the server's figures have something to be held against.
//
//   yardstick --port=N [--seconds=S]     (binds 127.0.0.1 only)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ByteOrder.h"
#include "common/Packets.h"
#include "common/TextN.h"
#include "common/WireLayout.h"

namespace vx::yardstick {

namespace {

constexpr unsigned Batch = 64;
constexpr size_t Room = 2048;
constexpr unsigned SendCapacity = 1024;
constexpr int64_t SilenceMs = 15000;

// Record lists are built as payloads, which begin after the command header.
constexpr size_t ListCount = TRecordListLayout::Count - CommandHeaderSize;
constexpr size_t FirstSlot = TRecordListLayout::Slots - CommandHeaderSize;

volatile sig_atomic_t Stop = 0;

int64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

struct TPlayer {
  bool Used = false;
  uint32_t ConnectionID = 0;
  int32_t Channel = 0;
  sockaddr_in Address{};
  uint32_t CommandSequence = 0;  // last own command sent
  uint32_t CommandExpected = 1;
  uint32_t MaintenanceSequence = 1;
  uint16_t VoiceCounter = 0;
  int64_t LastReceiveMs = 0;
  std::string NickName;
};

class TYardstick {
 public:
  explicit TYardstick(int fd)
      : Socket(fd), Incoming(size_t(Batch) * Room), Outgoing(size_t(SendCapacity) * Room) {}

  void Run(int64_t untilMs) {
    mmsghdr messages[Batch];
    iovec vectors[Batch];
    sockaddr_in sources[Batch];
    int64_t nextSweep = NowMs() + 1000;
    while (!Stop && (untilMs <= 0 || NowMs() < untilMs)) {
      pollfd pfd{Socket, POLLIN, 0};
      if (poll(&pfd, 1, 200) < 0 && errno != EINTR) return;
      for (;;) {
        for (unsigned i = 0; i < Batch; ++i) {
          vectors[i] = {Incoming.data() + i * Room, Room};
          messages[i] = {};
          messages[i].msg_hdr.msg_iov = &vectors[i];
          messages[i].msg_hdr.msg_iovlen = 1;
          messages[i].msg_hdr.msg_name = &sources[i];
          messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        const int got = recvmmsg(Socket, messages, Batch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;
        Now = NowMs();
        for (int i = 0; i < got; ++i)
          Take(Incoming.data() + size_t(i) * Room, std::min<size_t>(messages[i].msg_len, Room),
               sources[i]);
        Flush();
        if (unsigned(got) < Batch) break;
      }
      if (NowMs() >= nextSweep) {
        Sweep();
        nextSweep = NowMs() + 1000;
      }
    }
  }

 private:
  uint8_t* Reserve(const sockaddr_in& to, size_t size) {
    if (Pending == SendCapacity) Flush();
    uint8_t* p = Outgoing.data() + size_t(Pending) * Room;
    std::memset(p, 0, size);
    Sizes[Pending] = size;
    Targets[Pending] = to;
    ++Pending;
    return p;
  }

  void Flush() {
    unsigned done = 0;
    while (done < Pending) {
      mmsghdr messages[SendCapacity];
      iovec vectors[SendCapacity];
      const unsigned n = Pending - done;
      for (unsigned i = 0; i < n; ++i) {
        vectors[i] = {Outgoing.data() + size_t(done + i) * Room, Sizes[done + i]};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &Targets[done + i];
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      }
      const int sent = sendmmsg(Socket, messages, n, 0);
      if (sent <= 0) {
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          pollfd pfd{Socket, POLLOUT, 0};
          poll(&pfd, 1, 10);
          continue;
        }
        ++done;  // a datagram the kernel refuses is dropped
        continue;
      }
      done += unsigned(sent);
    }
    Pending = 0;
  }

  void SendCommand(TPlayer& p, uint32_t id, int16_t code, size_t size,
                   const std::vector<uint8_t>& payload = {}) {
    uint8_t* out = Reserve(p.Address, size);
    PutLE16(out, MAGIC_COMMAND);
    PutLE16(out + 2, uint16_t(code));
    PutLE32(out + 4, p.ConnectionID);
    PutLE32(out + 8, id);
    PutLE32(out + 12, ++p.CommandSequence);
    std::memcpy(out + CommandHeaderSize, payload.data(),
                std::min(payload.size(), size - CommandHeaderSize));
    PutLE32(out + CommandChecksumOffset, PacketChecksum(out, size, CommandChecksumOffset));
  }

  bool Valid(const uint8_t* data, size_t size, size_t checksumOffset) {
    return PacketChecksum(data, size, checksumOffset) == GetLE32(data + checksumOffset);
  }

  TPlayer* Known(const uint8_t* data, uint32_t& id, const sockaddr_in& from) {
    id = GetLE32(data + 8);
    if (id == 0 || id >= Players.size() || !Players[id].Used) return nullptr;
    TPlayer& p = Players[id];
    if (GetLE32(data + 4) != p.ConnectionID) return nullptr;
    p.Address = from;
    p.LastReceiveMs = Now;
    return &p;
  }

  void Take(const uint8_t* data, size_t size, const sockaddr_in& from) {
    if (size < 16) return;
    uint32_t id = 0;
    switch (GetLE16(data)) {
      case MAGIC_VOICEC2S: {
        TPlayer* p = Known(data, id, from);
        if (p == nullptr || data[2] != 0) return;  // own channel only
        Relay(*p, id, data, size);
        return;
      }
      case MAGIC_COMMAND: {
        if (size < CommandHeaderSize || !Valid(data, size, CommandChecksumOffset)) return;
        TPlayer* p = Known(data, id, from);
        if (p == nullptr) return;
        uint8_t* ack = Reserve(p->Address, AckPacketSize);
        PutLE16(ack, MAGIC_ACK);
        PutLE16(ack + 2, GetLE16(data + 16));
        PutLE32(ack + 4, p->ConnectionID);
        PutLE32(ack + 8, id);
        PutLE32(ack + 12, GetLE32(data + 12));
        if (GetLE32(data + 12) != p->CommandExpected) return;
        ++p->CommandExpected;
        const int16_t code = int16_t(GetLE16(data + 2));
        if (code == cmd::CMD_cs_LoginStep3 && size >= TLoginStep3Layout::SubChannel) {
          Enter(*p, id, GetTextN(data + TLoginStep3Layout::Channel, ShortTextSize));
        } else if (code == cmd::CMD_cs_PlayerQuit) {
          Remove(id);
        }
        return;
      }
      case MAGIC_MAINTENANCE: {
        if (size < MaintenanceHeaderSize || !Valid(data, size, MaintenanceChecksumOffset)) return;
        const uint16_t type = GetLE16(data + 2);
        if (type == MAINT_LOGINREQUEST && size >= LoginRequestShortSize && GetLE32(data + 4) == 0) {
          Login(data, size, from);
          return;
        }
        TPlayer* p = Known(data, id, from);
        if (p == nullptr || type != MAINT_PING) return;
        uint8_t* pong = Reserve(p->Address, PongSize);
        PutLE16(pong, MAGIC_MAINTENANCE);
        PutLE16(pong + 2, MAINT_PONG);
        PutLE32(pong + 4, p->ConnectionID);
        PutLE32(pong + 8, id);
        PutLE32(pong + 12, ++p->MaintenanceSequence);
        PutLE32(pong + TPongLayout::PingSequence, GetLE32(data + 12));
        PutLE32(pong + 16, PacketChecksum(pong, PongSize, MaintenanceChecksumOffset));
        return;
      }
      default:
        return;  // acks need no answer: own commands are sent once
    }
  }

  void Login(const uint8_t* data, size_t size, const sockaddr_in& from) {
    const uint32_t id = NextID();
    TPlayer& p = Players[id];
    p = TPlayer{};
    p.Used = true;
    p.ConnectionID = (id * 2654435761u) & 0xFFFFFF;
    p.Address = from;
    p.LastReceiveMs = Now;
    p.NickName = size >= LoginRequestSize
                     ? GetTextN(data + TLoginRequestLayout::NickName, ShortTextSize)
                     : "";
    ++Count;
    uint8_t* reply = Reserve(from, LoginReplySize);
    PutLE16(reply, MAGIC_MAINTENANCE);
    PutLE16(reply + 2, MAINT_LOGINREPLY);
    PutLE32(reply + 8, id);
    PutLE32(reply + 12, ++p.MaintenanceSequence);
    using Out = TLoginReplyLayout;
    PutTextN(reply + Out::ServerName, ShortTextSize, "yardstick");
    PutTextN(reply + Out::ServerPlatform, ShortTextSize, "Linux");
    PutLE32(reply + Out::Result, LOGIN_ACCEPTED);
    PutLE32(reply + Out::MaxUsers, 65535);
    PutLE32(reply + Out::ConnectionID, p.ConnectionID);
    PutLE32(reply + Out::PlayerID, id);
    PutLE32(reply + MaintenanceChecksumOffset,
            PacketChecksum(reply, LoginReplySize, MaintenanceChecksumOffset));
  }

  void Enter(TPlayer& p, uint32_t id, const std::string& channelName) {
    auto [it, added] = ChannelIDs.try_emplace(channelName, int32_t(Members.size()));
    if (added) Members.emplace_back();
    p.Channel = it->second;
    Members[size_t(p.Channel)].push_back(id);
    std::vector<uint8_t> list(LoginStep4Size - CommandHeaderSize, 0);
    uint8_t* channel = list.data() + FirstSlot;
    PutLE32(list.data() + ListCount, 1);
    PutLE32(channel + TChannelRecordLayout::ChannelID, uint32_t(p.Channel));
    PutLE32(channel + TChannelRecordLayout::Parent, uint32_t(-1));
    PutTextN(channel + TChannelRecordLayout::Name, ShortTextSize, channelName);
    SendCommand(p, id, cmd::CMD_sc_LoginStep4, LoginStep4Size, list);
    std::vector<uint8_t> players(LoginStep5Size - CommandHeaderSize, 0);
    uint8_t* player = players.data() + FirstSlot;
    PutLE32(players.data() + ListCount, 1);
    PutLE32(player + TPlayerEntryLayout::PlayerID, id);
    PutLE32(player + TPlayerEntryLayout::ChannelID, uint32_t(p.Channel));
    PutTextN(player + TPlayerEntryLayout::NickName, ShortTextSize, p.NickName);
    SendCommand(p, id, cmd::CMD_sc_LoginStep5, LoginStep5Size, players);
    SendCommand(p, id, cmd::CMD_sc_LoginStep6, LoginStep6Size);
  }

  // Each frame goes to every other player of the speaker's channel.
  void Relay(const TPlayer& speaker, uint32_t speakerID, const uint8_t* data, size_t size) {
    if (speaker.CommandSequence < 3 || size <= VoiceC2SHeaderSize) return;  // not entered yet
    const size_t voice = size - VoiceC2SHeaderSize;
    if (VoiceS2CHeaderSize + voice > Room) return;
    for (uint32_t id : Members[size_t(speaker.Channel)]) {
      if (id == speakerID) continue;
      TPlayer& r = Players[id];
      uint8_t* out = Reserve(r.Address, VoiceS2CHeaderSize + voice);
      PutLE16(out, MAGIC_VOICES2C);
      out[2] = data[2];
      out[3] = data[3];
      PutLE32(out + 4, r.ConnectionID);
      PutLE32(out + 8, id);
      r.VoiceCounter = r.VoiceCounter >= 65535 ? 0 : uint16_t(r.VoiceCounter + 1);
      PutLE16(out + 12, r.VoiceCounter);
      std::memcpy(out + 14, data + 14, 2);
      PutLE32(out + 16, speakerID);
      std::memcpy(out + 20, data + 12, 2);
      std::memcpy(out + VoiceS2CHeaderSize, data + VoiceC2SHeaderSize, voice);
    }
  }

  uint32_t NextID() {
    if (Count == 0) Players.assign(1, TPlayer{});
    Players.emplace_back();
    return uint32_t(Players.size() - 1);
  }

  void Remove(uint32_t id) {
    TPlayer& p = Players[id];
    if (!p.Used) return;
    if (p.CommandSequence >= 3) {
      auto& members = Members[size_t(p.Channel)];
      for (size_t i = 0; i < members.size(); ++i) {
        if (members[i] != id) continue;
        members[i] = members.back();
        members.pop_back();
        break;
      }
    }
    p.Used = false;
    --Count;
  }

  void Sweep() {
    Now = NowMs();
    for (uint32_t id = 1; id < Players.size(); ++id)
      if (Players[id].Used && Now - Players[id].LastReceiveMs > SilenceMs) Remove(id);
  }

  int Socket;
  int64_t Now = 0;
  std::vector<uint8_t> Incoming;
  std::vector<uint8_t> Outgoing;
  size_t Sizes[SendCapacity] = {};
  sockaddr_in Targets[SendCapacity] = {};
  unsigned Pending = 0;
  std::vector<TPlayer> Players = std::vector<TPlayer>(1);
  uint32_t Count = 0;
  std::unordered_map<std::string, int32_t> ChannelIDs;
  std::vector<std::vector<uint32_t>> Members;
};

}  // namespace

int Main(int argc, char** argv) {
  int port = 0;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.rfind("--port=", 0) == 0)
      port = std::atoi(argv[i] + 7);
    else if (a.rfind("--seconds=", 0) == 0)
      seconds = std::atof(argv[i] + 10);
    else {
      std::fprintf(stderr, "usage: yardstick --port=N [--seconds=S]\n");
      return 2;
    }
  }
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "yardstick: --port=N is required\n");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = [](int) { Stop = 1; };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int buffer = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(uint16_t(port));
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "yardstick: cannot bind 127.0.0.1:%d: %s\n", port, std::strerror(errno));
    return 1;
  }
  TYardstick relay(fd);
  relay.Run(seconds > 0 ? NowMs() + int64_t(seconds * 1000) : 0);
  close(fd);
  return 0;
}

}  // namespace vx::yardstick

int main(int argc, char** argv) {
  return vx::yardstick::Main(argc, argv);
}
