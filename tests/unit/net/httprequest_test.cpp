// The request parser, URL and HTML encoding, and the MIME table of the HTTP
// server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/TextTools.h"
#include "net/HttpEncoding.h"
#include "net/HttpMime.h"
#include "net/HttpRequest.h"

namespace vx {
namespace {

THTTPHeadResult Parse(const std::string& text, THTTPRequestInfo& request,
                      const THTTPLimits& limits = {}) {
  return ParseRequestHead(text, limits, request);
}

int FailStatus(const std::string& text, const THTTPLimits& limits = {}) {
  THTTPRequestInfo request;
  const THTTPHeadResult r = Parse(text, request, limits);
  return r.State == THTTPParseState::Failed ? r.ErrorStatus : 0;
}

TEST(HttpRequest, ParsesRequestLineHeadersAndParameters) {
  THTTPRequestInfo request;
  const std::string text =
      "\r\nPOST /dir/a%20b+c.vxcmd?x=1&Name=a+b%26c&empty&=v HTTP/1.1\r\n"
      "Host: example\r\nContent-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
      "Cookie: other=1; VXSESSIONID=\"abc\" ; last=2\r\nContent-Length: 11\r\n\r\n"
      "name=second&rest";
  const THTTPHeadResult r = Parse(text, request);
  ASSERT_EQ(r.State, THTTPParseState::Complete);
  EXPECT_EQ(r.HeadLength, text.size() - 16);
  EXPECT_EQ(r.BodyLength, 11u);
  EXPECT_EQ(request.Command, "POST");
  EXPECT_EQ(request.Version, "HTTP/1.1");
  EXPECT_EQ(request.Document, "/dir/a b+c.vxcmd");  // '+' stays in the path
  EXPECT_EQ(request.QueryString, "x=1&Name=a+b%26c&empty&=v");
  EXPECT_EQ(request.Header("HOST"), "example");
  EXPECT_EQ(request.Cookie("VXSESSIONID"), "abc");
  EXPECT_EQ(request.Cookie("vxsessionid"), "");  // cookie names keep their case
  EXPECT_EQ(request.Cookie("last"), "2");
  CompleteRequest(request, text.substr(r.HeadLength, r.BodyLength), {});
  EXPECT_EQ(request.Body, "name=second");
  EXPECT_EQ(request.Param("NAME"), "a b&c");  // the query comes first
  EXPECT_EQ(request.Param("x"), "1");
  EXPECT_TRUE(request.HasParam("empty"));
  EXPECT_EQ(request.Param("empty"), "");
  EXPECT_EQ(request.Param(""), "v");
  EXPECT_EQ(request.Params.back().second, "second");
  EXPECT_FALSE(request.HasParam("missing"));
  EXPECT_TRUE(request.KeepAliveRequested());

  // A body of another type gives no parameters; absolute-form targets and
  // bare line feeds are taken.
  THTTPRequestInfo other;
  ASSERT_EQ(
      Parse("GET http://host:80/p?q=2#frag HTTP/1.0\nConnection: Keep-Alive\n\n", other).State,
      THTTPParseState::Complete);
  EXPECT_EQ(other.Document, "/p");
  EXPECT_EQ(other.QueryString, "q=2");
  EXPECT_TRUE(other.KeepAliveRequested());
  CompleteRequest(other, "a=b", {});
  EXPECT_EQ(other.Param("a"), "");
  THTTPRequestInfo bare;
  ASSERT_EQ(Parse("GET http://host HTTP/1.1\r\nConnection: x, close\r\n\r\n", bare).State,
            THTTPParseState::Complete);
  EXPECT_EQ(bare.Document, "/");
  EXPECT_FALSE(bare.KeepAliveRequested());
  THTTPRequestInfo old;
  ASSERT_EQ(Parse("HEAD / HTTP/1.0\r\n\r\n", old).State, THTTPParseState::Complete);
  EXPECT_FALSE(old.KeepAliveRequested());

  // The parameter count is capped.
  THTTPParams params;
  std::string many;
  for (int i = 0; i < 50; ++i) many += "p=" + std::to_string(i) + "&";
  ParseParams(many, params, 10);
  EXPECT_EQ(params.size(), 10u);
}

TEST(HttpRequest, WaitsForTheBlankLineAndRefusesMalformedOrLargeRequests) {
  THTTPRequestInfo request;
  EXPECT_EQ(Parse("GET / HTTP/1.1\r\nHost: x\r\n", request).State, THTTPParseState::NeedMore);
  EXPECT_EQ(Parse("", request).State, THTTPParseState::NeedMore);
  EXPECT_EQ(Parse("\r\n\r\n", request).State, THTTPParseState::NeedMore);

  EXPECT_EQ(FailStatus("GET /\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET  / HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1 x\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("G(T / HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET relative HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET ftp://x/ HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET /%00 HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET /\x7f HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.x\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/3.0\r\n\r\n"), 505);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nNoColon\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nBad Name: x\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n"), 400);
  EXPECT_EQ(FailStatus("GET / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n"), 0);
  EXPECT_EQ(FailStatus("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), 501);

  // The head limit counts the request line and headers; the body has its own.
  THTTPLimits limits;
  limits.MaxHeadBytes = 64;
  limits.MaxBodyBytes = 10;
  const std::string atLimit = "GET /" + std::string(64 - 18, 'a') + " HTTP/1.1\r\n\r\n";
  ASSERT_EQ(atLimit.size(), 64u);
  EXPECT_EQ(FailStatus(atLimit, limits), 0);
  EXPECT_EQ(FailStatus("GET /" + std::string(64 - 17, 'a') + " HTTP/1.1\r\n\r\n", limits), 431);
  EXPECT_EQ(FailStatus(std::string(100, 'A'), limits), 431);  // no line end at all
  EXPECT_EQ(FailStatus(std::string(100, '\n'), limits), 431);
  EXPECT_EQ(FailStatus("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n", limits), 0);
  EXPECT_EQ(FailStatus("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", limits), 413);
}

TEST(HttpEncoding, DecodesEncodesAndEscapes) {
  EXPECT_EQ(URLDecode("a%20b+c%2B%zz%4", true), "a b c+%zz%4");
  EXPECT_EQ(URLDecode("a+b%2f", false), "a+b/");
  EXPECT_EQ(URLDecode("%", true), "%");
  EXPECT_EQ(URLDecode("%e4%C3%a4", true), "\xe4\xc3\xa4");
  EXPECT_EQ(URLEncode("a b&c=d/\xff~._-Z9"), "a%20b%26c%3Dd%2F%FF~._-Z9");
  const std::string all = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s += char(i);
    return s;
  }();
  EXPECT_EQ(URLDecode(URLEncode(all), true), all);
  EXPECT_EQ(HTMLEscape("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(FindTextAscii("abcABC", "Bc", 2), 4u);
  EXPECT_EQ(FindTextAscii("abc", "abcd"), std::string_view::npos);
  EXPECT_TRUE(SameTextAscii("Content-Length", "content-LENGTH"));
  EXPECT_EQ(ReasonText(404), "Not Found");
  EXPECT_EQ(ReasonText(799), "Unknown");
}

TEST(HttpMime, BuiltInTableExtendedFromTypesFiles) {
  THTTPMIMETable table;
  EXPECT_EQ(table.GetFileMIMEType("/docs/Index.HTM"), "text/html");
  EXPECT_EQ(table.GetFileMIMEType("a.css"), "text/css");
  EXPECT_EQ(table.GetFileMIMEType("a.gif"), "image/gif");
  EXPECT_EQ(table.GetFileMIMEType("dir.d/noext"), "application/octet-stream");
  EXPECT_EQ(table.GetFileMIMEType("a.vxunknown"), "application/octet-stream");

  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("vx-mime-" + std::to_string(getpid()));
  std::ofstream(file) << "# comment line\n"
                         "application/x-vx-test\tvxa  VXB # trailing comment\r\n"
                         "text/plain-override html\n"
                         "notatype ext1\n"
                         "\x01\x02 garbage\n"
                         "image/x-long " +
                             std::string(40, 'e') + "\n";
  table.LoadTypesFile(file.string());
  table.LoadTypesFile("/nonexistent/mime.types");
  std::filesystem::remove(file);
  EXPECT_EQ(table.GetFileMIMEType("x.vxa"), "application/x-vx-test");
  EXPECT_EQ(table.GetFileMIMEType("x.vxb"), "application/x-vx-test");
  EXPECT_EQ(table.GetFileMIMEType("x.html"), "text/html");  // built-in entries stay
  EXPECT_EQ(table.GetFileMIMEType("x.ext1"), "application/octet-stream");
  EXPECT_EQ(table.GetFileMIMEType("x." + std::string(40, 'e')), "application/octet-stream");
}

}  // namespace
}  // namespace vx
