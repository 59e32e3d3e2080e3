// Sessions of the HTTP server: random identifiers, the client address they
// belong to, expiry, the size cap and their variables.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "net/HttpSession.h"

namespace vx {
namespace {

TEST(HttpSession, IdentifiersAddressesExpiryAndCap) {
  std::set<std::string> ids;
  for (int i = 0; i < 200; ++i) {
    const std::string id = THTTPSessionList::NewSessionID();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{48}")));
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 200u);

  THTTPSessionList list;
  list.SetTimeoutMs(150);
  const auto first = list.CreateSession("127.0.0.1");
  EXPECT_EQ(list.GetSession(first->SessionID(), "127.0.0.1"), first);
  EXPECT_EQ(list.GetSession(first->SessionID(), "127.0.0.2"), nullptr);  // another address
  EXPECT_EQ(list.GetSession("unknown", "127.0.0.1"), nullptr);
  EXPECT_EQ(list.GetSession(first->SessionID(), "127.0.0.1"), first);  // still there

  // Requests keep a session alive past its time-out; without them it
  // expires. A gap between requests that a busy machine stretched beyond
  // the time-out proves nothing: the session is then made anew.
  using TClock = std::chrono::steady_clock;
  list.EndSession(first->SessionID());
  bool keptAlive = false;
  std::shared_ptr<THTTPSession> a;
  for (int attempt = 0; attempt < 5 && !keptAlive; ++attempt) {
    const auto since = TClock::now();
    auto touched = since;
    a = list.CreateSession("127.0.0.1");
    keptAlive = true;
    while (keptAlive && TClock::now() - since < std::chrono::milliseconds(250)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      const auto before = TClock::now();
      const bool alive = list.GetSession(a->SessionID(), "127.0.0.1") != nullptr;
      if (TClock::now() - touched < std::chrono::milliseconds(150)) {
        ASSERT_TRUE(alive);
      }
      keptAlive = alive;
      touched = before;
    }
  }
  ASSERT_TRUE(keptAlive);
  const auto b = list.CreateSession("127.0.0.1");
  std::this_thread::sleep_for(std::chrono::milliseconds(160));
  EXPECT_EQ(list.GetSession(a->SessionID(), "127.0.0.1"), nullptr);
  EXPECT_TRUE(a->Ended());
  EXPECT_EQ(list.PurgeExpired(), 1u);  // b
  EXPECT_TRUE(b->Ended());
  EXPECT_EQ(list.Count(), 0u);

  // Full: the least recently used session makes room.
  list.SetTimeoutMs(3600000);
  list.MaxSessions = 3;
  const auto s1 = list.CreateSession("h");
  const auto s2 = list.CreateSession("h");
  const auto s3 = list.CreateSession("h");
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  list.GetSession(s1->SessionID(), "h");
  const auto s4 = list.CreateSession("h");
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_TRUE(s2->Ended());
  EXPECT_FALSE(s1->Ended());
  EXPECT_TRUE(list.EndSession(s3->SessionID()));
  EXPECT_FALSE(list.EndSession(s3->SessionID()));
  EXPECT_TRUE(s3->Ended());
}

TEST(HttpSession, VariablesIgnoreTheCaseOfTheirNames) {
  THTTPSession session("id", "host");
  EXPECT_EQ(session.Value("missing"), "");
  session.SetValue("loggedin", "1");
  session.SetValue("LOGGEDIN", "0");
  session.SetValue("user", "a=b");
  EXPECT_EQ(session.Value("LoggedIn"), "0");
  EXPECT_EQ(session.Content(), (std::vector<std::string>{"loggedin=0", "user=a=b"}));
  for (size_t i = 0; i < THTTPSession::MaxVariables + 10; ++i) {
    session.SetValue("v" + std::to_string(i), "x");
  }
  EXPECT_EQ(session.Content().size(), THTTPSession::MaxVariables);
}

}  // namespace
}  // namespace vx
