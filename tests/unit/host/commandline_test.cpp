#include "host/CommandLine.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

TCommandAction Parse(std::vector<std::string> args, TCommandLine& out) {
  return ParseCommandLine(args, out);
}

TEST(CommandLine, ValueOptionsKeepTheirCaseAndOnlyTwoAreTrimmed) {
  TCommandLine s;
  EXPECT_EQ(Parse({"-DB=/Data/Server.db", "-ini= /a b/x.ini ", "-Log=/l.log", "-pId=/run/vx.pid",
                   "-httpdocs= /srv/www\t", "-ADMINPW=  Secret  "},
                  s),
            TCommandAction::Run);
  EXPECT_EQ(s.DatabasePath, "/Data/Server.db");
  EXPECT_EQ(s.IniPath, " /a b/x.ini ");
  EXPECT_EQ(s.LogPath, "/l.log");
  EXPECT_EQ(s.PidPath, "/run/vx.pid");
  EXPECT_EQ(s.HttpDocsPath, "/srv/www");
  EXPECT_EQ(s.AdminPassword, "Secret");

  TCommandLine t;
  Parse({"-db= x", "-db=first", "-db=second"}, t);
  EXPECT_EQ(t.DatabasePath, "second") << "a later argument overrides an earlier one";
  TCommandLine u;
  Parse({"-db= x"}, u);
  EXPECT_EQ(u.DatabasePath, " x");
}

TEST(CommandLine, VersionAndHelpSwitches) {
  for (const char* arg : {"-ver", "--version", "-VER", "x-Version"}) {
    TCommandLine s;
    EXPECT_EQ(Parse({arg}, s), TCommandAction::ShowVersion) << arg;
  }
  for (const char* arg : {"-?", "-h", "--help", "/HELP", "/?", "/h", "-Hilfe"}) {
    TCommandLine s;
    EXPECT_EQ(Parse({arg}, s), TCommandAction::ShowHelp) << arg;
  }
  // A value option is never read as a switch, though "/h" is in it.
  TCommandLine s;
  EXPECT_EQ(Parse({"-db=/home/vx/server.db", "-log=/var/-ver/x"}, s), TCommandAction::Run);
  EXPECT_EQ(s.DatabasePath, "/home/vx/server.db");
  // Unknown arguments are ignored.
  EXPECT_EQ(Parse({"--foo", "bar"}, s), TCommandAction::Run);
  // Arguments before a switch are read, the ones after it are not.
  TCommandLine t;
  EXPECT_EQ(Parse({"-db=a", "-ver", "-db=b"}, t), TCommandAction::ShowVersion);
  EXPECT_EQ(t.DatabasePath, "a");
}

TEST(CommandLine, VersionLineHelpTextAndDefaults) {
  EXPECT_EQ(VersionLine(), "Version Vorlantix2 v2.0.18.31 ");
  EXPECT_EQ(HelpText(),
            "Version Vorlantix2 v2.0.18.31 \nCommand parameters:\n -db=<path>\n -ini=<path>\n"
            " -log=<path>\n -pid=<path>\n -httpdocs=<path>\n -adminpw=<newpw>\n\n");

  TCommandLine s;
  s.LogPath = "/tmp/own.log";
  ApplyDefaultPaths(s, "/work/dir");
  EXPECT_EQ(s.DatabasePath, "/work/dir/server.db");
  EXPECT_EQ(s.IniPath, "/work/dir/server.ini");
  EXPECT_EQ(s.LogPath, "/tmp/own.log");
  EXPECT_EQ(s.HttpDocsPath, "/work/dir/httpdocs");
  EXPECT_EQ(s.PidPath, "") << "no pid file unless asked for";
}

}  // namespace
}  // namespace vx
