// Helpers shared by the parts of the web interface: marker replacement,
// the uptime text, safe box links and the edge log line.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx {

// Marker texts (as written in the pages) and what replaces them; the
// replacements are final HTML.
using TWebMarkers = std::vector<std::pair<std::string, std::string>>;

// Replaces, in one pass over the text, every marker of the lists ("%%NAME%%"
// or "%!NAME!%", letter case ignored) by its replacement; inserted text is
// never scanned again, so values cannot smuggle in markers. A marker whose
// replacement is empty is removed only where it is written in exactly the
// listed case. When both lists name a marker, the first list wins.
std::string ReplaceWebMarkers(std::string_view text, const TWebMarkers& markers,
                              const TWebMarkers* more = nullptr);

// "hh:nn:ss", or "<days>D hh:nn:ss" from one day on.
std::string WebUptimeText(int64_t seconds);

// The link when it is relative to this site; "index.html" otherwise (a link
// with a scheme such as "javascript:" or to another host).
std::string SafeRelativeURL(const std::string& url);

// "%1" replaced by the login name.
std::string WebMessage(std::string_view pattern, std::string_view name);

// The edge log line: operation, " Exception: ", the message.
void LogWebException(std::string_view operation, const std::exception& e);

}  // namespace vx
