// Line splitting, reply line ends and command matching of the line server.
#include "net/LineServer.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

using TItems = std::vector<TLineSplitter::TItem>;

// Feeds the data in pieces of the given size and lists the results, an
// overlong line as "<long>".
std::vector<std::string> Split(std::string_view data, size_t piece, size_t maxLength = 8) {
  TLineSplitter splitter(maxLength);
  TItems items;
  for (size_t i = 0; i < data.size(); i += piece) splitter.Feed(data.substr(i, piece), items);
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.Overlong ? "<long>" : item.Line);
  return out;
}

TEST(LineSplitter, LinesEndsAndLimits) {
  using V = std::vector<std::string>;
  // Piece sizes change nothing.
  for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(100)}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(Split("a\nbc\r\n\n\r\nd", piece), (V{"a", "bc", "", ""}));
    // Only the one CR just before the LF goes; other CRs stay.
    EXPECT_EQ(Split("a\r\r\nb\rc\n", piece), (V{"a\r", "b\rc"}));
    // Eight bytes fit, with or without a CR after them; nine do not, and the
    // rest of the long line up to its LF is dropped.
    EXPECT_EQ(Split("12345678\n12345678\r\n123456789\nx\n", piece),
              (V{"12345678", "12345678", "<long>", "x"}));
    EXPECT_EQ(Split("1234567890123456789012345\nok\n", piece), (V{"<long>", "ok"}));
    EXPECT_EQ(Split("123456789\r\nok\n", piece), (V{"<long>", "ok"}));
  }
  // A long line is reported once, however long it grows.
  TLineSplitter splitter(8);
  TItems items;
  for (int i = 0; i < 1000; ++i) splitter.Feed("0123456789", items);
  EXPECT_EQ(items.size(), 1u);
  EXPECT_LE(splitter.Pending(), 9u);
  splitter.Feed("tail\nnext\n", items);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].Line, "next");
}

TEST(LineServer, ReplyLinesAndMatching) {
  EXPECT_EQ(FormatReplyLines(""), "");
  EXPECT_EQ(FormatReplyLines("OK"), "OK\n");
  EXPECT_EQ(FormatReplyLines("a\r\nb\rc\nOK"), "a\nb\nc\nOK\n");
  EXPECT_EQ(FormatReplyLines("a\r\n\r\nOK\r\n"), "a\n\nOK\n");
  EXPECT_EQ(FormatReplyLines("x\n\r"), "x\n\n");

  std::vector<TLineCommand> table;
  for (const char* word : {"sl", "sel", "msg", "msgall", "quit"}) table.push_back({word, {}});
  std::vector<std::string> params;
  EXPECT_EQ(MatchLineCommand(table, "SeL", params), 1);
  EXPECT_TRUE(params.empty());
  EXPECT_EQ(MatchLineCommand(table, "msgALL  a   b ", params), 3);
  EXPECT_EQ(params, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(MatchLineCommand(table, "msg msgall", params), 2);
  EXPECT_EQ(params, (std::vector<std::string>{"msgall"}));
  EXPECT_EQ(MatchLineCommand(table, "sl ", params), 0);
  EXPECT_TRUE(params.empty());
  for (const char* line : {"s", "slx", "sl\tx", " sl", "msga", "qui", ""}) {
    EXPECT_EQ(MatchLineCommand(table, line, params), -1) << line;
  }

  // A handler's exception reaches the hook and produces no reply; a command
  // without a handler ends the connection; empty lines are skipped.
  std::string caught;
  TLineServer::THooks hooks;
  hooks.OnException = [&caught](const std::exception& e) { caught = e.what(); };
  TLineServer server({{"boom",
                       [](TLineSession&, const std::vector<std::string>&) -> std::string {
                         throw std::runtime_error("bang");
                       }},
                      {"echo",
                       [](TLineSession&, const std::vector<std::string>& p) {
                         return std::to_string(p.size()) + "\r\nOK";
                       }},
                      {"bye", {}}},
                     hooks, "[X]");
  TLineSession session;
  std::string out;
  EXPECT_TRUE(server.HandleLine(session, "boom", out));
  EXPECT_EQ(out, "");
  EXPECT_EQ(caught, "bang");
  EXPECT_TRUE(server.HandleLine(session, "", out));
  EXPECT_TRUE(server.HandleLine(session, "ECHO 1 2", out));
  EXPECT_TRUE(server.HandleLine(session, "what", out));
  EXPECT_EQ(out, "2\nOK\nerror\n");
  EXPECT_FALSE(server.HandleLine(session, "Bye", out));
}

}  // namespace
}  // namespace vx
