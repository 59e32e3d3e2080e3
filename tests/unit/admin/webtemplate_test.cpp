// The marker replacement of the web templates, the uptime text and the box
// links.
#include <gtest/gtest.h>

#include "admin/webinterface_tools.h"

namespace vx {
namespace {

TEST(WebTemplate, ReplacesMarkersInOnePassIgnoringCase) {
  const TWebMarkers markers = {{"%%NAME%%", "Bob"},
                               {"%%EMPTY%%", ""},
                               {"%!COMMENT_ON_X!%", "<!--"},
                               {"%!COMMENT_OFF_X!%", "-->"},
                               {"%%LOOP%%", "%%NAME%%"}};
  EXPECT_EQ(ReplaceWebMarkers("[%%NAME%%][%%name%%][%%Name%%]", markers), "[Bob][Bob][Bob]");
  // An empty value removes only the marker written as listed.
  EXPECT_EQ(ReplaceWebMarkers("[%%EMPTY%%][%%empty%%]", markers), "[][%%empty%%]");
  EXPECT_EQ(ReplaceWebMarkers("%!comment_on_x!%a%!COMMENT_OFF_X!%", markers), "<!--a-->");
  // Inserted text is not read again; unknown and broken markers stay.
  EXPECT_EQ(ReplaceWebMarkers("%%LOOP%%", markers), "%%NAME%%");
  EXPECT_EQ(ReplaceWebMarkers("100%% %%UNKNOWN%% %%NAME", markers), "100%% %%UNKNOWN%% %%NAME");
  EXPECT_EQ(ReplaceWebMarkers("%%%NAME%%%", markers), "%Bob%");
  EXPECT_EQ(ReplaceWebMarkers("%", markers), "%");
  EXPECT_EQ(ReplaceWebMarkers("", markers), "");
  // The first list wins over the second.
  const TWebMarkers more = {{"%%NAME%%", "Other"}, {"%%ROW%%", "r"}};
  EXPECT_EQ(ReplaceWebMarkers("%%NAME%%%%ROW%%", markers, &more), "Bobr");
}

TEST(WebTemplate, UptimeLinksAndMessages) {
  EXPECT_EQ(WebUptimeText(0), "00:00:00");
  EXPECT_EQ(WebUptimeText(3 * 3600 + 4 * 60 + 5), "03:04:05");
  EXPECT_EQ(WebUptimeText(86399), "23:59:59");
  EXPECT_EQ(WebUptimeText(86400), "1D 00:00:00");
  EXPECT_EQ(WebUptimeText(12 * 86400 + 61), "12D 00:01:01");
  EXPECT_EQ(WebUptimeText(-5), "00:00:00");

  EXPECT_EQ(SafeRelativeURL("index.html"), "index.html");
  EXPECT_EQ(SafeRelativeURL("DELETE_CLIENT.VXCMD?client=a%3Ab"),
            "DELETE_CLIENT.VXCMD?client=a%3Ab");
  EXPECT_EQ(SafeRelativeURL("/accounts.html?x=http://y"), "/accounts.html?x=http://y");
  EXPECT_EQ(SafeRelativeURL(""), "");
  for (const char* bad : {"javascript:alert(1)", " JavaScript:x", "java\tscript:x", "http://evil/",
                          "//evil/", "\\\\evil", "/\\evil", "data:text/html,x"}) {
    EXPECT_EQ(SafeRelativeURL(bad), "index.html") << bad;
  }

  EXPECT_EQ(WebMessage("user %1 deleted", "bob"), "user bob deleted");
  EXPECT_EQ(WebMessage("user %1 deleted", "%1"), "user %1 deleted");
  EXPECT_EQ(WebMessage("no placeholder", "x"), "no placeholder");
}

}  // namespace
}  // namespace vx
