// The query port over real TCP on 127.0.0.1, against in-process virtual
// servers: greeting and line handling, lookups and selection, logins and
// accounts, settings with restart, adding and stopping servers, and the
// limits that protect the port.
#include "admin/tcpquery_u.h"

#include <poll.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "QueryClient.h"
#include "ServerFixture.h"
#include "common/ByteOrder.h"
#include "common/TextN.h"
#include "domain/scopenotify_u.h"

namespace vx::testing {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TcpQueryTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    Query = std::make_unique<TTCPQuery>(Manager);
    Query->SetLoginThrottle(Throttle);
  }
  void TearDown() override {
    Query.reset();
    ServerFixture::TearDown();
  }

  void StartQuery() { ASSERT_TRUE(Query->Start(0, "127.0.0.1")); }
  std::unique_ptr<TQueryClient> Connect(const char* from = "127.0.0.1") {
    auto c = std::make_unique<TQueryClient>(Query->Port(), from);
    EXPECT_TRUE(c->Connected);
    EXPECT_TRUE(c->Greeted());
    return c;
  }
  // A second running server in a section of its own; the registry keeps it.
  std::weak_ptr<TServerObject> StartOther(const std::string& section, int32_t& port) {
    port = FreeUdpPort();
    auto server = std::make_shared<TServerObject>(Manager);
    EXPECT_TRUE(server->Start(section, port, Ini.get()));
    return server;
  }
  // Logs in with an account that has the super-server-admin right.
  void LogIn(TQueryClient& c) {
    if (!BossAdded) AddAccount("boss", "Secret", 8);
    BossAdded = true;
    ASSERT_EQ(c.Ask("login boss Secret"), Lines{"OK"});
  }
  std::string Err(const std::string& message) { return "ERROR, " + message; }
  std::string P(int32_t port) { return std::to_string(port); }

  // The tests' wrong logins count against their own throttle only.
  TLoginThrottle Throttle;
  std::unique_ptr<TTCPQuery> Query;
  bool BossAdded = false;
};

TEST_F(TcpQueryTest, GreetingLinesAndHelp) {
  StartServer();
  StartQuery();
  TQueryClient c(Query->Port());
  ASSERT_TRUE(c.Connected);
  EXPECT_EQ(c.ReadBytes(5), "[VX]\n");

  // LF and CR LF lines, empty lines ignored, commands without regard to case.
  c.Send("\n\r\nsl\r\n");
  EXPECT_EQ(c.Reply(), (Lines{P(Port), "OK"}));
  EXPECT_EQ(c.Ask("SL"), (Lines{P(Port), "OK"}));
  EXPECT_EQ(c.Ask("sL  extra   words"), (Lines{P(Port), "OK"}));
  EXPECT_EQ(c.Ask("Ver"), (Lines{"2.0.18.31 Linux", "OK"}));
  for (const char* junk : {"slx", "sl\t", " sl", "bogus", "msgallx hi"}) {
    EXPECT_EQ(c.Ask(junk), Lines{"error"}) << junk;
  }
  // A CR inside a line is no line end for the reader.
  EXPECT_EQ(c.Ask("ver\r\r"), Lines{"error"});

  const char* const help[][2] = {{"help", "this helpfile"},
                                 {"sl", "serverlist"},
                                 {"pl", "playerlist"},
                                 {"cl", "channellist"},
                                 {"ver", "version"},
                                 {"sel", "select"},
                                 {"si", "server information"},
                                 {"msg", "message to server"},
                                 {"msgall", "message to all servers"},
                                 {"start", "start server"},
                                 {"stop", "stop server"},
                                 {"restart", "restarts a server"},
                                 {"addserver", "adds a server"},
                                 {"set", "set a server variable"},
                                 {"login", "login to server"},
                                 {"adduser", "adds a user to server"},
                                 {"deluser", "deletes a user from server"},
                                 {"changeuserpw", "changes password of a user"},
                                 {"changeuserrights", "changes rights of a user"},
                                 {"listuser", "display online users of a server"},
                                 {"quit", "close connection"}};
  std::string expected = "command overview: \n";
  for (const auto& [word, text] : help) {
    expected += word + std::string(20 - std::strlen(word), ' ') + ": " + text + "\n";
  }
  expected += "OK\n";
  c.Line("HELP");
  EXPECT_EQ(c.ReadBytes(expected.size()), expected);

  // Commands after "quit" on the same read are not run.
  c.Send("QUIT\nver\n");
  EXPECT_TRUE(c.ClosedSilently(2000));
}

TEST_F(TcpQueryTest, LookupSelectionAndListings) {
  StartServer();
  int32_t otherPort = 0;
  StartOther("server_cfg Other", otherPort);
  StartQuery();
  auto c = Connect();
  EXPECT_EQ(c->Ask("sl"), (Lines{P(Port), P(otherPort), "OK"}));

  // Every failure of "sel" leaves no server selected, so "si" asks for a port.
  EXPECT_EQ(c->Ask("sel " + P(otherPort)), Lines{"OK"});
  EXPECT_EQ(c->Ask("sel"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("si"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("sel 8x"), Lines{Err("convert error")});
  EXPECT_EQ(c->Ask("sel 0"), Lines{Err("invalid server port")});
  EXPECT_EQ(c->Ask("sel -3"), Lines{Err("invalid server port")});
  EXPECT_EQ(c->Ask("sel 1"), Lines{Err("serverport not found")});
  EXPECT_EQ(c->Ask("pl"), Lines{Err("paramcount invalid")});

  // A selection wins over the port given to a lookup.
  EXPECT_EQ(c->Ask("sel " + P(otherPort)), Lines{"OK"});
  const Lines info = c->Ask("si " + P(Port));
  const Lines keys = {"server_id=",
                      "server_name=",
                      "server_platform=",
                      "server_welcomemessage=",
                      "server_webpost_linkurl=",
                      "server_password=",
                      "server_udpport=",
                      "server_maxusers=",
                      "server_codeccelp51=",
                      "server_codeccelp63=",
                      "server_codecgsm148=",
                      "server_codecgsm164=",
                      "server_codecwindowscelp52=",
                      "server_packetssend=",
                      "server_bytessend=",
                      "server_packetsreceived=",
                      "server_bytesreceived=",
                      "server_uptime=",
                      "server_currentusers=",
                      "server_currentchannels=",
                      "OK"};
  ASSERT_EQ(info.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(info[i].rfind(keys[i], 0), 0u) << info[i];
  EXPECT_EQ(info[0], "server_id=server_cfg Other");
  EXPECT_EQ(info[5], "server_password=0");
  EXPECT_EQ(info[6], "server_udpport=" + P(otherPort));
  EXPECT_EQ(info[8], "server_codeccelp51=-1");
  EXPECT_EQ(info[18], "server_currentusers=0");
  EXPECT_EQ(c->Ask("pl " + P(Port)), Lines{"OK"});

  // Channel lines; a line break in a channel name cannot forge reply lines.
  WaitChannelsLoaded();
  {
    TLockGuard<TMutex> players(Server->Players.Lock);
    TLockGuard<TChannels> lock(*Server->Channels);
    auto rec = std::make_unique<TChannelRec>();
    rec->Name = "evil\r\nOK";
    rec->Topic = "a\ttopic";
    rec->Password = "pw";
    rec->MaxUsers = 7;
    ASSERT_GE(Server->Channels->AddChannel(std::move(rec)), 0);
  }
  EXPECT_EQ(c->Ask("sel " + P(Port)), Lines{"OK"});
  Lines channels = c->Ask("cl");
  size_t count = 0;
  {
    TLockGuard<TChannels> lock(*Server->Channels);
    count = Server->Channels->Count();
  }
  ASSERT_EQ(channels.size(), count + 1);
  EXPECT_EQ(channels.back(), "OK");
  bool found = false;
  for (const std::string& line : channels) {
    if (line.find("\t7\tevil  OK\t") == std::string::npos) continue;
    found = true;
    EXPECT_EQ(line.substr(line.size() - 10), "\t1\ta topic") << line;
  }
  EXPECT_TRUE(found);
}

TEST_F(TcpQueryTest, PlayersMessagesAndLogin) {
  StartServer();
  int32_t otherPort = 0;
  StartOther("server_cfg Other", otherPort);
  AddAccount("plain", "pw", 1);
  StartQuery();
  auto c = Connect();
  client::TClient& alice = NewClient();
  ASSERT_EQ(Join(alice, "alice"), 1);

  Lines players = c->Ask("pl " + P(Port));
  ASSERT_EQ(players.size(), 2u);
  std::vector<std::string> columns;
  for (size_t i = 0, j; i < players[0].size(); i = j + 1) {
    j = players[0].find('\t', i);
    ASSERT_NE(j, std::string::npos) << "every column ends with a TAB";
    columns.push_back(players[0].substr(i, j - i));
  }
  ASSERT_EQ(columns.size(), 16u);
  EXPECT_EQ(columns[0], "1");
  EXPECT_EQ(columns[13], "0.0.0.0");
  EXPECT_EQ(columns[14], "alice");

  // msg needs a login; "login" checks its parameter count after logging out.
  EXPECT_EQ(c->Ask("msg " + P(Port) + " hi"), Lines{Err("not logged in")});
  EXPECT_EQ(c->Ask("msgall hi"), Lines{Err("not logged in")});
  EXPECT_EQ(c->Ask("login boss"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("login plain pw"), Lines{Err("invalid login")});  // no right 8
  LogIn(*c);
  EXPECT_EQ(c->Ask("login boss secret"), Lines{Err("invalid login")});  // case matters
  EXPECT_EQ(c->Ask("stop " + P(otherPort)), Lines{Err("not logged in")});
  EXPECT_EQ(c->Ask("login boss Secret"), Lines{"OK"});
  players = c->Ask("pl " + P(Port));
  ASSERT_EQ(players.size(), 2u);
  EXPECT_NE(players[0].find("\t127.0.0.1\talice\t\t"), std::string::npos) << players[0];

  // Without a selection the port word is part of the text.
  EXPECT_EQ(c->Ask("msg " + P(Port) + " hello   there"), Lines{"OK"});
  auto text = alice.WaitCommand(cmd::CMD_sc_NotifyTextMessage, 3000);
  ASSERT_TRUE(text);
  ASSERT_EQ(text->Size(), 314u);
  EXPECT_EQ(GetTextN(text->Data() + 24, 255), P(Port) + " hello there");
  EXPECT_EQ(GetLE32(text->Data() + 280), 255u);
  EXPECT_EQ(GetTextN(text->Data() + 284, 29), "SERVER");

  // One "OK" per server, then one more; the selection is kept.
  EXPECT_EQ(c->Ask("sel " + P(otherPort)), Lines{"OK"});
  EXPECT_EQ(c->AskLines("msgall to all", 3), (Lines{"OK", "OK", "OK"}));
  text = alice.WaitCommand(cmd::CMD_sc_NotifyTextMessage, 3000);
  ASSERT_TRUE(text);
  EXPECT_EQ(GetTextN(text->Data() + 24, 255), "to all");
  EXPECT_EQ(c->Ask("si")[0], "server_id=server_cfg Other");
}

TEST_F(TcpQueryTest, LoginGuessesAreThrottledAndLogged) {
  // Short waits: two free failures, then 100 ms, then 200 ms between answers.
  TLoginThrottle::TLimits limits;
  limits.FreeFailures = 2;
  limits.FirstDelay = std::chrono::milliseconds(100);
  limits.MaxDelay = std::chrono::milliseconds(200);
  TLoginThrottle quick(limits);
  Query->SetLoginThrottle(quick);
  CaptureLog();
  StartServer();
  AddAccount("boss", "Secret", 8);
  StartQuery();
  // Two connections of one address send six guesses each at once: they
  // share one queue, so the last ten of the twelve answers come 100 to
  // 200 ms apart (unthrottled, all twelve took a few milliseconds).
  auto a = Connect();
  auto b = Connect();
  std::string guesses;
  for (int i = 0; i < 6; ++i) guesses += "login boss guess" + std::to_string(i) + "\n";
  const auto start = std::chrono::steady_clock::now();
  a->Send(guesses);
  b->Send(guesses);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(a->Reply(), Lines{Err("invalid login")});
    EXPECT_EQ(b->Reply(), Lines{Err("invalid login")});
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  // The right password still gets in.
  EXPECT_EQ(a->Ask("login boss Secret"), Lines{"OK"});

  const std::string log = LogText();
  EXPECT_GE(LogCount(",WARNING,All,TCPQUERY,\tTTCPQuery.Login: invalid login of boss from "
                     "127.0.0.1\n"),
            10u)
      << log;
  EXPECT_EQ(LogCount(",WARNING,Info,TCPQUERY,\tTTCPQuery.Login: boss logged in from "
                     "127.0.0.1\n"),
            1u);
  EXPECT_EQ(log.find("guess"), std::string::npos) << "tried passwords are never logged";
}

TEST_F(TcpQueryTest, AccountCommands) {
  StartServer();
  int32_t otherPort = 0;
  StartOther("server_cfg Other", otherPort);
  StartQuery();
  auto c = Connect();
  EXPECT_EQ(c->Ask("listuser"), Lines{Err("not logged in")});
  LogIn(*c);
  EXPECT_EQ(c->Ask("adduser a b 0 0"), Lines{Err("no server selected")});
  EXPECT_EQ(c->Ask("sel " + P(Port)), Lines{"OK"});
  EXPECT_EQ(c->Ask("adduser newbie pw 1"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("adduser newbie pw 1 0"), Lines{"OK"});
  EXPECT_EQ(c->Ask("adduser NEWBIE other 0 0"), Lines{Err("duplicate user")});
  EXPECT_EQ(c->Ask("listuser"), (Lines{"boss", "newbie", "OK"}));
  TZeveViraUsers users(*Manager.Database());
  auto account = users.GetUser(Section, "newbie", false);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->LogInPassWord, "pw");
  EXPECT_EQ(account->Priviliges, 1);
  EXPECT_EQ(account->RegisteredBy, "Server");

  EXPECT_EQ(c->Ask("changeuserpw ghost a b"), Lines{Err("password dont match")});
  EXPECT_EQ(c->Ask("changeuserpw ghost a a"), Lines{Err("user not found")});
  EXPECT_EQ(c->Ask("changeuserpw newbie a"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("changeuserpw newbie fresh fresh"), Lines{"OK"});
  EXPECT_EQ(c->Ask("changeuserrights ghost 1 1"), Lines{Err("user not found")});
  EXPECT_EQ(c->Ask("changeuserrights newbie 0 1"), Lines{"OK"});
  account = users.GetUser(Section, "newbie", false);
  ASSERT_TRUE(account);
  EXPECT_EQ(account->LogInPassWord, "fresh");
  EXPECT_EQ(account->Priviliges, 8);
  auto second = Connect();
  EXPECT_EQ(second->Ask("login newbie fresh"), Lines{"OK"});

  EXPECT_EQ(c->Ask("deluser"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("deluser newbie"), Lines{"OK"});
  EXPECT_EQ(c->Ask("deluser newbie"), Lines{Err("user not found")});
  EXPECT_FALSE(users.GetUser(Section, "newbie", false));
  // A server without any account key.
  EXPECT_EQ(c->Ask("sel " + P(otherPort)), Lines{"OK"});
  EXPECT_EQ(c->Ask("listuser"), Lines{Err("no users avaible")});
}

TEST_F(TcpQueryTest, SetSavesAndRestarts) {
  StartServer();
  StartQuery();
  auto c = Connect();
  EXPECT_EQ(c->Ask("set maxuser 5"), Lines{Err("not logged in")});
  LogIn(*c);
  EXPECT_EQ(c->Ask("set maxuser 5"), Lines{Err("no server selected")});
  EXPECT_EQ(c->Ask("sel " + P(Port)), Lines{"OK"});
  EXPECT_EQ(c->Ask("set maxuser"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(c->Ask("set maxuser 70000"), Lines{Err("convert error")});
  EXPECT_EQ(c->Ask("set maxuser -1"), Lines{Err("convert error")});
  EXPECT_EQ(c->Ask("set nosuchthing 1"), Lines{Err("parameters invalid")});
  EXPECT_EQ(Server->Settings()->ServerMaxUsers, 12);
  const double started = Server->StartTime.Value;

  EXPECT_EQ(c->Ask("SET MaxUser 20"), Lines{"OK"});
  EXPECT_EQ(c->Ask("set servername  My   Fine Server"), Lines{"OK"});
  EXPECT_EQ(c->Ask("set serverpassword Secret"), Lines{"OK"});
  // The restarts re-read the section, so the values went through the file.
  EXPECT_EQ(Manager.FindServerByName(Section), Server);
  EXPECT_GT(Server->StartTime.Value, started);
  EXPECT_EQ(Server->Settings()->ServerMaxUsers, 20);
  EXPECT_EQ(Server->Settings()->ServerName, "My Fine Server");
  EXPECT_EQ(Server->Settings()->ServerPassword, "Secret");
  const std::string ini = ReadFile(Dir / "server.ini");
  EXPECT_NE(ini.find("ServerName=My Fine Server"), std::string::npos);
  EXPECT_NE(ini.find("ServerMaxUsers=20"), std::string::npos);
  Lines info = c->Ask("si");
  ASSERT_GT(info.size(), 7u);
  EXPECT_EQ(info[1], "server_name=My Fine Server");
  EXPECT_EQ(info[5], "server_password=1");
  EXPECT_EQ(info[7], "server_maxusers=20");
  EXPECT_EQ(c->Ask("set serverpassword #CLEAR#"), Lines{"OK"});
  EXPECT_EQ(c->Ask("si")[5], "server_password=0");
  EXPECT_EQ(c->Ask("set serverwelcomemsg Hi  all"), Lines{"OK"});
  EXPECT_EQ(Server->Settings()->ServerWelcomeMessage, "Hi all");

  // "restart" of a server whose section no longer starts is reported.
  EXPECT_EQ(c->Ask("restart"), Lines{"OK"});
  TIniFile file(ProcessSettings().IniPath);
  ASSERT_TRUE(file.Load());
  file.WriteInteger(Section, "ServerMaxUsers", 70000);
  ASSERT_TRUE(file.Save());
  EXPECT_EQ(c->Ask("restart"), Lines{Err("unable to initialize server")});
  EXPECT_EQ(Manager.FindServerByName(Section), nullptr);
  EXPECT_EQ(c->Ask("si"), Lines{Err("serverport not found")});
}

TEST_F(TcpQueryTest, AddServerStopAndStaleReferences) {
  StartServer();
  int32_t otherPort = 0;
  std::weak_ptr<TServerObject> other = StartOther("server_cfg Other", otherPort);
  StartQuery();
  auto admin = Connect();
  auto watcher = Connect();
  LogIn(*admin);
  EXPECT_EQ(watcher->Ask("login boss Secret"), Lines{"OK"});
  EXPECT_EQ(watcher->Ask("sel " + P(otherPort)), Lines{"OK"});

  EXPECT_EQ(admin->Ask("addserver Extra"), Lines{Err("paramcount invalid")});
  EXPECT_EQ(admin->Ask("addserver Extra port"), Lines{Err("parameters invalid")});
  EXPECT_EQ(admin->Ask("addserver Extra " + P(Port)), Lines{Err("serverport already running")});
  const int32_t extraPort = FreeUdpPort();
  // "server_cfg Test" runs already.
  EXPECT_EQ(admin->Ask("addserver Test " + P(extraPort)),
            Lines{Err("unable to initialize server")});
  EXPECT_EQ(Manager.ServerList().size(), 2u);
  EXPECT_EQ(admin->Ask("addserver Extra " + P(extraPort)), Lines{"OK"});
  EXPECT_EQ(admin->Ask("si")[0], "server_id=server_cfg Extra");
  EXPECT_EQ(admin->Ask("sl"), (Lines{P(Port), P(otherPort), P(extraPort), "OK"}));
  EXPECT_EQ(watcher->Ask("sl"), (Lines{P(Port), P(otherPort), "OK"}));  // its own snapshot
  TIniFile file(ProcessSettings().IniPath);
  ASSERT_TRUE(file.Load());
  EXPECT_EQ(file.ReadString("Servers", "0", ""), "server_cfg Extra");
  EXPECT_EQ(file.ReadInteger("server_cfg Extra", "ServerUDPPort", 0), extraPort);

  // Stopping releases the server; the other session's selection and
  // snapshot entry are gone with it, and nothing acts on it any more.
  EXPECT_EQ(admin->Ask("sel " + P(otherPort)), Lines{"OK"});
  EXPECT_EQ(admin->Ask("stop"), Lines{"OK"});
  EXPECT_TRUE(other.expired());
  EXPECT_EQ(watcher->Ask("si"), Lines{Err("serverport not found")});
  EXPECT_EQ(watcher->Ask("msg hi"), Lines{Err("serverport not found")});
  EXPECT_EQ(watcher->Ask("listuser"), Lines{Err("no server selected")});
  EXPECT_EQ(watcher->Ask("set maxuser 3"), Lines{Err("no server selected")});
  EXPECT_EQ(watcher->Ask("sl"), (Lines{P(Port), "OK"}));
  EXPECT_EQ(watcher->AskLines("msgall hi", 2), (Lines{"OK", "OK"}));
  EXPECT_EQ(watcher->Ask("sel " + P(otherPort)), Lines{Err("serverport not found")});
}

TEST_F(TcpQueryTest, LimitsAndStop) {
  StartServer();
  StartQuery();
  {
    // 8 connections from one address: its next is closed without a
    // greeting, while other addresses still get in, up to 64 in all.
    std::vector<std::unique_ptr<TQueryClient>> many;
    for (int i = 0; i < 8; ++i) many.push_back(Connect());
    TQueryClient refused(Query->Port());
    EXPECT_TRUE(refused.ClosedSilently(2000));
    const std::vector<std::string> others = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",
                                             "127.0.0.6", "127.0.0.7", "127.0.0.8"};
    for (const std::string& from : others) {
      for (int i = 0; i < 8; ++i) many.push_back(Connect(from.c_str()));
    }
    TQueryClient full(Query->Port(), "127.0.0.9");
    EXPECT_TRUE(full.ClosedSilently(2000));
    many.erase(many.begin());
    EXPECT_TRUE(WaitUntil([&] { return Query->LineServer().ConnectionCount() <= 63; },
                          std::chrono::seconds(5)));
    auto again = Connect();
    EXPECT_EQ(again->Ask("ver").back(), "OK");
  }

  // Lines of 4096 bytes are read; longer ones are answered "error" and
  // dropped up to their line end, however they arrive.
  Query->Stop();
  Query->LineServer().IdleTimeoutMs = 300;
  StartQuery();
  auto c = Connect();
  EXPECT_EQ(c->Ask("sl" + std::string(4094, ' ')), (Lines{P(Port), "OK"}));
  EXPECT_EQ(c->Ask("sl" + std::string(4094, ' ') + "\r"), (Lines{P(Port), "OK"}));
  EXPECT_EQ(c->Ask("sl" + std::string(4095, ' ')), Lines{"error"});
  for (int i = 0; i < 10; ++i) c->Send(std::string(3000, 'x'));
  c->Send("\nver\n");
  EXPECT_EQ(c->Reply(), Lines{"error"});
  EXPECT_EQ(c->Reply(), (Lines{"2.0.18.31 Linux", "OK"}));

  // Activity keeps a connection open; silence closes it.
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(c->Ask("ver").size(), 2u);
  }
  const auto quiet = std::chrono::steady_clock::now();
  EXPECT_TRUE(c->ClosedSilently(3000));
  EXPECT_GE(std::chrono::steady_clock::now() - quiet, std::chrono::milliseconds(250));

  // A client that never reads its replies holds up nobody, and a stop
  // still ends its connection at once.
  Query->Stop();
  Query->LineServer().IdleTimeoutMs = 10 * 60 * 1000;
  StartQuery();
  auto stuck = Connect();
  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += "help\n";
  stuck->Send(flood);
  auto other = Connect();
  EXPECT_EQ(other->Ask("sl"), (Lines{P(Port), "OK"}));
  const auto stopping = std::chrono::steady_clock::now();
  Query->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
  EXPECT_EQ(Query->LineServer().ConnectionCount(), 0);
  EXPECT_TRUE(other->ClosedSilently(2000));
}

}  // namespace
}  // namespace vx::testing
