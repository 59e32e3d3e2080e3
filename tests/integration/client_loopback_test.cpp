// The protocol client against a tiny scripted server on 127.0.0.1: login,
// login steps, reliable commands both ways (a dropped transmission, a
// repeat, a stray, damaged and misdirected datagrams), voice, pings and quit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/Client.h"
#include "client/Vxcli.h"
#include "common/ByteOrder.h"
#include "common/TextN.h"
#include "domain/clientobject_u.h"

namespace vx::client {
namespace {

constexpr uint32_t Cid = 0x00ABCDEF;
constexpr uint32_t Pid = 7;
constexpr int WaitMs = 3000;

std::vector<uint8_t> Bytes(const TPacket& p) {
  return {p.Data(), p.Data() + p.Size()};
}

// A UDP socket on 127.0.0.1 that plays the server's side by script. Pings are
// answered wherever they arrive, as the server does.
class TFakeServer {
 public:
  TFakeServer() {
    Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (Socket < 0 || bind(Socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(Socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot open the fake server's socket");
    Port = ntohs(address.sin_port);
  }
  ~TFakeServer() { close(Socket); }

  std::optional<TPacket> ReceiveAny(int timeoutMs) {
    pollfd descriptor{Socket, POLLIN, 0};
    if (poll(&descriptor, 1, timeoutMs) <= 0) return {};
    uint8_t buffer[8192];
    socklen_t length = sizeof Peer;
    const ssize_t n =
        recvfrom(Socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&Peer), &length);
    if (n < 0) return {};
    return TPacket(buffer, size_t(n));
  }

  // The next datagram that is neither a ping nor a late copy of a client
  // command that was already acknowledged (those are acknowledged again).
  std::optional<TPacket> Receive(int timeoutMs = WaitMs) {
    for (int i = 0; i < 1000; ++i) {
      auto p = ReceiveAny(timeoutMs);
      if (p && p->IsCommand() && p->IsValid() && p->CommandHeader().Sequence() <= ClientAcked) {
        Send(EncodeAck(*p, Cid, Pid));
        continue;
      }
      if (!p || !p->IsMaintenance() || p->MaintenanceHeader().Type() != MAINT_PING) return p;
      EXPECT_TRUE(p->IsValid());
      EXPECT_EQ(p->ConnectionID(), Cid);
      EXPECT_EQ(p->PlayerID(), Pid);
      PingSequences.push_back(p->MaintenanceHeader().Sequence());
      TPacket pong = TPacket::WithMagic(MAGIC_MAINTENANCE, 24);
      auto h = pong.MaintenanceHeader();
      h.SetType(MAINT_PONG);
      h.SetConnectionID(Cid);
      h.SetPlayerID(Pid);
      h.SetSequence(++MaintenanceSequence);
      PutLE32(pong.Data() + 20, p->MaintenanceHeader().Sequence());
      pong.SealChecksum();
      Send(pong);
      Pongs.push_back(Bytes(pong));
    }
    return {};
  }

  void Send(const TPacket& p) { SendBytes(Bytes(p)); }
  void SendBytes(const std::vector<uint8_t>& bytes) {
    sendto(Socket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&Peer),
           sizeof Peer);
  }

  // A sealed command of this connection.
  static TPacket Command(int16_t code, uint32_t sequence, std::vector<uint8_t> payload = {},
                         uint16_t resend = 0) {
    TPacket p = MakeCommand(code, payload);
    auto h = p.CommandHeader();
    h.SetConnectionID(Cid);
    h.SetPlayerID(Pid);
    h.SetSequence(sequence);
    h.SetResendCount(resend);
    p.SealChecksum();
    return p;
  }

  // Sends and expects the client's ack with the same sequence and resend count.
  void SendAndExpectAck(const TPacket& command) {
    Send(command);
    auto ack = Receive();
    TPacket copy = command;
    ASSERT_TRUE(ack && ack->IsAck()) << "no ack for command " << copy.CommandHeader().Sequence();
    EXPECT_EQ(Bytes(*ack), Bytes(EncodeAck(copy, Cid, Pid)));
  }

  // Takes the next client command, which must carry the sequence, and
  // acknowledges it (unless told to drop it).
  std::optional<TPacket> ExpectCommand(uint32_t sequence, bool acknowledge = true) {
    auto p = Receive();
    if (!p || !p->IsCommand() || !p->IsValid()) return {};
    EXPECT_EQ(p->CommandHeader().Sequence(), sequence);
    EXPECT_EQ(p->ConnectionID(), Cid);
    EXPECT_EQ(p->PlayerID(), Pid);
    if (acknowledge) {
      Send(EncodeAck(*p, Cid, Pid));
      ClientAcked = std::max(ClientAcked, p->CommandHeader().Sequence());
    }
    return p;
  }

  int Socket = -1;
  uint16_t Port = 0;
  sockaddr_in Peer{};
  uint32_t MaintenanceSequence = 2;  // of the login reply
  uint32_t ClientAcked = 0;
  std::vector<uint32_t> PingSequences;
  std::vector<std::vector<uint8_t>> Pongs;
};

TPacket CannedLoginReply(int32_t result = LOGIN_ACCEPTED) {
  TPacket p = TPacket::WithMagic(MAGIC_MAINTENANCE, 372);
  uint8_t* d = p.Data();
  PutLE16(d + 2, MAINT_LOGINREPLY);
  PutLE32(d + 8, Pid);
  PutLE32(d + 12, 2);
  if (result != LOGIN_ACCEPTED) {  // a refusal carries the result and the ids only
    PutLE32(d + 88, uint32_t(result));
    PutLE32(d + 108, Cid);
    PutLE32(d + 112, Pid);
    p.SealChecksum();
    return p;
  }
  PutTextN(d + 20, 29, "Loopback");
  PutTextN(d + 50, 29, "Linux");
  PutLE16(d + 80, 2);
  PutLE16(d + 84, 18);
  PutLE16(d + 86, 31);
  PutLE32(d + 88, 1);
  PutLE32(d + 104, 32);
  PutLE32(d + 108, Cid);
  PutLE32(d + 112, Pid);
  PutTextN(d + 116, 255, "Welcome to the loop");
  p.SealChecksum();
  return p;
}

std::vector<uint8_t> Text(const std::string& s) {
  return {s.begin(), s.end()};
}

TVoiceFrame Whisper() {
  TVoiceFrame frame;
  frame.Target = VOICETARGET_WHISPER;
  frame.PassThrough1 = 0x5A;
  frame.PassThrough2 = 0x1234;
  frame.Whisper = {{WHISPER_PLAYER, 3}, {WHISPER_CHANNEL, 1}};
  frame.Data = {9, 8, 7, 6};
  return frame;
}

// The server's side of the whole conversation.
void ServerScript(TFakeServer& server) {
  // Login request and canned reply.
  auto request = server.Receive();
  ASSERT_TRUE(request && request->IsValid());
  ASSERT_EQ(request->Size(), 180u);
  EXPECT_EQ(request->MaintenanceHeader().Type(), MAINT_LOGINREQUEST);
  EXPECT_EQ(request->MaintenanceHeader().Sequence(), 1u);
  EXPECT_EQ(GetTextN(request->Data() + 150, 29), "Tester");
  server.Send(CannedLoginReply());

  // Login steps.
  auto step3 = server.ExpectCommand(1);
  ASSERT_TRUE(step3);
  EXPECT_EQ(step3->CommandHeader().Code(), cmd::CMD_cs_LoginStep3);
  EXPECT_EQ(GetTextN(step3->Data() + 26, 29), "Lobby");
  std::vector<uint8_t> channels(4 + 3 * 176);
  PutLE32(channels.data(), 2);
  PutLE32(channels.data() + 4, 1);
  PutLE32(channels.data() + 4 + 8, uint32_t(-1));
  PutTextN(channels.data() + 4 + 12, 29, "Lobby");
  PutLE32(channels.data() + 180, 2);
  PutLE32(channels.data() + 180 + 8, 1);
  PutTextN(channels.data() + 180 + 12, 29, "Corner");
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_LoginStep4, 1, channels));
  std::vector<uint8_t> players(4 + 10 * 46);
  PutLE32(players.data(), 1);
  TClientObject self;
  self.PlayerID = Pid;
  self.ChannelID = 1;
  self.NickName = "Tester";
  self.WritePlayerEntry(players.data() + 4);
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_LoginStep5, 2, players));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_LoginStep6, 3));

  // Datagrams the client must ignore: no class, too short, a damaged
  // checksum, a foreign session key, another player's id. These carry resend
  // count 9, so an ack for one would not pass for the ack of the good 4.
  server.SendBytes({0x01, 0x02, 0x03});
  server.SendBytes({0xF0, 0xBE, 0, 0, 0, 0, 0, 0, 0, 0});
  TPacket damaged = TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 4, Text("bad"), 9);
  damaged.Data()[24] ^= 1;
  server.Send(damaged);
  TPacket foreign = TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 4, Text("foreign"), 9);
  foreign.CommandHeader().SetConnectionID(Cid + 1);
  foreign.SealChecksum();
  server.Send(foreign);
  TPacket misdirected = TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 4, Text("other"), 9);
  misdirected.CommandHeader().SetPlayerID(Pid + 1);
  misdirected.SealChecksum();
  server.Send(misdirected);

  // Commands: A, B, B again (its ack "lost"), D ahead of C, C, D.
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 4, Text("A")));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 5, Text("B")));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 5, Text("B"), 1));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 7, Text("D")));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 6, Text("C")));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyTextMessage, 7, Text("D")));

  // Voice both ways.
  auto voice = server.Receive();
  ASSERT_TRUE(voice);
  EXPECT_EQ(Bytes(*voice), Bytes(EncodeVoice(Whisper(), Cid, Pid, 1)));
  TPacket relayed = TPacket::WithMagic(MAGIC_VOICES2C, 22);
  auto rh = relayed.VoiceS2CHeader();
  rh.SetTarget(1);
  rh.SetConnectionID(Cid);
  rh.SetPlayerID(Pid);
  rh.SetVoiceCounter(1);
  rh.SetSenderPlayerID(3);
  rh.SetSenderCounter(77);
  relayed.Append("\x01\x02", 2);
  server.Send(relayed);

  // The client's commands: the first transmission of 2 is "lost"; 3 must not
  // come before 2 is acknowledged.
  auto lost = server.ExpectCommand(2, false);
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->CommandHeader().ResendCount(), 0);
  auto resent = server.ExpectCommand(2);
  ASSERT_TRUE(resent);
  EXPECT_EQ(resent->CommandHeader().ResendCount(), 1);
  EXPECT_EQ(std::vector<uint8_t>(resent->Data() + 24, resent->Data() + resent->Size()),
            std::vector<uint8_t>(lost->Data() + 24, lost->Data() + lost->Size()));
  auto next = server.ExpectCommand(3);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->CommandHeader().ResendCount(), 0);

  // While the client idles it pings; then raw bytes, then the quit.
  auto raw = server.Receive();
  ASSERT_TRUE(raw);
  EXPECT_EQ(Bytes(*raw), (std::vector<uint8_t>{0xF0, 0xBE, 0x00}));
  auto quit = server.ExpectCommand(4);
  ASSERT_TRUE(quit);
  EXPECT_EQ(quit->CommandHeader().Code(), cmd::CMD_cs_PlayerQuit);
  std::vector<uint8_t> left(40);
  PutLE32(left.data(), Pid);
  PutLE16(left.data() + 4, 1);
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyPlayerLeftScope, 8, left));
}

TEST(ClientLoopback, LoginCommandsVoicePingsAndQuit) {
  TFakeServer server;
  TClientSettings settings;
  settings.Session.ResendTimeoutMs = 40;
  settings.Session.PingIntervalMs = 100;
  TClient client(settings);
  client.Open("127.0.0.1", server.Port);
  std::jthread script([&] { ServerScript(server); });

  TLoginRequest request;
  request.NickName = "Tester";
  auto reply = client.Login(request, WaitMs);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Result, LOGIN_ACCEPTED);
  EXPECT_EQ(reply->ServerName, "Loopback");
  EXPECT_EQ(reply->WelcomeMessage, "Welcome to the loop");
  EXPECT_EQ(client.Session().ConnectionID(), Cid);
  EXPECT_EQ(client.Session().PlayerID(), Pid);

  TLoginStep3 step3;
  step3.Channel = "Lobby";
  EXPECT_TRUE(client.EnterServer(step3, WaitMs));
  ASSERT_EQ(client.Channels().size(), 2u);
  EXPECT_EQ(client.Channels()[1].Name, "Corner");
  EXPECT_EQ(client.Channels()[1].Parent, 1);
  ASSERT_EQ(client.Players().size(), 1u);
  EXPECT_EQ(client.Players()[0].NickName, "Tester");

  // A, B, C, D exactly once each and in order.
  std::string delivered;
  for (int i = 0; i < 4; ++i) {
    auto command = client.NextCommand(WaitMs);
    ASSERT_TRUE(command) << "after " << delivered;
    delivered.append(reinterpret_cast<const char*>(command->Data() + 24), command->Size() - 24);
  }
  EXPECT_EQ(delivered, "ABCD");
  EXPECT_FALSE(client.NextCommand(150));
  EXPECT_EQ(client.Session().Counters().Repeats, 2u) << "B again and D ahead of C";

  // Everything received is on record, the ignored datagrams included.
  size_t noClass = 0, invalidCommands = 0;
  for (const TLogEntry& e : client.Log()) {
    if (e.Outgoing) continue;
    noClass += e.Class == TPacketClass::None;
    invalidCommands += e.Class == TPacketClass::Command && !e.Valid;
  }
  EXPECT_EQ(noClass, 2u);
  EXPECT_EQ(invalidCommands, 1u);
  EXPECT_EQ(client.Log().front().Bytes, Bytes(EncodeLoginRequest(request, 1)));

  EXPECT_EQ(client.SendVoice(Whisper()), 1);
  auto voice = client.WaitVoice(WaitMs);
  ASSERT_TRUE(voice);
  EXPECT_EQ(voice->SenderPlayerID, 3u);
  EXPECT_EQ(voice->SenderCounter, 77);
  EXPECT_EQ(voice->Data, (std::vector<uint8_t>{1, 2}));

  client.SendCommand(cmd::CMD_cs_InfoSendText, Text("first"));
  client.SendCommand(cmd::CMD_cs_InfoSendText, Text("second"));
  EXPECT_TRUE(client.WaitCommandsAcked(WaitMs));
  EXPECT_GE(client.Session().Counters().Resends, 1u);

  client.WaitFor([] { return false; }, 350);
  client.SendRaw(std::vector<uint8_t>{0xF0, 0xBE, 0x00});
  EXPECT_TRUE(client.Quit(WaitMs));
  script.join();

  // Pings went out numbered from 3 without gaps; the pongs taken in are on
  // record byte for byte.
  ASSERT_GE(server.PingSequences.size(), 3u);
  for (size_t i = 0; i < server.PingSequences.size(); ++i)
    EXPECT_EQ(server.PingSequences[i], 3 + i);
  size_t pongs = 0;
  for (const TLogEntry& e : client.Log()) {
    if (e.Outgoing || e.Class != TPacketClass::Maintenance || e.Code != MAINT_PONG) continue;
    ++pongs;
    EXPECT_NE(std::find(server.Pongs.begin(), server.Pongs.end(), e.Bytes), server.Pongs.end());
  }
  EXPECT_GE(pongs, 2u);
  EXPECT_EQ(client.Session().Counters().Pongs, pongs);
  EXPECT_FALSE(client.Session().Active());
}

struct TChannelSpec {
  int32_t ID;
  int32_t Parent;
  std::string Name;
};

// The payload of one CMD_sc_LoginStep4 (count and three slots).
std::vector<uint8_t> ChannelSlots(const std::vector<TChannelSpec>& channels) {
  std::vector<uint8_t> payload(4 + 3 * 176);
  PutLE32(payload.data(), uint32_t(channels.size()));
  for (size_t i = 0; i < channels.size(); ++i) {
    uint8_t* slot = payload.data() + 4 + i * 176;
    PutLE32(slot, uint32_t(channels[i].ID));
    PutLE32(slot + 8, uint32_t(channels[i].Parent));
    PutTextN(slot + 12, 29, channels[i].Name);
  }
  return payload;
}

void VxcliServerScript(TFakeServer& server) {
  auto request = server.Receive();
  ASSERT_TRUE(request && request->Size() == 180u);
  EXPECT_EQ(GetTextN(request->Data() + 90, 29), "") << "anonymous";
  EXPECT_EQ(GetTextN(request->Data() + 120, 29), "srvpw");
  EXPECT_EQ(GetTextN(request->Data() + 150, 29), "Operator");
  server.Send(CannedLoginReply());

  auto step3 = server.ExpectCommand(1);
  ASSERT_TRUE(step3);
  EXPECT_EQ(GetTextN(step3->Data() + 26, 29), "Lobby");
  EXPECT_EQ(GetTextN(step3->Data() + 56, 29), "Corner");
  server.SendAndExpectAck(
      TFakeServer::Command(cmd::CMD_sc_LoginStep4, 1,
                           ChannelSlots({{1, -1, "Lobby"}, {3, -1, "Music"}, {2, 1, "Corner"}})));
  server.SendAndExpectAck(
      TFakeServer::Command(cmd::CMD_sc_LoginStep4, 2, ChannelSlots({{4, 3, "Jazz"}})));
  std::vector<uint8_t> players(4 + 10 * 46);
  PutLE32(players.data(), 2);
  TClientObject self, other;
  self.PlayerID = Pid;
  self.ChannelID = 2;
  self.NickName = "Operator";
  other.PlayerID = 3;
  other.ChannelID = 4;
  other.NickName = "Other\n";
  self.WritePlayerEntry(players.data() + 4);
  other.WritePlayerEntry(players.data() + 4 + 46);
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_LoginStep5, 3, players));
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_LoginStep6, 4));

  auto quit = server.ExpectCommand(2);
  ASSERT_TRUE(quit);
  EXPECT_EQ(quit->CommandHeader().Code(), cmd::CMD_cs_PlayerQuit);
  std::vector<uint8_t> left(40);
  PutLE32(left.data(), Pid);
  server.SendAndExpectAck(TFakeServer::Command(cmd::CMD_sc_NotifyPlayerLeftScope, 5, left));
}

TEST(ClientLoopback, VxcliShowsVerdictTreeAndPlayers) {
  TFakeServer server;
  const std::string target = "127.0.0.1:" + std::to_string(server.Port);
  {
    std::jthread script([&] { VxcliServerScript(server); });
    std::ostringstream out, err;
    EXPECT_EQ(RunVxcli({target, "--nick", "Operator", "--server-password", "srvpw", "--channel",
                        "Lobby", "--subchannel", "Corner", "--timeout", "3"},
                       out, err),
              VXCLI_OK)
        << err.str();
    const std::string text = out.str();
    EXPECT_NE(text.find("Login: 1 (accepted)\nServer: Loopback\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Version: 2.0.18.31\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Welcome: Welcome to the loop\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Channels (4):\n"
                        "  Lobby [id 1]\n"
                        "    Corner [id 2]\n"
                        "  Music [id 3]\n"
                        "    Jazz [id 4]\n"
                        "Players (2):\n"
                        "  Operator [id 7] in Corner\n"
                        "  Other? [id 3] in Jazz\n"
                        "Quit.\n"),
              std::string::npos)
        << text;
  }
  {
    std::jthread script([&] {
      auto request = server.Receive();
      ASSERT_TRUE(request);
      server.Send(CannedLoginReply(LOGIN_NICKNAME_IN_USE));
    });
    std::ostringstream out, err;
    EXPECT_EQ(RunVxcli({target, "--timeout", "3"}, out, err), VXCLI_REFUSED);
    EXPECT_EQ(out.str(), "Login: -4 (nickname in use)\n");
  }
  // Nobody answers: the wait ends after the time-out.
  std::ostringstream out, err;
  EXPECT_EQ(RunVxcli({target, "--timeout", "1"}, out, err), VXCLI_NOANSWER);
  EXPECT_NE(err.str().find("no answer"), std::string::npos);
  EXPECT_EQ(RunVxcli({target, "--login", "admin"}, out, err), VXCLI_USAGE);
  EXPECT_EQ(RunVxcli({"localhost"}, out, err), VXCLI_USAGE);
}

}  // namespace
}  // namespace vx::client
