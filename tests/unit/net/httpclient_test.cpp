// The HTTP client: address parsing, form encoding, reading answers, and
// posts to a local sink with time-outs, cancel, binding and a proxy.
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

TEST(HttpUrl, ParsesPartsAndRefusesGarbage) {
  auto url = ParseHttpUrl("HTTP://List.Example.org:8080/post.php?a=1&b=%41#top");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->Scheme, "http");
  EXPECT_EQ(url->Host, "list.example.org");
  EXPECT_EQ(url->Port, 8080);
  EXPECT_EQ(url->Path, "/post.php");
  EXPECT_EQ(url->Query, "a=1&b=%41");
  EXPECT_EQ(url->Target(), "/post.php?a=1&b=%41");
  EXPECT_EQ(url->Authority(), "list.example.org:8080");

  url = ParseHttpUrl("http://127.0.0.1");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->Port, 80);
  EXPECT_EQ(url->Target(), "/");
  EXPECT_EQ(url->Authority(), "127.0.0.1");

  url = ParseHttpUrl("http://host:?x");  // an empty port takes the default
  ASSERT_TRUE(url);
  EXPECT_EQ(url->Port, 80);
  EXPECT_EQ(url->Target(), "/?x");

  url = ParseHttpUrl("https://[::1]:8443/p");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->Scheme, "https");
  EXPECT_EQ(url->Host, "::1");
  EXPECT_EQ(url->Authority(), "[::1]:8443");
  EXPECT_EQ(ParseHttpUrl("https://h/")->Port, 443);

  // Bytes from 0x80 up and a stray "%" are escaped; escapes stay as they are.
  url = ParseHttpUrl("http://h/caf\xC3\xA9/100%?q=%zz%2F");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->Path, "/caf%C3%A9/100%25");
  EXPECT_EQ(url->Query, "q=%25zz%2F");

  for (const char* bad : {"",
                          "example.org/post",
                          "ftp://h/",
                          "http:/h/",
                          "http://",
                          "http:///x",
                          "http://:80/",
                          "http://h:0/",
                          "http://h:65536/",
                          "http://h:12ab/",
                          "http://h:123456/",
                          "http://user:pw@h/",
                          "http://h/a b",
                          "http://h/a\r\nX: y",
                          "http://h\t/",
                          " http://h/",
                          "http://h..x/",
                          "http://.h/",
                          "http://h!/",
                          "http://[::1/",
                          "http://[zz::1]/",
                          "http://[::1]x/",
                          "http://h:1:2/",
                          "http://h/\x7F"}) {
    EXPECT_FALSE(ParseHttpUrl(bad)) << bad;
  }
  EXPECT_FALSE(ParseHttpUrl("http://" + std::string(64, 'a') + ".org/"));
  EXPECT_TRUE(ParseHttpUrl("http://" + std::string(63, 'a') + ".org/"));
  EXPECT_FALSE(ParseHttpUrl("http://h/" + std::string(MaxHttpUrlLength, 'a')));
  EXPECT_FALSE(ParseHttpUrl("http://h/" + std::string(MaxHttpUrlLength / 2, '\xFF')));
}

TEST(HttpForm, EncodesNamesAndValues) {
  EXPECT_EQ(FormUrlEncode("Az09*-._"), "Az09*-._");
  EXPECT_EQ(FormUrlEncode("a b&c=d+e%f/~"), "a+b%26c%3Dd%2Be%25f%2F%7E");
  EXPECT_EQ(FormUrlEncode(std::string("\xC3\xA9\n\0", 4)), "%C3%A9%0A%00");
  EXPECT_EQ(EncodeForm({{"server_name", "A & B"}, {"x y", ""}, {"n", "1"}}),
            "server_name=A+%26+B&x+y=&n=1");
  EXPECT_EQ(EncodeForm({}), "");
}

// Feeds the text in pieces of the given size; the bytes that belong to the
// answer.
size_t FeedInPieces(THttpResponseParser& parser, std::string_view text, size_t piece) {
  size_t used = 0;
  for (size_t at = 0; at < text.size() && !parser.Complete(); at += piece) {
    used += parser.Feed(text.substr(at, piece));
  }
  return used;
}

TEST(HttpResponseParser, FindsTheEndOfEachKindOfAnswer) {
  for (size_t piece : {size_t(1), size_t(3), size_t(1000)}) {
    SCOPED_TRACE(piece);
    THttpResponseParser sized;
    const std::string sizedText = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA";
    EXPECT_EQ(FeedInPieces(sized, sizedText, piece), sizedText.size() - 5);
    EXPECT_TRUE(sized.Complete());
    EXPECT_EQ(sized.Status(), 200);
    EXPECT_EQ(sized.BodyBytes(), 5u);

    // Interim answer, chunks with extensions, a trailer; bare LF line ends.
    THttpResponseParser chunked;
    const std::string chunkedText =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.0 201 Created\nTransfer-Encoding: gzip, "
        "chunked\nContent-Length: 99\n\n"
        "4;ext=1\r\nabcd\r\nA\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\nNEXT";
    EXPECT_EQ(FeedInPieces(chunked, chunkedText, piece), chunkedText.size() - 4);
    EXPECT_TRUE(chunked.Complete());
    EXPECT_EQ(chunked.Status(), 201);
    EXPECT_EQ(chunked.BodyBytes(), 14u);

    THttpResponseParser untilClose;
    FeedInPieces(untilClose, "HTTP/1.1 404 Not Found\r\n\r\nmissing", piece);
    EXPECT_TRUE(untilClose.HeadDone());
    EXPECT_FALSE(untilClose.Complete());
    untilClose.Closed();
    EXPECT_TRUE(untilClose.Complete());
    EXPECT_EQ(untilClose.Status(), 404);
    EXPECT_EQ(untilClose.BodyBytes(), 7u);

    THttpResponseParser noBody;
    FeedInPieces(noBody, "HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n", piece);
    EXPECT_TRUE(noBody.Complete());
  }

  for (const std::string& bad : std::vector<std::string>{
           "HTTP/2 200 OK\r\n\r\n", "HTTP/1.1 20 OK\r\n\r\n", "HTTP/1.1 200OK\r\n\r\n",
           "HTTP/1.1 600 Odd\r\n\r\n", "ICY 200 OK\r\n\r\n", "HTTP/1.1 101 Switching\r\n\r\n",
           "HTTP/1.1 200 OK\r\nno colon\r\n\r\n", "HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nabc\r\n",
           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(2000, '1'),
           "HTTP/1.1 200 OK\r\nX: " + std::string(THttpResponseParser::MaxHeaderBytes, 'x')}) {
    THttpResponseParser parser;
    EXPECT_THROW(parser.Feed(bad), EHttpClient) << bad.substr(0, 60);
  }

  // Cut off before its end, or no answer at all.
  for (const std::string cut :
       {"", "HTTP/1.1 200 OK\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"}) {
    THttpResponseParser parser;
    parser.Feed(cut);
    EXPECT_THROW(parser.Closed(), EHttpClient) << cut;
  }
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

  // Failures are raised: error status, https, bad local address, no listener.
  THttpSink missing("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  EXPECT_THROW(client.PostForm(missing.Url("/"), {}), EHttpClient);
  EXPECT_EQ(missing.Requests().size(), 1u);
  EXPECT_THROW(client.PostForm("https://127.0.0.1:" + std::to_string(sink.Port()) + "/", {}),
               EHttpClient);
  EXPECT_THROW(client.PostForm("http://not a url/", {}), EHttpClient);
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
