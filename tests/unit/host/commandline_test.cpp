#include "host/CommandLine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

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
  for (const char* arg : {"-?", "-h", "--help", "/HELP", "/?", "/h", "-Help"}) {
    TCommandLine s;
    EXPECT_EQ(Parse({arg}, s), TCommandAction::ShowHelp) << arg;
  }
  // A value option is never read as a switch, though "/h" is in it, with one
  // dash or two; nor is an argument that merely contains "/h".
  TCommandLine s;
  EXPECT_EQ(Parse({"-db=/home/vx/server.db", "-log=/var/-ver/x", "--ini=/home/vx/server.ini",
                   "--Foreground"},
                  s),
            TCommandAction::Run);
  EXPECT_EQ(s.DatabasePath, "/home/vx/server.db");
  EXPECT_EQ(s.IniPath, "/home/vx/server.ini");
  EXPECT_TRUE(s.Foreground);
  // Unknown arguments are ignored, and listed for a line each on stderr.
  EXPECT_EQ(Parse({"--foo", "/home/x", "-Hilfe"}, s), TCommandAction::Run);
  EXPECT_EQ(s.UnknownArguments, (std::vector<std::string>{"--foo", "/home/x", "-Hilfe"}));
  EXPECT_EQ(UnknownArgumentLine("--foo"), "Unknown option ignored: --foo");
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

  // Installed pages serve when the working folder has none of its own.
  const std::string scratch = ::testing::TempDir() + "vx-docs-" + std::to_string(getpid());
  std::filesystem::create_directories(scratch);
  TCommandLine installed;
  ApplyDefaultPaths(installed, scratch, "/usr/share/vorlantix/httpdocs");
  EXPECT_EQ(installed.HttpDocsPath, "/usr/share/vorlantix/httpdocs");
  std::filesystem::create_directories(scratch + "/httpdocs");
  TCommandLine local;
  ApplyDefaultPaths(local, scratch, "/usr/share/vorlantix/httpdocs");
  EXPECT_EQ(local.HttpDocsPath, scratch + "/httpdocs");
  std::filesystem::remove_all(scratch);
}

}  // namespace
}  // namespace vx
