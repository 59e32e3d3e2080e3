// Logins and voice while the web interface changes the server's settings
// over and over: the protocol threads read the settings in force while the
// web interface replaces them and restarts the server. Meant for the
// ThreadSanitizer build as much as for the behaviour it checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ServerFixture.h"
#include "WebInterfaceClient.h"
#include "admin/webinterface_u.h"
#include "host/LoginThrottle.h"

namespace vx::testing {
namespace {

using namespace std::chrono_literals;

class SettingsRaceTest : public ServerFixture {
 protected:
  void TearDown() override {
    Web.reset();
    ServerFixture::TearDown();
  }

  void StartWeb() {
    StartServer();
    AddAccount("admin", "secret", 9);
    const auto docs = Dir / "httpdocs";
    std::filesystem::create_directories(docs);
    for (const char* page : {"login.html", "index.html", "ok_box.html", "error_box.html"}) {
      std::ofstream(docs / page) << page;
    }
    Web = std::make_unique<TWebInterface>(Manager);
    Web->Throttle = &Throttle;
    ASSERT_TRUE(Web->Start(0, docs.string(), "127.0.0.1"));
  }

  static std::string SettingsForm(const std::string& name, int type, int maxUsers) {
    return "SERVERNAME=" + name + "&SERVERWELCOMEMESSAGE=" + name +
           "&SERVERMAXUSERS=" + std::to_string(maxUsers) +
           "&SERVERPASSWORD=&SERVERTYPE=" + std::to_string(type) +
           "&SERVERREGISTERTYPE=1&SERVERREGISTERCHANNELMODE=2&CODECCelp51=1&CODECCelp63=1"
           "&CODECGSM148=1&CODECGSM164=1&CODECWindowsCELP52=1";
  }

  // Logs two players in and lets the first speak to the channel; whether
  // the second heard it (a restart may close both connections meanwhile).
  bool TalkOnce(int timeoutMs) {
    Clients.clear();
    client::TClient& speaker = NewClient();
    client::TClient& listener = NewClient();
    if (Join(speaker, "speaker") != 1 || Join(listener, "listener") != 1) return false;
    client::TVoiceFrame frame;
    frame.Data = {1, 2, 3, 4, 5, 6, 7, 8};
    speaker.SendVoice(frame);
    return PumpAll([&] { return listener.Session().TakeVoice().has_value(); }, timeoutMs);
  }

  TLoginThrottle Throttle;
  std::unique_ptr<TWebInterface> Web;
};

TEST_F(SettingsRaceTest, LoginsAndVoiceGoOnWhileTheWebInterfaceChangesSettings) {
  StartWeb();
  std::atomic<bool> posting = true;
  std::atomic<int> posted = 0;
  std::thread poster([&] {
    TWebClient web(Web->BoundPort());
    web.Get("/login.html");
    web.Post("/LOGIN.VXCMD", "username=admin&password=secret&serverport=" + std::to_string(Port));
    const auto end = std::chrono::steady_clock::now() + 3s;
    for (int i = 0; i < 40 && std::chrono::steady_clock::now() < end; ++i) {
      const bool odd = i % 2 != 0;
      web.Post("/SETTINGS_SERVER.VXCMD", SettingsForm(odd ? "Odd" : "Even", odd ? 2 : 1, 12));
      ++posted;
    }
    posting = false;
  });
  int rounds = 0;
  while (posting && rounds < 200) {
    TalkOnce(100);
    ++rounds;
    // Every login answered meanwhile shows one of the settings as a whole.
    for (const auto& c : Clients) {
      const auto& reply = c->LastLoginReply();
      if (!reply || reply->Result != 1) continue;
      if (reply->ServerName == "Odd") {
        EXPECT_EQ(reply->ServerType, SERVERTYPE_PUBLIC | SERVERTYPE_RUNNING);
        EXPECT_EQ(reply->WelcomeMessage, "Odd");
      } else if (reply->ServerName == "Even") {
        EXPECT_EQ(reply->ServerType, SERVERTYPE_CLAN | SERVERTYPE_RUNNING);
        EXPECT_EQ(reply->WelcomeMessage, "Even");
      } else {
        EXPECT_EQ(reply->ServerName, "Vorlantix Server");  // before the first change
      }
    }
  }
  poster.join();
  EXPECT_GT(posted.load(), 1);
  EXPECT_GT(rounds, 0);

  // The last change took effect with the restart that followed it.
  TWebClient web(Web->BoundPort());
  web.Get("/login.html");
  web.Post("/LOGIN.VXCMD", "username=admin&password=secret&serverport=" + std::to_string(Port));
  web.Post("/SETTINGS_SERVER.VXCMD", SettingsForm("Final", 1, 7));
  EXPECT_TRUE(TalkOnce(2000));
  const auto& reply = Clients.front()->LastLoginReply();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->ServerName, "Final");
  EXPECT_EQ(reply->WelcomeMessage, "Final");
  EXPECT_EQ(reply->MaxUsers, 7u);
  EXPECT_EQ(reply->ServerType, SERVERTYPE_CLAN | SERVERTYPE_RUNNING);
  EXPECT_EQ(Manager.FindServerByName(Section)->Settings()->ServerName, "Final");
}

}  // namespace
}  // namespace vx::testing
