#include "host/CommandLine.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
#include <string_view>
#include <system_error>

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

// The option without its leading dash, when it has one or two of them
// ("-DB=x" and "--DB=x" both give "DB=x"); empty otherwise.
std::string_view OptionBody(std::string_view upperArg) {
  if (upperArg.substr(0, 1) != "-") return {};
  upperArg.remove_prefix(upperArg.substr(0, 2) == "--" ? 2 : 1);
  return upperArg;
}

// "-?", "-h", "--help", "/?", "/h", "/help" and the like: the whole argument
// is the switch, so a path that merely contains "/h" is not one.
bool IsHelpSwitch(std::string_view upperArg) {
  size_t lead = 0;
  while (lead < upperArg.size() && lead < 2 && (upperArg[lead] == '-' || upperArg[lead] == '/'))
    ++lead;
  if (lead == 0) return false;
  const std::string_view name = upperArg.substr(lead);
  return name == "?" || name == "H" || name == "HELP";
}

}  // namespace

TCommandAction ParseCommandLine(const std::vector<std::string>& args, TCommandLine& settings) {
  struct TValueOption {
    std::string_view Prefix;
    std::string TCommandLine::*Field;
    bool Trim;
  };
  static const std::array<TValueOption, 6> valueOptions{{
      {"INI=", &TCommandLine::IniPath, false},
      {"DB=", &TCommandLine::DatabasePath, false},
      {"LOG=", &TCommandLine::LogPath, false},
      {"PID=", &TCommandLine::PidPath, false},
      {"ADMINPW=", &TCommandLine::AdminPassword, true},
      {"HTTPDOCS=", &TCommandLine::HttpDocsPath, true},
  }};

  for (const std::string& arg : args) {
    const std::string upper = UpperCaseAscii(arg);
    const std::string_view body = OptionBody(upper);
    bool matched = false;
    for (const TValueOption& option : valueOptions) {
      if (body.substr(0, option.Prefix.size()) == option.Prefix) {
        std::string value = arg.substr(arg.size() - body.size() + option.Prefix.size());
        settings.*option.Field = option.Trim ? TrimText(value) : value;
        matched = true;
        break;
      }
    }
    if (matched) continue;
    if (body == "FOREGROUND") {
      settings.Foreground = true;
      continue;
    }
    if (upper.find("-VER") != std::string::npos) return TCommandAction::ShowVersion;
    if (IsHelpSwitch(upper)) return TCommandAction::ShowHelp;
    settings.UnknownArguments.push_back(arg);
  }
  return TCommandAction::Run;
}

void ApplyDefaultPaths(TCommandLine& settings, const std::string& currentDir,
                       const std::string& installedDocs) {
  auto fill = [&](std::string& field, const char* name) {
    if (field.empty()) field = currentDir + "/" + name;
  };
  fill(settings.DatabasePath, "server.db");
  fill(settings.IniPath, "server.ini");
  fill(settings.LogPath, "server.log");
  if (settings.HttpDocsPath.empty() && !installedDocs.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(currentDir + "/httpdocs", ec))
      settings.HttpDocsPath = installedDocs;
  }
  fill(settings.HttpDocsPath, "httpdocs");
}

std::string InstalledHttpDocs() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  const std::filesystem::path docs =
      program.parent_path().parent_path() / "share" / "vorlantix" / "httpdocs";
  return std::filesystem::is_directory(docs, ec) ? docs.string() : "";
}

std::string UnknownArgumentLine(const std::string& argument) {
  return "Unknown option ignored: " + argument;
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
