// Reading the log file for the web console's log page: the last lines of
// the file, each split into its fields, filtered by type and text and cut
// into pages, newest first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

// One line of the log: "dd-mm-yy hh:nn:ss,TYPE,DEPTH,CATEGORY,<TAB>message".
// A line of another form (the frames around a run, the continuation of a
// message with a line break) has only its Message.
struct TLogLine {
  std::string Time;
  std::string Type;
  std::string Depth;
  std::string Category;
  std::string Message;
};

TLogLine ParseLogLine(std::string_view line);

// The lines of the last maxBytes of the file (all of it when smaller); a
// line cut by that limit is left out. Empty when the file cannot be read.
std::vector<std::string> ReadLogTail(const std::string& fileName, size_t maxBytes);

struct TLogQuery {
  std::string Type;  // empty: every type; else the type name ("ERROR")
  std::string Text;  // empty: every line; else found in the line, case ignored
  size_t Page = 0;   // 0: the newest lines
  size_t PageSize = 100;
};

struct TLogPage {
  std::vector<TLogLine> Lines;  // newest first
  size_t Matching = 0;          // lines that match, on every page
  size_t First = 0;             // index of Lines[0] among them (0: the newest)
};

TLogPage QueryLog(const std::vector<std::string>& lines, const TLogQuery& query);

}  // namespace vx
