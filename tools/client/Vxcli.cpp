// vxcli: logs in to a virtual server, shows what the server tells a new
// player (verdict, server, welcome message, channel tree, players) and quits.
#include "client/Vxcli.h"

#include <charconv>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "client/Client.h"
#include "common/TextN.h"

namespace vx::client {

namespace {

struct TOptions {
  std::string Host;
  uint16_t Port = 0;
  std::string NickName;
  std::string LogInName;
  std::optional<std::string> PassWord;
  std::optional<std::string> ServerPassword;
  TLoginStep3 Step3;
  int TimeoutMs = 5000;
  int StayMs = 0;
};

const char* const UsageText =
    "usage: vxcli HOST:PORT [--nick N] [--login L --password P] [--server-password P]\n"
    "             [--channel C [--subchannel S] [--channel-password P]] [--timeout SECONDS]\n"
    "             [--stay SECONDS]\n";

bool ParseNumber(std::string_view text, long& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Fills options from the command line; an error text when it is wrong.
std::optional<std::string> ParseCommandLine(const std::vector<std::string>& arguments,
                                            TOptions& options) {
  const std::vector<std::string_view> args(arguments.begin(), arguments.end());
  if (args.empty()) return "missing HOST:PORT";
  const std::string_view target = args[0];
  const size_t colon = target.rfind(':');
  long port = 0;
  if (colon == std::string_view::npos || colon == 0 ||
      !ParseNumber(target.substr(colon + 1), port) || port < 1 || port > 65535)
    return "expected HOST:PORT, got \"" + std::string(target) + "\"";
  options.Host = std::string(target.substr(0, colon));
  options.Port = uint16_t(port);

  const std::map<std::string_view, std::string*> textOptions = {
      {"--nick", &options.NickName},
      {"--login", &options.LogInName},
      {"--channel", &options.Step3.Channel},
      {"--subchannel", &options.Step3.SubChannel},
      {"--channel-password", &options.Step3.ChannelPassword},
  };
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string_view name = args[i];
    if (i + 1 >= args.size()) return "missing value after " + std::string(name);
    const std::string value(args[++i]);
    if (auto it = textOptions.find(name); it != textOptions.end()) {
      *it->second = value;
    } else if (name == "--password") {
      options.PassWord = value;
    } else if (name == "--server-password") {
      options.ServerPassword = value;
    } else if (name == "--timeout") {
      long seconds = 0;
      if (!ParseNumber(value, seconds) || seconds < 1 || seconds > 3600)
        return "--timeout takes 1 to 3600 seconds";
      options.TimeoutMs = int(seconds * 1000);
    } else if (name == "--stay") {
      long seconds = 0;
      if (!ParseNumber(value, seconds) || seconds < 1 || seconds > 86400)
        return "--stay takes 1 to 86400 seconds";
      options.StayMs = int(seconds * 1000);
    } else {
      return "unknown option " + std::string(name);
    }
  }
  if (options.LogInName.empty() != !options.PassWord.has_value())
    return "--login and --password go together";
  // The request carries one password: the account's, or the server's.
  if (!options.LogInName.empty() && options.ServerPassword)
    return "--server-password is for an anonymous login; an account login uses --password";
  if (options.NickName.empty())
    options.NickName = options.LogInName.empty() ? "vxcli" : options.LogInName;
  return {};
}

// Server texts are shown with control characters replaced.
std::string Printable(std::string_view text, bool keepLineBreaks = false) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && !(keepLineBreaks && (c == '\n' || c == '\t'))) || byte == 0x7F) c = '?';
  }
  return out;
}

void PrintChannel(std::ostream& out, const TChannelEntry& channel, int depth) {
  out << std::string(size_t(2 + 2 * depth), ' ') << Printable(channel.Name) << " [id "
      << channel.ChannelID << "]";
  if (!channel.Topic.empty()) out << " - " << Printable(channel.Topic);
  out << "\n";
}

// Top-level channels with their sub-channels indented below them. A channel
// whose parent is missing is shown at the top level; a deeper or circular
// tree from a confused server is cut, but every channel is shown once.
void PrintChannelTree(std::ostream& out, const std::vector<TChannelEntry>& channels) {
  out << "Channels (" << channels.size() << "):\n";
  std::vector<bool> shown(channels.size(), false);
  auto known = [&](int32_t id) {
    for (const auto& c : channels)
      if (c.ChannelID == id) return true;
    return false;
  };
  constexpr int MaxDepth = 4;
  auto showBelow = [&](auto& self, int32_t parent, int depth) -> void {
    for (size_t i = 0; i < channels.size(); ++i) {
      if (shown[i] || channels[i].Parent != parent || channels[i].ChannelID == parent) continue;
      shown[i] = true;
      PrintChannel(out, channels[i], depth);
      if (depth < MaxDepth) self(self, channels[i].ChannelID, depth + 1);
    }
  };
  for (size_t i = 0; i < channels.size(); ++i) {
    const auto& channel = channels[i];
    const bool topLevel =
        channel.Parent == -1 || channel.Parent == channel.ChannelID || !known(channel.Parent);
    if (shown[i] || !topLevel) continue;
    shown[i] = true;
    PrintChannel(out, channel, 0);
    showBelow(showBelow, channel.ChannelID, 1);
  }
  for (size_t i = 0; i < channels.size(); ++i)
    if (!shown[i]) PrintChannel(out, channels[i], 0);
}

void PrintPlayers(std::ostream& out, const std::vector<TPlayerEntry>& players,
                  const std::vector<TChannelEntry>& channels) {
  out << "Players (" << players.size() << "):\n";
  for (const auto& player : players) {
    std::string where = "channel " + std::to_string(player.ChannelID);
    for (const auto& c : channels)
      if (c.ChannelID == player.ChannelID) where = Printable(c.Name);
    out << "  " << Printable(player.NickName) << " [id " << player.PlayerID << "] in " << where
        << "\n";
  }
}

int Run(const TOptions& options, std::ostream& out, std::ostream& err) {
  TClient client;
  client.Open(options.Host, options.Port);

  TLoginRequest request;
  request.ClientName = "vxcli";
  request.NickName = options.NickName;
  request.LogInName = options.LogInName;
  request.PassWord = options.LogInName.empty() ? options.ServerPassword.value_or("")
                                               : options.PassWord.value_or("");
  const auto reply = client.Login(request, options.TimeoutMs);
  if (!reply) {
    err << "vxcli: no answer from " << options.Host << ":" << options.Port << " within "
        << options.TimeoutMs / 1000 << " s\n";
    return VXCLI_NOANSWER;
  }
  out << "Login: " << reply->Result << " (" << LoginResultText(reply->Result) << ")\n";
  if (reply->Result != LOGIN_ACCEPTED) return VXCLI_REFUSED;

  out << "Server: " << Printable(reply->ServerName) << "\n"
      << "Platform: " << Printable(reply->ServerPlatform) << "\n"
      << "Version: " << reply->VersionMajor << "." << reply->VersionMinor << "."
      << reply->VersionRelease << "." << reply->VersionBuild << "\n"
      << "Players at most: " << reply->MaxUsers << "\n"
      << "Player id: " << reply->PlayerID << "\n"
      << "Welcome: " << Printable(reply->WelcomeMessage, true) << "\n";

  if (!client.EnterServer(options.Step3, options.TimeoutMs)) {
    err << "vxcli: the channel and player lists did not arrive in time\n";
    client.Quit(options.TimeoutMs);
    return VXCLI_NOANSWER;
  }
  PrintChannelTree(out, client.Channels());
  PrintPlayers(out, client.Players(), client.Channels());

  if (options.StayMs > 0) {
    out << "Staying online for " << options.StayMs / 1000 << " s.\n" << std::flush;
    const uint32_t self = reply->PlayerID;
    std::optional<TPacket> removal;
    client.WaitFor(
        [&] {
          // Every other notice is taken and dropped; the own departure ends the stay.
          while (auto command = client.Session().TakeCommand()) {
            if (CommandCode(*command) == cmd::CMD_sc_NotifyPlayerLeftScope &&
                NotifiedPlayerID(*command) == self) {
              removal = std::move(command);
              return true;
            }
          }
          return false;
        },
        options.StayMs);
    if (removal) {
      const uint8_t* p = removal->Data();
      out << "Removed by the server: reason " << GetLE16(p + TNotifyPlayerLeftScopeLayout::Reason)
          << ", \""
          << Printable(GetTextN(p + TNotifyPlayerLeftScopeLayout::ReasonText, ShortTextSize))
          << "\"\n";
      return VXCLI_REMOVED;
    }
  }

  if (!client.Quit(options.TimeoutMs)) {
    err << "vxcli: the server did not confirm the quit\n";
    return VXCLI_NOQUIT;
  }
  out << "Quit.\n";
  return VXCLI_OK;
}

}  // namespace

int RunVxcli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    out << UsageText;
    return VXCLI_OK;
  }
  TOptions options;
  if (auto error = ParseCommandLine(args, options)) {
    err << "vxcli: " << *error << "\n" << UsageText;
    return VXCLI_USAGE;
  }
  try {
    return Run(options, out, err);
  } catch (const std::exception& e) {
    err << "vxcli: " << e.what() << "\n";
    return VXCLI_NETWORK;
  }
}

}  // namespace vx::client
