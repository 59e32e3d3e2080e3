// The server list poster against local HTTP sinks: one form post per server
// and address per round with the fields in order, https lists, no stall on a
// silent list, and a prompt end on a stop request.
#include "admin/webpost_u.h"

#include <gtest/gtest.h>

#include <chrono>
#include <shared_mutex>
#include <thread>

#include "../unit/net/HttpSink.h"
#include "../unit/net/TlsSink.h"
#include "ServerFixture.h"

namespace vx::testing {
namespace {

// Splits and decodes a form body.
std::vector<std::pair<std::string, std::string>> DecodeForm(const std::string& body) {
  const auto decode = [](std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '+') {
        out += ' ';
      } else if (text[i] == '%' && i + 2 < text.size()) {
        out += char(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  };
  std::vector<std::pair<std::string, std::string>> fields;
  std::string_view rest = body;
  while (!rest.empty()) {
    const std::string_view pair = rest.substr(0, rest.find('&'));
    rest.remove_prefix(std::min(pair.size() + 1, rest.size()));
    const size_t equals = pair.find('=');
    EXPECT_NE(equals, std::string_view::npos) << pair;
    fields.emplace_back(decode(pair.substr(0, equals)), decode(pair.substr(equals + 1)));
  }
  return fields;
}

std::string Field(const std::vector<std::pair<std::string, std::string>>& fields,
                  const std::string& name) {
  for (const auto& [n, v] : fields) {
    if (n == name) return v;
  }
  return "<missing>";
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

class WebPostTest : public ServerFixture {
 protected:
  // A second server in section "server_cfg Second" on a port of its own.
  std::shared_ptr<TServerObject> StartSecond() {
    Ini->WriteInteger("server_cfg Second", "ServerUDPPort", FreeUdpPort());
    Ini->WriteInteger("server_cfg Second", "ServerType", 2);
    auto second = std::make_shared<TServerObject>(Manager);
    EXPECT_TRUE(second->Start("server_cfg Second", -1, Ini.get()));
    return second;
  }
};

TEST_F(WebPostTest, RoundPostsEveryServerToEachAddressWithTheFieldsInOrder) {
  THttpSink list;
  THttpSink link;
  Setting("ServerName", "Post & Test");
  Setting("ServerPassword", "secret");
  Setting("ServerMaxUsers", 20);
  Setting("WebPost_LinkURL", link.Url("/link.php?id=7"));
  StartServer();
  const auto second = StartSecond();
  client::TLoginRequest alice;
  alice.NickName = "alice";
  alice.PassWord = "secret";
  ASSERT_EQ(Join(NewClient(), alice), 1);
  Manager.WebPost.PostURL = "  " + list.Url("/list.php") + "\t";
  Manager.WebPost.AdminEmail = "op@example.org";
  Manager.WebPost.ISPName = "Home Net";
  Manager.MainConfig.TCPQueryPort = 40001;

  // A round posts one request after the other and returns once each was
  // answered, so what it sent has arrived when it returns.
  TWebPost poster(Manager);
  poster.PostingRound();

  // The list hears of both servers in registry order, the link of the first
  // only.
  ASSERT_TRUE(list.WaitRequests(2, 3000));
  ASSERT_TRUE(link.WaitRequests(1, 3000));
  const auto toList = list.Requests();
  const auto toLink = link.Requests();
  ASSERT_EQ(toList.size(), 2u);
  ASSERT_EQ(toLink.size(), 1u);
  EXPECT_EQ(toList[0].RequestLine, "POST /list.php HTTP/1.1");
  EXPECT_EQ(toLink[0].RequestLine, "POST /link.php?id=7 HTTP/1.1");
  EXPECT_EQ(toList[0].Headers.at("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(toList[0].Body, toLink[0].Body);

  const auto first = DecodeForm(toList[0].Body);
  std::vector<std::string> names;
  for (const auto& field : first) names.push_back(field.first);
  const std::vector<std::string> expected = {"server_adminemail",    "server_isplinkurl",
                                             "server_ispname",       "server_ispcountry",
                                             "server_platform",      "server_version_major",
                                             "server_version_minor", "server_version_release",
                                             "server_version_build", "server_port",
                                             "server_name",          "server_uptime",
                                             "server_password",      "server_type1",
                                             "server_type2",         "clients_current",
                                             "clients_maximum",      "channels_current",
                                             "server_linkurl",       "server_queryport"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(Field(first, "server_adminemail"), "op@example.org");
  EXPECT_EQ(Field(first, "server_isplinkurl"), "na");
  EXPECT_EQ(Field(first, "server_ispname"), "Home Net");
  EXPECT_EQ(Field(first, "server_ispcountry"), "Earth");
  EXPECT_EQ(Field(first, "server_platform"), "Linux");
  EXPECT_EQ(Field(first, "server_version_major") + "." + Field(first, "server_version_minor") +
                "." + Field(first, "server_version_release") + "." +
                Field(first, "server_version_build"),
            "2.0.18.31");
  EXPECT_EQ(Field(first, "server_port"), std::to_string(Port));
  EXPECT_EQ(Field(first, "server_name"), "Post & Test");
  EXPECT_LE(std::stoll(Field(first, "server_uptime")), 60);
  EXPECT_EQ(Field(first, "server_password"), "1");
  EXPECT_EQ(Field(first, "server_type1"), "clan");
  EXPECT_EQ(Field(first, "server_type2"), "freeware");
  EXPECT_EQ(Field(first, "clients_current"), "1");
  EXPECT_EQ(Field(first, "clients_maximum"), "20");
  EXPECT_EQ(Field(first, "channels_current"), "1");
  EXPECT_EQ(Field(first, "server_linkurl"), link.Url("/link.php?id=7"));
  EXPECT_EQ(Field(first, "server_queryport"), "40001");

  const auto other = DecodeForm(toList[1].Body);
  EXPECT_EQ(Field(other, "server_port"), std::to_string(second->Settings()->ServerUDPPort));
  EXPECT_EQ(Field(other, "server_password"), "0");
  EXPECT_EQ(Field(other, "server_type1"), "public");
  EXPECT_EQ(Field(other, "clients_current"), "0");
  EXPECT_EQ(Field(other, "server_linkurl"), "");

  // A link equal to the list address gets one post, not two; without a
  // "PostURL" only the link is posted to.
  Server->EditSettings([&](TServerSettings& s) { s.WebPost_LinkURL = list.Url("/list.php"); });
  poster.PostingRound();
  EXPECT_EQ(list.Requests().size(), 4u);
  Manager.WebPost.PostURL = "";
  poster.PostingRound();
  EXPECT_EQ(list.Requests().size(), 5u);
  EXPECT_EQ(link.Requests().size(), 1u);

  // Stopped servers are not announced.
  Manager.StopServers("");
  poster.PostingRound();
  EXPECT_EQ(list.Requests().size(), 5u);
  EXPECT_TRUE(poster.ServerFields(Section).empty());
}

TEST_F(WebPostTest, PostsReachAnHttpsListWhoseCertificateIsTrusted) {
  TTlsSink list(Dir);
  ASSERT_TRUE(list.Ready()) << "openssl s_server did not start";
  Setting("ServerName", "Over TLS");
  StartServer();
  Manager.WebPost.PostURL = list.Url("/list.php");
  TWebPost poster(Manager);
  poster.Client.CaFile = list.CertFile();
  poster.PostingRound();
  ASSERT_TRUE(list.WaitReceived("server_queryport=")) << list.Received();
  const std::string received = list.Received();
  EXPECT_NE(received.find("POST /list.php HTTP/1.1\r\n"), std::string::npos) << received;
  EXPECT_NE(received.find("Content-Type: application/x-www-form-urlencoded\r\n"),
            std::string::npos);
  EXPECT_NE(received.find("server_adminemail=na&"), std::string::npos);
  EXPECT_NE(received.find("&server_name=Over+TLS&"), std::string::npos);

  // A certificate that the system's store does not vouch for is refused.
  std::filesystem::create_directories(Dir / "other");
  TTlsSink stranger(Dir / "other");
  ASSERT_TRUE(stranger.Ready());
  THttpClient client;
  EXPECT_THROW(client.PostForm(stranger.Url("/"), {{"a", "1"}}), EHttpClient);
  EXPECT_EQ(stranger.Received().find("POST"), std::string::npos);
}

TEST_F(WebPostTest, SilentListNeitherStallsTheRoundNorTheStop) {
  THttpSink silent(THttpSink::OkAnswer, true);
  THttpSink link;
  Setting("WebPost_LinkURL", link.Url("/"));
  StartServer();
  Manager.WebPost.PostURL = silent.Url("/");

  // The round gives up on the silent list after the time-out and goes on.
  TWebPost poster(Manager);
  poster.Client.ReadTimeoutMs = 300;
  const auto start = std::chrono::steady_clock::now();
  poster.PostingRound();
  EXPECT_LT(ElapsedMs(start), 3000);
  EXPECT_EQ(silent.Requests().size(), 1u);
  EXPECT_EQ(link.Requests().size(), 1u);

  // The thread runs rounds after its wait; a stop during a request that
  // would wait 10 s ends it at once.
  TWebPost thread(Manager);
  thread.WaitMs = 50;
  thread.StepMs = 10;
  thread.Start();
  ASSERT_TRUE(silent.WaitRequests(2, 5000));
  const auto stopStart = std::chrono::steady_clock::now();
  thread.Stop();
  EXPECT_LT(ElapsedMs(stopStart), 300);
}

TEST_F(WebPostTest, ThreadPostsEveryPeriodAndStopsDuringAWait) {
  THttpSink list;
  StartServer();
  Manager.WebPost.PostURL = list.Url("/");

  TWebPost fast(Manager);
  fast.WaitMs = 30;
  fast.StepMs = 10;
  fast.Start();
  EXPECT_TRUE(list.WaitRequests(3, 5000));
  // The stop joins the thread: no round runs after it.
  fast.Stop();
  const size_t posted = list.Requests().size();

  // With the real period nothing is posted yet, and a stop ends the wait.
  TWebPost slow(Manager);
  EXPECT_EQ(slow.WaitMs, 150000);
  EXPECT_EQ(slow.StepMs, 250);
  slow.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // into its first wait
  const auto start = std::chrono::steady_clock::now();
  slow.Stop();
  EXPECT_LT(ElapsedMs(start), 300);
  EXPECT_EQ(list.Requests().size(), posted);

  // A round waits while another holds the settings lock exclusively.
  std::shared_mutex settingsLock;
  TWebPost locked(Manager);
  locked.SettingsLock = &settingsLock;
  std::thread round;
  {
    std::scoped_lock exclusive(settingsLock);
    round = std::thread([&] { locked.PostingRound(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(list.Requests().size(), posted);
  }
  round.join();
  EXPECT_EQ(list.Requests().size(), posted + 1);

  // Without servers a round posts nothing.
  Manager.StopServers("");
  TWebPost idle(Manager);
  idle.PostingRound();
  EXPECT_EQ(list.Requests().size(), posted + 1);
}

}  // namespace
}  // namespace vx::testing
