// Reads arbitrary bytes as the end of a log file, the way the web console's
// log page does: the first line is the filter (type, a TAB, the text), the
// rest are the lines. A page never holds more lines than asked for nor more
// than match, and every line with a type has a time of the log's shape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "admin/webconsole_log.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find('\n', start);
    lines.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  vx::TLogQuery query;
  const std::string& filter = lines.front();
  const size_t tab = filter.find('\t');
  query.Type = filter.substr(0, tab);
  if (tab != std::string::npos) query.Text = filter.substr(tab + 1);
  query.PageSize = 1 + size % 7;
  query.Page = size % 3;
  lines.erase(lines.begin());
  const vx::TLogPage page = vx::QueryLog(lines, query);
  Check(page.Lines.size() <= query.PageSize);
  Check(page.Matching <= lines.size());
  Check(page.First + page.Lines.size() <= page.Matching || page.Lines.empty());
  for (const vx::TLogLine& line : page.Lines) {
    Check(line.Type.empty() || line.Time.size() == 17);
  }
  return 0;
}
