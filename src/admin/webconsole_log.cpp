#include "admin/webconsole_log.h"

#include <fstream>

#include "admin/webconsole_html.h"
#include "admin/webconsole_u.h"
#include "common/TextN.h"
#include "common/TextTools.h"
#include "host/logdebug.h"
#include "net/HttpEncoding.h"

namespace vx {

namespace {

// "dd-mm-yy hh:nn:ss"
bool IsLogTime(std::string_view text) {
  static constexpr std::string_view DateShape = "00-00-00 00:00:00";
  if (text.size() != DateShape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (DateShape[i] == '0' ? !digit : text[i] != DateShape[i]) return false;
  }
  return true;
}

}  // namespace

TLogLine ParseLogLine(std::string_view line) {
  TLogLine out;
  const size_t tab = line.find(",\t");
  std::vector<std::string_view> fields;
  if (tab != std::string_view::npos) {
    std::string_view head = line.substr(0, tab);
    for (int i = 0; i < 3; ++i) {
      const size_t comma = head.find(',');
      if (comma == std::string_view::npos) break;
      fields.push_back(head.substr(0, comma));
      head.remove_prefix(comma + 1);
    }
    fields.push_back(head);  // the category, commas and all
  }
  if (fields.size() != 4 || !IsLogTime(fields[0])) {
    out.Message = std::string(line);
    return out;
  }
  out.Time = std::string(fields[0]);
  out.Type = std::string(fields[1]);
  out.Depth = std::string(fields[2]);
  out.Category = std::string(fields[3]);
  out.Message = std::string(line.substr(tab + 2));
  return out;
}

std::vector<std::string> ReadLogTail(const std::string& fileName, size_t maxBytes) {
  std::vector<std::string> lines;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return lines;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0) return lines;
  // One byte more than asked for tells whether the first line is whole.
  const std::streamoff start =
      size > std::streamoff(maxBytes) ? size - std::streamoff(maxBytes) - 1 : 0;
  in.seekg(start);
  std::string text(size_t(size - start), '\0');
  in.read(text.data(), std::streamsize(text.size()));
  text.resize(size_t(in.gcount()));
  size_t pos = 0;
  if (start > 0) {
    pos = text.find('\n');
    pos = pos == std::string::npos ? text.size() : pos + 1;
  }
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    size_t stop = end;
    if (stop > pos && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text, pos, stop - pos);
    pos = end + 1;
  }
  return lines;
}

TLogPage QueryLog(const std::vector<std::string>& lines, const TLogQuery& query) {
  TLogPage page;
  const size_t pageSize = query.PageSize > 0 ? query.PageSize : 1;
  page.First = query.Page * pageSize;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!query.Text.empty() && FindTextAscii(*it, query.Text) == std::string::npos) continue;
    TLogLine line = ParseLogLine(*it);
    if (!query.Type.empty() && !SameTextAscii(line.Type, query.Type)) continue;
    if (page.Matching >= page.First && page.Lines.size() < pageSize) {
      page.Lines.push_back(std::move(line));
    }
    ++page.Matching;
  }
  return page;
}

}  // namespace vx

// --- The log page -------------------------------------------------------------

namespace vx {

namespace {

const std::pair<const char*, const char*> LogTypes[] = {
    {"", "Every type"},       {"ERROR", "Errors"},    {"WARNING", "Warnings"},
    {"ALL", "General notes"}, {"DEBUG", "Debugging"},
};

std::string LogLink(const TLogQuery& query, size_t page) {
  return "log.html?type=" + URLEncode(query.Type) + "&amp;text=" + URLEncode(query.Text) +
         "&amp;page=" + std::to_string(page);
}

}  // namespace

std::string TWebConsole::LogBlock(THTTPRequestInfo& request) {
  TLogQuery query;
  query.PageSize = LogPageSize;
  for (const auto& [type, label] : LogTypes) {
    if (SameTextAscii(request.Param("type"), type)) query.Type = type;
  }
  query.Text = CutText(request.Param("text"), 100);
  int64_t page = 0;
  if (ParseFormNumber(request.Param("page"), page) && page > 0 && page < 100000) {
    query.Page = size_t(page);
  }

  std::string html =
      "<form class=\"card filters\" action=\"log.html\" method=\"get\"><div class=\"fields-2\">"
      "<div class=\"field\"><label for=\"log-type\">Type</label><select id=\"log-type\" "
      "name=\"type\">";
  for (const auto& [type, label] : LogTypes) {
    html += "<option value=\"" + std::string(type) + "\"" +
            (query.Type == type ? " selected" : "") + ">" + label + "</option>";
  }
  html +=
      "</select></div><div class=\"field\"><label for=\"log-text\">Containing</label><input "
      "id=\"log-text\" name=\"text\" type=\"search\" maxlength=\"100\" value=\"" +
      HTMLEscape(query.Text) +
      "\"></div></div><div class=\"actions\"><button class=\"button\" type=\"submit\">Show "
      "lines</button></div></form>";

  const std::shared_ptr<TLogObject> log = LogObjectRef();
  if (!log) return html + "<section class=\"card\"><p>No log file is open.</p></section>";
  // Only the log file itself: its name comes from the log object, never
  // from the request.
  const std::vector<std::string> lines = ReadLogTail(log->FileName(), MaxLogTail);
  const TLogPage result = QueryLog(lines, query);

  html += "<section class=\"card\" aria-labelledby=\"lines-heading\"><h2 id=\"lines-heading\">";
  if (result.Lines.empty()) {
    html += "No lines</h2><p>No line of the last " + std::to_string(lines.size()) +
            " lines of the log matches.</p>";
  } else {
    html += "Lines " + std::to_string(result.First + 1) + " to " +
            std::to_string(result.First + result.Lines.size()) + " of " +
            std::to_string(result.Matching) +
            "</h2><p class=\"hint\">Newest first, from the last " + std::to_string(lines.size()) +
            " lines of " + HTMLEscape(log->FileName()) +
            ".</p><div class=\"table-wrap\"><table class=\"stack log\" id=\"log\"><thead><tr><th "
            "scope=\"col\">Time</th><th scope=\"col\">Type</th><th scope=\"col\">Category</th><th "
            "scope=\"col\">Message</th></tr></thead><tbody>";
    for (const TLogLine& line : result.Lines) {
      html += "<tr class=\"log-" + LowerCaseAscii(HTMLEscape(line.Type)) +
              "\"><td data-label=\"Time\" class=\"mono nowrap\">" + HTMLEscape(line.Time) +
              "</td><td data-label=\"Type\">" + HTMLEscape(line.Type) +
              "</td><td data-label=\"Category\">" + HTMLEscape(line.Category) +
              "</td><td data-label=\"Message\" class=\"mono\">" + HTMLEscape(line.Message) +
              "</td></tr>";
    }
    html += "</tbody></table></div>";
  }
  const bool newer = query.Page > 0;
  const bool older = result.First + result.Lines.size() < result.Matching;
  if (newer || older) {
    html += "<nav class=\"actions pager\" aria-label=\"Pages of the log\">";
    if (newer) {
      html += "<a class=\"button secondary\" href=\"" + LogLink(query, query.Page - 1) +
              "\">Newer lines</a>";
    }
    if (older) {
      html += "<a class=\"button secondary\" href=\"" + LogLink(query, query.Page + 1) +
              "\">Older lines</a>";
    }
    html += "</nav>";
  }
  return html + "</section>";
}

}  // namespace vx
