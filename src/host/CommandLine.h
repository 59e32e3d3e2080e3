// The program's command line: file locations, the administrator password,
// and the version and help switches.
#pragma once

#include <string>
#include <vector>

namespace vx {

constexpr int ProgramVersionMajor = 2;
constexpr int ProgramVersionMinor = 0;
constexpr int ProgramVersionRelease = 18;
constexpr int ProgramVersionBuild = 31;

// "2.0.18.31"
std::string VersionText();
// "Version Vorlantix2 v2.0.18.31 " (without line end)
std::string VersionLine();
// The help text, every line with its line end.
std::string HelpText();

struct TCommandLine {
  std::string DatabasePath;
  std::string IniPath;
  std::string LogPath;
  std::string PidPath;
  std::string HttpDocsPath;
  std::string AdminPassword;
  // "-foreground": run without forking, for service managers and containers.
  bool Foreground = false;
  // Arguments that matched no option, in order; they are ignored.
  std::vector<std::string> UnknownArguments;
};

enum class TCommandAction { Run, ShowVersion, ShowHelp };

// Reads the arguments (without the program name) in order. Stops at the
// first version or help switch and returns what it asks for. Value options
// and "-foreground" may be written with one or two leading dashes.
TCommandAction ParseCommandLine(const std::vector<std::string>& args, TCommandLine& settings);

// Fills the unset paths with "<cwd>/server.db", "<cwd>/server.ini",
// "<cwd>/server.log" and "<cwd>/httpdocs". The pid file has no default.
// When installedDocs is given and the working folder holds no "httpdocs",
// the pages are taken from installedDocs instead.
void ApplyDefaultPaths(TCommandLine& settings, const std::string& currentDir,
                       const std::string& installedDocs = "");

// The installed pages: "share/vorlantix/httpdocs" beside the "bin" folder
// of the running program; empty when there is no such folder.
std::string InstalledHttpDocs();

// The line written to standard error for an argument that matched nothing.
std::string UnknownArgumentLine(const std::string& argument);

// The working directory, for the defaults ("." when it cannot be read).
std::string CurrentDirectory();

// The process-wide settings and the arguments they were read from, so that
// the server manager can read the command line again at startup.
TCommandLine& ProcessSettings();
std::vector<std::string>& ProcessArguments();

}  // namespace vx
