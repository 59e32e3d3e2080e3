// The live console of the web interface over real sockets: its actions on
// players, channels and servers with their refusals (rights, form token,
// unknown ids), the notices UDP players get from them, the log page and
// the live figures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "CommandsFixture.h"
#include "WebInterfaceClient.h"
#include "admin/webconsole_u.h"
#include "admin/webinterface_u.h"
#include "host/IniFile.h"

namespace vx::testing {
namespace {

namespace fs = std::filesystem;
using client::TClient;

class WebConsoleTest : public CommandsFixture {
 protected:
  void SetUp() override {
    CommandsFixture::SetUp();
    Docs = Dir / "httpdocs";
    fs::create_directories(Docs);
    for (const auto& [name, text] : std::vector<std::pair<const char*, const char*>>{
             {"login.html", "LOGIN%!LOGIN_FAILED!%"},
             {"index.html", "INDEX"},
             {"token.html", "%%FORM_TOKEN%%"},
             {"notice.html", "[%!CONSOLE_NOTICE!%]"},
             {"players.html", "%!CONSOLE_PLAYERS!%"},
             {"player.html", "%!CONSOLE_PLAYER!%"},
             {"channels.html", "%!CONSOLE_CHANNELS!%"},
             {"channel_edit.html", "%!CONSOLE_CHANNEL!%"},
             {"servers.html", "%!CONSOLE_SERVERS!%"},
             {"log.html", "%!CONSOLE_LOG!%"},
         }) {
      std::ofstream(Docs / name) << text;
    }
  }
  void TearDown() override {
    Web.reset();
    CommandsFixture::TearDown();
  }

  // The server with its channels, the web interface, and the accounts
  // "admin" (server admin and super server admin) and "super" (super
  // server admin only).
  void StartConsole() {
    CaptureLog();
    Start();
    AddAccount("admin", "secret", 9);
    AddAccount("super", "secret", 8);
    Web = std::make_unique<TWebInterface>(Manager);
    ASSERT_TRUE(Web->Start(0, Docs.string(), "127.0.0.1"));
  }

  std::unique_ptr<TWebClient> LogIn(const std::string& user = "admin") {
    auto c = std::make_unique<TWebClient>(Web->BoundPort());
    c->Get("/login.html");
    const TWebReply r = c->Post(
        "/LOGIN.VXCMD", "username=" + user + "&password=secret&serverport=" + std::to_string(Port));
    EXPECT_EQ(r.Header("Location"), "index.html");
    return c;
  }

  // Posts the action with the session's form token; the notice it left.
  std::string Act(TWebClient& c, const std::string& command, const std::string& form) {
    const std::string token = c.Get("/token.html").Body;
    const TWebReply r = c.Post("/" + command, "csrf=" + token + "&" + form);
    EXPECT_EQ(r.Status, 302) << command;
    return Notice(c);
  }
  // The text of the notice the last action left (once), or the page.
  std::string Notice(TWebClient& c) {
    const std::string body = c.Get("/notice.html").Body;
    std::smatch m;
    if (!std::regex_match(body, m, std::regex("\\[<div class=\"notice [^>]*>(.*)</div>\\]"))) {
      return body;
    }
    return m[1];
  }

  // The commands of the code that c got, the ids of its notices masked:
  // the subject's player id at offset 24 and the actor's at actorOffset.
  std::vector<std::vector<uint8_t>> Masked(TClient& c, int16_t code, int actorOffset = -1) {
    std::vector<std::vector<uint8_t>> out;
    for (const TPacket& p : Drain(c, code)) {
      std::vector<uint8_t> bytes(p.Data() + 24, p.Data() + p.Size());
      PutLE32(bytes.data(), 0);
      if (actorOffset >= 0) PutLE32(bytes.data() + actorOffset - 24, 0);
      out.push_back(std::move(bytes));
    }
    return out;
  }

  fs::path Docs;
  std::unique_ptr<TWebInterface> Web;
};

TEST_F(WebConsoleTest, KickAndMoveGivePlayersTheNoticesOfTheUdpCommands) {
  StartConsole();
  const int32_t room = AddChannel("Room");
  TClient& boss = EnterAdmin("boss");
  TClient& watcher = Enter("watcher");
  TClient& first = Enter("first");
  TClient& second = Enter("second");
  auto web = LogIn();

  // A kick by a server admin in the voice client, and one through the web.
  Send(boss, cmd::CMD_cs_PlayerKick,
       TPayload(PlayerKickSize).U32(24, Id(first)).Text(28, 29, "bye"));
  Settle(boss);
  const auto byUdp = Masked(watcher, cmd::CMD_sc_NotifyPlayerLeftScope, 30);
  EXPECT_EQ(Act(*web, "PLAYER_KICK.VXCMD", "player=" + std::to_string(Id(second)) + "&reason=bye"),
            "second was kicked from the server.");
  Settle(boss);
  const auto leftByWeb = Drain(watcher, cmd::CMD_sc_NotifyPlayerLeftScope);
  ASSERT_EQ(leftByWeb.size(), 1u);
  EXPECT_EQ(GetLE32(leftByWeb[0].Data() + 24), Id(second));
  EXPECT_EQ(GetLE32(leftByWeb[0].Data() + 30), 0u);  // nobody in the voice client did it
  std::vector<uint8_t> web0(leftByWeb[0].Data() + 24, leftByWeb[0].Data() + leftByWeb[0].Size());
  PutLE32(web0.data(), 0);
  ASSERT_EQ(byUdp.size(), 1u);
  EXPECT_EQ(web0, byUdp[0]);
  // The kicked player gets its own notice last and is gone.
  const auto own = second.WaitCommand(cmd::CMD_sc_NotifyPlayerLeftScope, 2000);
  ASSERT_TRUE(own);
  EXPECT_EQ(GetTextN(own->Data() + 34, 29), "bye");
  EXPECT_TRUE(PumpAll([&] { return PlayerCount() == 2; }, 3000));
  EXPECT_NE(LogText().find("admin from 127.0.0.1: PLAYER_KICK.VXCMD done: second was kicked"),
            std::string::npos);

  // A player's own switch, and the web's move of another player.
  TClient& third = Enter("third");
  TClient& fourth = Enter("fourth");
  Settle(third);
  Drain(watcher);
  Send(third, cmd::CMD_cs_PlayerChannelSwitch,
       TPayload(PlayerChannelSwitchSize).U32(24, room).Text(28, 29, ""));
  Settle(third);
  const auto switchByUdp = Masked(watcher, cmd::CMD_sc_NotifyPlayerSwitchedChannel);
  const auto flagsByUdp = Masked(watcher, cmd::CMD_sc_NotifyPlayerFlagsChanged);
  EXPECT_EQ(Act(*web, "PLAYER_MOVE.VXCMD",
                "player=" + std::to_string(Id(fourth)) + "&channel=" + std::to_string(room)),
            "fourth was moved to Room.");
  Settle(fourth);
  EXPECT_EQ(Masked(watcher, cmd::CMD_sc_NotifyPlayerSwitchedChannel), switchByUdp);
  EXPECT_EQ(Masked(watcher, cmd::CMD_sc_NotifyPlayerFlagsChanged), flagsByUdp);
  EXPECT_EQ(switchByUdp.size(), 1u);
  EXPECT_EQ(Player(fourth).ChannelID, room);
  EXPECT_TRUE(Await(fourth, cmd::CMD_sc_NotifyPlayerSwitchedChannel));
}

TEST_F(WebConsoleTest, PlayerActionsRefuseWhatTheRulesAndTheFormRefuse) {
  StartConsole();
  const int32_t guarded = AddChannel("Guarded", -1, 0, "pw", 0);
  TClient& target = Enter("target");
  TClient& watcher = Enter("watcher");
  auto admin = LogIn("admin");
  const std::string player = "player=" + std::to_string(Id(target));

  // Without the form token, with another one, or not as a post: nothing.
  EXPECT_EQ(admin->Post("/PLAYER_KICK.VXCMD", player).Header("Location"), "players.html");
  EXPECT_EQ(Notice(*admin),
            "Nothing was changed: the form was out of date or did not come from these pages; "
            "please try again.");
  admin->Post("/PLAYER_KICK.VXCMD", player + "&csrf=" + std::string(48, '0'));
  EXPECT_NE(Notice(*admin).find("the form was out of date"), std::string::npos);
  admin->Get("/PLAYER_KICK.VXCMD?" + player + "&csrf=" + admin->Get("/token.html").Body);
  EXPECT_EQ(Notice(*admin), "Nothing was changed: actions are sent as form posts.");
  EXPECT_EQ(PlayerCount(), 2u);
  EXPECT_NE(LogText().find("admin from 127.0.0.1: PLAYER_KICK.VXCMD refused: actions are sent"),
            std::string::npos);
  // Before login nothing of the console is reached.
  TWebClient stranger(Web->BoundPort());
  stranger.Get("/login.html");
  stranger.Post("/PLAYER_KICK.VXCMD", player);
  EXPECT_EQ(PlayerCount(), 2u);

  // Unknown ids and privileges.
  EXPECT_EQ(Act(*admin, "PLAYER_KICK.VXCMD", "player=4711"),
            "Nothing was changed: no player with that id is online (error -100).");
  EXPECT_EQ(Act(*admin, "PLAYER_MOVE.VXCMD", player + "&channel=4711"),
            "Nothing was changed: there is no channel with that id (error -102).");
  EXPECT_EQ(Act(*admin, "PLAYER_PRIVILEGE.VXCMD", player + "&set=channel&bit=9&action=grant"),
            "Nothing was changed: there is no such privilege or action.");

  // An account without the server-admin right acts as a player without
  // privileges would: the voice protocol's rules refuse it.
  auto super = LogIn("super");
  EXPECT_EQ(Act(*super, "PLAYER_KICK.VXCMD", player),
            "Nothing was changed: this needs channel operator, channel administrator or server "
            "administrator rights (error -1007).");
  EXPECT_EQ(Act(*super, "PLAYER_MOVE.VXCMD", player + "&channel=" + std::to_string(guarded)),
            "Nothing was changed: only a server administrator may do this (error -1000).");
  EXPECT_EQ(Act(*super, "PLAYER_PRIVILEGE.VXCMD", player + "&set=server&bit=0&action=grant"),
            "Nothing was changed: only a server administrator may do this (error -1000).");
  Settle(target);
  EXPECT_EQ(Player(target).ChannelID, 0);
  EXPECT_EQ(Player(target).Priviliges, 0);

  // A server admin moves past the password and the limit, grants voice
  // once (the second grant is refused), and kicks to the default channel.
  Settle(watcher);
  Drain(watcher);
  EXPECT_EQ(Act(*admin, "PLAYER_MOVE.VXCMD", player + "&channel=" + std::to_string(guarded)),
            "target was moved to Guarded.");
  EXPECT_EQ(Act(*admin, "PLAYER_PRIVILEGE.VXCMD", player + "&set=channel&bit=2&action=grant"),
            "target: Voice granted.");
  EXPECT_EQ(Act(*admin, "PLAYER_PRIVILEGE.VXCMD", player + "&set=channel&bit=2&action=grant"),
            "Nothing was changed: the player has voice already (error -1023).");
  Settle(target);
  const auto granted = Drain(watcher, cmd::CMD_sc_NotifyPlayerChannelPrivilegeChanged);
  ASSERT_EQ(granted.size(), 1u);
  EXPECT_EQ(GetLE32(granted[0].Data() + 24), Id(target));
  EXPECT_EQ(granted[0].Data()[29], 2);
  EXPECT_EQ(GetLE32(granted[0].Data() + 30), 0u);
  EXPECT_EQ(Act(*admin, "PLAYER_KICK_CHANNEL.VXCMD", player + "&reason=out"),
            "target was kicked to the default channel.");
  Settle(target);
  EXPECT_EQ(Player(target).ChannelID, 0);
  EXPECT_EQ(Drain(watcher, cmd::CMD_sc_NotifyPlayerKickedFromChannel).size(), 1u);

  // The pages: the list with the address for administrators, a player, and
  // words for a player who is not there.
  const std::string list = admin->Get("/players.html").Body;
  EXPECT_NE(list.find(">target</strong>"), std::string::npos);
  EXPECT_NE(list.find("127.0.0.1:"), std::string::npos);
  EXPECT_NE(admin->Get("/player.html?" + player).Body.find("PLAYER_KICK.VXCMD"), std::string::npos);
  EXPECT_NE(admin->Get("/player.html?player=4711").Body.find("There is no player with the id"),
            std::string::npos);
}

TEST_F(WebConsoleTest, ChannelActionsFollowTheChannelCommandsRules) {
  Setting("AllowCodecGSM164", 0);
  StartConsole();
  TClient& watcher = Enter("watcher");
  auto admin = LogIn("admin");
  auto super = LogIn("super");
  const std::string create = "name=Lounge&topic=Chat&description=Talk&maxusers=20&registered=1";

  EXPECT_EQ(Act(*super, "CHANNEL_CREATE.VXCMD", create),
            "Nothing was changed: only a server administrator may do this (error -1000).");
  EXPECT_EQ(Act(*admin, "CHANNEL_CREATE.VXCMD", create + "&codec=3"),
            "Nothing was changed: the server does not allow that codec (error -108).");
  EXPECT_EQ(Act(*admin, "CHANNEL_CREATE.VXCMD", create + "&password=pw&subchannels=1"),
            "The channel Lounge was created.");
  EXPECT_EQ(Act(*admin, "CHANNEL_CREATE.VXCMD", create),
            "Nothing was changed: a channel with that name exists there already (error -114).");
  EXPECT_EQ(Act(*admin, "CHANNEL_CREATE.VXCMD", "name=x&maxusers=lots"),
            "Nothing was changed: the player limit must be a number from 0 to 65535.");
  Settle(watcher);
  const auto created = Drain(watcher, cmd::CMD_sc_NotifyChannelCreated);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(GetLE32(created[0].Data() + 200), 0u);
  const int32_t lounge = GetLE32s(created[0].Data() + 24);
  TChannelRec rec = Channel(lounge);
  EXPECT_EQ(rec.Password, "pw");
  EXPECT_EQ(rec.Flags, CHANNEL_PASSWORD | CHANNEL_SUBCHANNELS);
  EXPECT_EQ(rec.MaxUsers, 20);
  EXPECT_EQ(Act(*admin, "CHANNEL_CREATE.VXCMD",
                "name=Corner&parent=" + std::to_string(lounge) + "&password=x"),
            "Nothing was changed: a sub-channel cannot have a password (error -120).");
  EXPECT_EQ(Act(*admin, "CHANNEL_CREATE.VXCMD", "name=Corner&parent=" + std::to_string(lounge)),
            "The channel Corner was created.");

  // A change: only what differs is announced; an empty password field
  // keeps the password, and removing it clears the flag.
  const std::string id = "channel=" + std::to_string(lounge);
  Settle(watcher);
  Drain(watcher);
  EXPECT_EQ(Act(*admin, "CHANNEL_CHANGE.VXCMD",
                id + "&name=Lobby&topic=Chat&description=Talk&maxusers=20&registered=1"
                     "&subchannels=1"),
            "The channel Lobby was saved.");
  Settle(watcher);
  EXPECT_EQ(Codes(Drain(watcher)), std::vector<int16_t>{cmd::CMD_sc_NotifyChannelNameChanged});
  EXPECT_EQ(Channel(lounge).Password, "pw");
  Act(*admin, "CHANNEL_CHANGE.VXCMD",
      id + "&name=Lobby&maxusers=20&registered=1&subchannels=1&removepassword=1");
  EXPECT_EQ(Channel(lounge).Password, "");
  EXPECT_EQ(Channel(lounge).Flags & CHANNEL_PASSWORD, 0);
  EXPECT_EQ(Act(*admin, "CHANNEL_CHANGE.VXCMD", "channel=0&name=Default&registered=1"),
            "Nothing was changed: the default channel can be neither deleted nor lose its "
            "default flag (error -117).");
  EXPECT_EQ(Act(*super, "CHANNEL_CHANGE.VXCMD", id + "&name=Mine&registered=1"),
            "Nothing was changed: this needs channel operator, channel administrator or server "
            "administrator rights (error -1007).");

  // Deleting: not with a player inside, not an unknown id; the tree goes
  // with its sub-channels, sub-channels first.
  MovePlayer(Id(watcher), lounge);
  EXPECT_EQ(Act(*admin, "CHANNEL_DELETE.VXCMD", id),
            "Nothing was changed: players are still in the channel (error -109).");
  MovePlayer(Id(watcher), 0);
  EXPECT_EQ(Act(*admin, "CHANNEL_DELETE.VXCMD", "channel=4711"),
            "Nothing was changed: there is no channel with that id (error -102).");
  Settle(watcher);
  Drain(watcher);
  EXPECT_EQ(Act(*admin, "CHANNEL_DELETE.VXCMD", id), "The channel Lobby was deleted.");
  Settle(watcher);
  EXPECT_EQ(Drain(watcher, cmd::CMD_sc_NotifyChannelDestroyed).size(), 2u);
  EXPECT_EQ(Channel(lounge).ChannelID, -999);

  const std::string tree = admin->Get("/channels.html").Body;
  EXPECT_NE(tree.find(">Default</a>"), std::string::npos);
  EXPECT_NE(tree.find("watcher</a>"), std::string::npos);
  EXPECT_NE(admin->Get("/channel_edit.html?" + id).Body.find("There is no channel with the id"),
            std::string::npos);
}

TEST_F(WebConsoleTest, ServerActionsShareTheQueryPortsOperations) {
  StartConsole();
  auto admin = LogIn();
  const int32_t port = FreeUdpPort();
  const std::string second = "server=server_cfg+Second";

  EXPECT_EQ(Act(*admin, "SERVER_ADD.VXCMD", "name=Second&port=" + std::to_string(port)),
            "The server server_cfg Second was added on UDP port " + std::to_string(port) +
                " and started.");
  EXPECT_EQ(Act(*admin, "SERVER_ADD.VXCMD", "name=Third&port=" + std::to_string(port)),
            "Nothing was changed: a running server uses that UDP port already.");
  EXPECT_EQ(Act(*admin, "SERVER_ADD.VXCMD", "name=Th[ird&port=1"),
            "Nothing was changed: the name must not be empty nor hold brackets, backslashes or "
            "control characters.");
  TIniFile ini(ProcessSettings().IniPath);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString("Servers", "0", ""), "server_cfg Second");
  ASSERT_TRUE(Manager.FindServerByName("server_cfg Second"));

  EXPECT_EQ(Act(*admin, "SERVER_STOP.VXCMD", second), "The server server_cfg Second was stopped.");
  EXPECT_FALSE(Manager.FindServerByName("server_cfg Second"));
  EXPECT_NE(admin->Get("/servers.html").Body.find("SERVER_START.VXCMD"), std::string::npos);
  EXPECT_EQ(Act(*admin, "SERVER_STOP.VXCMD", second),
            "Nothing was changed: there is no such server.");
  EXPECT_EQ(Act(*admin, "SERVER_START.VXCMD", second), "The server server_cfg Second was started.");
  EXPECT_EQ(Manager.FindServerByName("server_cfg Second")->Settings()->ServerUDPPort, port);
  EXPECT_EQ(Act(*admin, "SERVER_START.VXCMD", second),
            "Nothing was changed: the server is running already.");
  EXPECT_EQ(Act(*admin, "SERVER_START.VXCMD", "server=server_cfg+Nowhere"),
            "Nothing was changed: there is no such server.");
  EXPECT_EQ(Act(*admin, "SERVER_RESTART.VXCMD", second),
            "The server server_cfg Second was restarted; its players were disconnected.");
  // The server of this session stays up, and the session with it.
  EXPECT_EQ(Act(*admin, "SERVER_STOP.VXCMD", "server=server_cfg+Test"),
            "Nothing was changed: this session administers that server; sign in to another one "
            "to stop it.");
  EXPECT_TRUE(Manager.FindServerByName(Section));
  EXPECT_EQ(admin->Post("/SERVER_STOP.VXCMD", second).Status, 302);
  EXPECT_TRUE(Manager.FindServerByName("server_cfg Second"));  // no form token
}

TEST_F(WebConsoleTest, LogPageAndLiveFigures) {
  StartConsole();
  TClient& someone = Enter("someone");
  auto admin = LogIn();
  Act(*admin, "PLAYER_KICK.VXCMD", "player=4711");

  // The log, newest first, filtered by type and text; only the log file.
  std::string page = admin->Get("/log.html?type=WARNING&text=player_kick").Body;
  EXPECT_NE(page.find("Lines 1 to 1 of 1"), std::string::npos) << page;
  EXPECT_NE(page.find("PLAYER_KICK.VXCMD refused: no player with that id"), std::string::npos);
  page = admin->Get("/log.html?type=ERROR&text=player_kick&file=server.ini").Body;
  EXPECT_NE(page.find("No lines"), std::string::npos);
  EXPECT_EQ(page.find("[Main Config]"), std::string::npos);

  // The live figures: this moment's counters and the charts.
  const TWebReply live = admin->Get("/LIVE.VXCMD");
  EXPECT_EQ(live.Header("Content-Type"), "application/json");
  EXPECT_TRUE(std::regex_search(
      live.Body, std::regex("^\\{\"uptime\":\"00:00:[0-9]{2}\",\"users\":1,\"maxUsers\":12,"
                            "\"channels\":1,\"packetsSent\":[1-9][0-9]*,\"bytesSent\":[1-9]")))
      << live.Body;
  EXPECT_NE(live.Body.find("\"charts\":\"\\u003cdiv class=\\\"charts\\\"\\u003e"),
            std::string::npos);
  EXPECT_EQ(Web->Console().LiveFigures().WatchedCount(), 1u);
  EXPECT_TRUE(someone.Quit(10000));
  EXPECT_TRUE(PumpAll(
      [&] { return admin->Get("/LIVE.VXCMD").Body.find("\"users\":0") != std::string::npos; },
      10000));
}

}  // namespace
}  // namespace vx::testing
