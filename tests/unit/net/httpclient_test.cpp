// The HTTP client: form encoding, and posts to a local sink with time-outs,
// cancel, binding and a proxy (https: see the server list poster's tests).
#include "net/HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "HttpSink.h"

namespace vx {
namespace {

using testing::THttpSink;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

TEST(HttpForm, EncodesNamesAndValues) {
  EXPECT_EQ(FormUrlEncode("Az09*-._"), "Az09*-._");
  EXPECT_EQ(FormUrlEncode("a b&c=d+e%f/~"), "a+b%26c%3Dd%2Be%25f%2F%7E");
  EXPECT_EQ(FormUrlEncode(std::string("\xC3\xA9\n\0", 4)), "%C3%A9%0A%00");
  EXPECT_EQ(EncodeForm({{"server_name", "A & B"}, {"x y", ""}, {"n", "1"}}),
            "server_name=A+%26+B&x+y=&n=1");
  EXPECT_EQ(EncodeForm({}), "");
}

TEST(HttpClient, PostsFormsToALocalSink) {
  THttpSink sink;
  THttpClient client;
  client.BoundIp = "127.0.0.1";
  const THttpResponse response =
      client.PostForm(sink.Url("/list/post.php?v=2"), {{"server_name", "A & B"}, {"n", "1"}});
  EXPECT_EQ(response.StatusCode, 200);
  EXPECT_EQ(response.BodyBytes, 2u);
  ASSERT_TRUE(sink.WaitRequests(1, 2000));
  const auto request = sink.Requests().at(0);
  EXPECT_EQ(request.RequestLine, "POST /list/post.php?v=2 HTTP/1.1");
  EXPECT_EQ(request.Headers.at("host"), "127.0.0.1:" + std::to_string(sink.Port()));
  EXPECT_EQ(request.Headers.at("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.Headers.at("content-length"), "23");
  EXPECT_EQ(request.Headers.count("user-agent"), 1u);
  EXPECT_EQ(request.Body, "server_name=A+%26+B&n=1");

  // Failures are raised: error status, bad addresses and schemes, bad local
  // address, no listener.
  THttpSink missing("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  EXPECT_THROW(client.PostForm(missing.Url("/"), {}), EHttpClient);
  EXPECT_EQ(missing.Requests().size(), 1u);
  for (const char* bad : {"http://not a url/", "ftp://127.0.0.1/", "http://h/a\r\nX: y", ""})
    EXPECT_THROW(client.PostForm(bad, {}), EHttpClient) << bad;
  EXPECT_EQ(sink.Connections(), 1);
  THttpClient badBinding;
  badBinding.BoundIp = "300.1.1.1";
  EXPECT_THROW(badBinding.PostForm(sink.Url("/"), {}), EHttpClient);
  uint16_t closedPort = 0;
  {
    THttpSink gone;
    closedPort = gone.Port();
  }
  EXPECT_THROW(client.PostForm("http://127.0.0.1:" + std::to_string(closedPort) + "/", {}),
               EHttpClient);

  // A long answer is read up to the cap and the rest dropped.
  THttpSink big("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(1000000, 'x'));
  client.MaxResponseBytes = 4096;
  const THttpResponse capped = client.PostForm(big.Url("/"), {});
  EXPECT_EQ(capped.StatusCode, 200);
  EXPECT_LT(capped.BodyBytes, 4096u);

  // Through a proxy the request names the whole address and carries the
  // credentials.
  THttpClient proxied;
  proxied.Proxy.Enabled = true;
  proxied.Proxy.Host = "127.0.0.1";
  proxied.Proxy.Port = sink.Port();
  proxied.Proxy.User = "user";
  proxied.Proxy.Password = "pass";
  proxied.PostForm("http://list.invalid:81/p?q", {{"a", "b"}});
  ASSERT_TRUE(sink.WaitRequests(2, 2000));
  const auto viaProxy = sink.Requests().at(1);
  EXPECT_EQ(viaProxy.RequestLine, "POST http://list.invalid:81/p?q HTTP/1.1");
  EXPECT_EQ(viaProxy.Headers.at("host"), "list.invalid:81");
  EXPECT_EQ(viaProxy.Headers.at("proxy-authorization"), "Basic dXNlcjpwYXNz");
}

TEST(HttpClient, SilentPeerEndsByTimeOutOrCancel) {
  THttpSink silent(THttpSink::OkAnswer, true);
  THttpClient client;
  client.ReadTimeoutMs = 300;
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(client.PostForm(silent.Url("/"), {{"a", "1"}}), EHttpClient);
  const int64_t took = ElapsedMs(start);
  EXPECT_GE(took, 280);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(silent.Requests().size(), 1u);

  // Cancel from another thread ends a request that would wait 10 s.
  THttpClient waiting;
  std::thread canceller([&] {
    silent.WaitRequests(2, 5000);
    waiting.Cancel();
  });
  start = std::chrono::steady_clock::now();
  EXPECT_THROW(waiting.PostForm(silent.Url("/"), {}), EHttpClient);
  EXPECT_LT(ElapsedMs(start), 3000);
  canceller.join();
  EXPECT_TRUE(waiting.Cancelled());
  EXPECT_THROW(waiting.PostForm(silent.Url("/"), {}), EHttpClient);
  EXPECT_EQ(silent.Connections(), 2);
}

}  // namespace
}  // namespace vx
