#include "host/CommandLine.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <string_view>

#include "common/TextTools.h"

namespace vx {

std::string VersionText() {
  return std::to_string(ProgramVersionMajor) + "." + std::to_string(ProgramVersionMinor) + "." +
         std::to_string(ProgramVersionRelease) + "." + std::to_string(ProgramVersionBuild);
}

std::string VersionLine() {
  return "Version Vorlantix2 v" + VersionText() + " ";
}

std::string HelpText() {
  return VersionLine() + "\n" +
         "Command parameters:\n"
         " -db=<path>\n"
         " -ini=<path>\n"
         " -log=<path>\n"
         " -pid=<path>\n"
         " -httpdocs=<path>\n"
         " -adminpw=<newpw>\n"
         "\n";
}

namespace {

bool StartsWithNoCase(std::string_view upperArg, std::string_view prefix) {
  return upperArg.substr(0, prefix.size()) == prefix;
}

}  // namespace

TCommandAction ParseCommandLine(const std::vector<std::string>& args, TCommandLine& settings) {
  struct TValueOption {
    std::string_view Prefix;
    std::string TCommandLine::*Field;
    bool Trim;
  };
  static const std::array<TValueOption, 6> valueOptions{{
      {"-INI=", &TCommandLine::IniPath, false},
      {"-DB=", &TCommandLine::DatabasePath, false},
      {"-LOG=", &TCommandLine::LogPath, false},
      {"-PID=", &TCommandLine::PidPath, false},
      {"-ADMINPW=", &TCommandLine::AdminPassword, true},
      {"-HTTPDOCS=", &TCommandLine::HttpDocsPath, true},
  }};
  static const std::array<std::string_view, 6> helpSwitches{"-?",    "-H", "-HELP",
                                                            "/HELP", "/?", "/H"};

  for (const std::string& arg : args) {
    const std::string upper = UpperCaseAscii(arg);
    bool matched = false;
    for (const TValueOption& option : valueOptions) {
      if (StartsWithNoCase(upper, option.Prefix)) {
        std::string value = arg.substr(option.Prefix.size());
        settings.*option.Field = option.Trim ? TrimText(value) : value;
        matched = true;
        break;
      }
    }
    if (matched) continue;
    if (upper.find("-VER") != std::string::npos) return TCommandAction::ShowVersion;
    for (std::string_view sw : helpSwitches) {
      if (upper.find(sw) != std::string::npos) return TCommandAction::ShowHelp;
    }
  }
  return TCommandAction::Run;
}

void ApplyDefaultPaths(TCommandLine& settings, const std::string& currentDir) {
  auto fill = [&](std::string& field, const char* name) {
    if (field.empty()) field = currentDir + "/" + name;
  };
  fill(settings.DatabasePath, "server.db");
  fill(settings.IniPath, "server.ini");
  fill(settings.LogPath, "server.log");
  fill(settings.HttpDocsPath, "httpdocs");
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return ".";
  return buffer;
}

TCommandLine& ProcessSettings() {
  static TCommandLine settings;
  return settings;
}

std::vector<std::string>& ProcessArguments() {
  static std::vector<std::string> args;
  return args;
}

}  // namespace vx
