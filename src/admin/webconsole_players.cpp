// The console's players: the list of the players online, the page of one
// player, and kicking, moving and privileges through the player commands'
// own operations.
#include <mutex>
#include <shared_mutex>

#include "admin/webconsole_html.h"
#include "admin/webconsole_u.h"
#include "domain/channelcommands_u.h"
#include "domain/permissions_u.h"
#include "domain/playercommands_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace {

struct TPrivilegeName {
  uint8_t Bit;
  const char* Name;
  const char* Meaning;
};

const TPrivilegeName ChannelPrivilegeNames[] = {
    {0, "Channel administrator", "Administers the channel family."},
    {1, "Operator", "May kick and give voice in the channel."},
    {2, "Voice", "May speak in a moderated channel."},
    {3, "Automatic operator", "Becomes operator on entering the channel family (accounts only)."},
    {4, "Automatic voice", "Gets voice on entering the channel family (accounts only)."},
};

const TPrivilegeName ServerPrivilegeNames[] = {
    {0, "Server administrator", "Administers the whole server."},
    {1, "May register", "May register an account while only administrators may."},
    {2, "Registered", "Logged in with an account. Revoking it deletes the account."},
};

// The names whose condition holds, joined by commas; "none" without any.
std::string Words(std::initializer_list<std::pair<bool, const char*>> names) {
  std::string words;
  for (const auto& [held, name] : names) {
    if (!held) continue;
    if (!words.empty()) words += ", ";
    words += name;
  }
  return words.empty() ? "none" : words;
}

std::string PrivilegeWords(const TClientObject& p) {
  return Words({{(p.Priviliges & SERVERPRIV_ADMIN) != 0, "server administrator"},
                {(p.Priviliges & SERVERPRIV_ALLOWREGISTER) != 0, "may register"},
                {(p.ChannelPrivileges & CHANPRIV_ADMIN) != 0, "channel administrator"},
                {(p.ChannelPrivileges & CHANPRIV_OPERATOR) != 0, "operator"},
                {(p.ChannelPrivileges & CHANPRIV_VOICE) != 0, "voice"},
                {(p.ChannelPrivileges & CHANPRIV_AUTOOPERATOR) != 0, "automatic operator"},
                {(p.ChannelPrivileges & CHANPRIV_AUTOVOICE) != 0, "automatic voice"}});
}

std::string FlagWords(const TClientObject& p) {
  return Words({{(p.PlayerFlags & PLAYERFLAG_REQUESTVOICE) != 0, "asks for voice"},
                {(p.PlayerFlags & PLAYERFLAG_BLOCKWHISPERS) != 0, "blocks whispers"},
                {(p.PlayerFlags & PLAYERFLAG_KEEPINTREE) != 0, "stays in the channel family"}});
}

std::string AccountWords(const TClientObject& player) {
  return (player.Priviliges & SERVERPRIV_REGISTERED) != 0 ? HTMLEscape(player.LogInName)
                                                          : std::string("guest");
}

std::string ChannelName(const TChannels& channels, int32_t channelID) {
  const TChannelRec* channel = channels.GetChannelByID(channelID);
  return channel != nullptr ? channel->Name : "channel " + std::to_string(channelID);
}

// What the connection buffer knows of the player's connection.
struct TConnectionFigures {
  std::string Address;
  uint16_t Ping = 0;
  uint16_t Loss = 0;  // 1/100 percent
};

TConnectionFigures ConnectionOf(const TServerObject& server, uint32_t playerID) {
  TConnectionFigures figures;
  uint32_t connectionID = 0, packetsSent = 0, bytesSent = 0, packetsReceived = 0, bytesReceived = 0;
  uint16_t port = 0;
  if (server.PacketBuffer &&
      server.PacketBuffer->GetConnectionInfo(playerID, connectionID, packetsSent, bytesSent,
                                             packetsReceived, bytesReceived, figures.Address, port,
                                             figures.Loss, figures.Ping)) {
    figures.Address += ":" + std::to_string(port);
  }
  return figures;
}

std::string LossText(uint16_t loss) {
  return std::to_string(loss / 100) + "." + std::to_string(loss % 100 / 10) +
         std::to_string(loss % 10) + " %";
}

// The channel options of a move: every channel, sub-channels below their
// parents, the player's own channel selected.
std::string ChannelOptions(const TChannels& channels, int32_t selected) {
  std::string options;
  const auto option = [&](const TChannelRec& c, const char* indent) {
    options += "<option value=\"" + std::to_string(c.ChannelID) + "\"" +
               (c.ChannelID == selected ? " selected" : "") + ">" + indent + HTMLEscape(c.Name) +
               "</option>";
  };
  for (const auto& top : channels.Channels()) {
    if (!top || !top->IsTopLevel()) continue;
    option(*top, "");
    for (const auto& sub : channels.Channels()) {
      if (sub && sub->Parent == top->ChannelID) option(*sub, "&nbsp;&nbsp;&ndash; ");
    }
  }
  return options;
}

std::string PrivilegeList(const char* set, const TPrivilegeName* names, size_t count, uint16_t held,
                          uint32_t playerID, const std::string& token) {
  std::string html = "<ul class=\"privileges\">";
  for (size_t i = 0; i < count; ++i) {
    const TPrivilegeName& p = names[i];
    const bool has = (held & (1u << p.Bit)) != 0;
    html += "<li><div><strong>" + std::string(p.Name) + "</strong> <span class=\"badge" +
            (has ? " badge-on\">held" : "\">not held") + "</span><p class=\"hint\">" + p.Meaning +
            "</p></div>" + PostForm("PLAYER_PRIVILEGE.VXCMD", token) +
            HiddenField("player", std::to_string(playerID)) + HiddenField("set", set) +
            HiddenField("bit", std::to_string(p.Bit)) +
            HiddenField("action", has ? "revoke" : "grant") + "<button class=\"button small" +
            (has ? " secondary\" type=\"submit\">Revoke" : "\" type=\"submit\">Grant") +
            "<span class=\"visually-hidden\"> " + p.Name + "</span></button></form></li>";
  }
  return html + "</ul>";
}

}  // namespace

std::string TWebConsole::PlayerRows(TServerObject& server, const TRights& rights) {
  const TServerPlayersLock locked(server);
  if (!locked.Running()) return "<p>The server is not running.</p>";
  if (server.Players.Items.empty()) return "<p class=\"empty\">Nobody is online.</p>";
  const std::string& format = Manager.MainConfig.DateTimeFormat;
  std::string html =
      "<div class=\"table-wrap\"><table class=\"stack\" id=\"players\"><thead><tr>"
      "<th scope=\"col\">Nickname</th><th scope=\"col\">Account</th>"
      "<th scope=\"col\">Channel</th><th scope=\"col\">Flags</th>"
      "<th scope=\"col\">Privileges</th><th scope=\"col\">Connected since</th>"
      "<th scope=\"col\">Ping</th><th scope=\"col\">Loss</th>";
  const bool showAddress = rights.ServerAdmin || rights.SuperAdmin;
  if (showAddress) html += "<th scope=\"col\">Address</th>";
  html +=
      "<th scope=\"col\"><span class=\"visually-hidden\">Actions</span></th></tr></thead><tbody>";
  for (const auto& player : server.Players.Items) {
    if (!player) continue;
    const TClientObject& p = *player;
    const TConnectionFigures connection = ConnectionOf(server, p.PlayerID);
    const std::string link = "player.html?player=" + std::to_string(p.PlayerID);
    html += "<tr><td data-label=\"Nickname\"><a href=\"" + link + "\"><strong>" +
            HTMLEscape(p.NickName) + "</strong></a></td>";
    html += "<td data-label=\"Account\">" + AccountWords(p) + "</td>";
    html += "<td data-label=\"Channel\">" + HTMLEscape(ChannelName(*server.Channels, p.ChannelID)) +
            "</td>";
    html += "<td data-label=\"Flags\">" + FlagWords(p) + "</td>";
    html += "<td data-label=\"Privileges\">" + PrivilegeWords(p) + "</td>";
    html +=
        "<td data-label=\"Connected since\">" + HTMLEscape(p.LoginTime.Format(format)) + "</td>";
    html += "<td data-label=\"Ping\" class=\"num\">" + std::to_string(connection.Ping) + " ms</td>";
    html += "<td data-label=\"Loss\" class=\"num\">" + LossText(connection.Loss) + "</td>";
    if (showAddress) {
      html +=
          "<td data-label=\"Address\" class=\"mono\">" + HTMLEscape(connection.Address) + "</td>";
    }
    html += "<td class=\"row-actions-cell\"><a class=\"button secondary small\" href=\"" + link +
            "\">Manage<span class=\"visually-hidden\"> " + HTMLEscape(p.NickName) +
            "</span></a></td></tr>";
  }
  return html + "</tbody></table></div>";
}

std::string TWebConsole::PlayerPanel(TServerObject& server, THTTPRequestInfo& request,
                                     const TRights& rights, const std::string& token) {
  const TServerPlayersLock locked(server);
  int64_t id = 0;
  const TClientObject* player = nullptr;
  if (locked.Running() && ParseFormNumber(request.Param("player"), id) && id > 0 &&
      id <= int64_t(UINT32_MAX)) {
    player = FindPlayer(server, uint32_t(id));
  }
  if (player == nullptr) {
    return "<div class=\"page-head\"><div><h1>Player</h1></div></div><section class=\"card\"><p>"
           "There is no player with the id &ldquo;" +
           HTMLEscape(request.Param("player")) +
           "&rdquo; online on this server; the player may have left.</p><div class=\"actions\">"
           "<a class=\"button secondary\" href=\"players.html\">Back to "
           "players</a></div></section>";
  }
  const TClientObject& p = *player;
  const TChannels& channels = *server.Channels;
  const TConnectionFigures connection = ConnectionOf(server, p.PlayerID);
  const std::string playerField = HiddenField("player", std::to_string(p.PlayerID));
  const std::string nick = HTMLEscape(p.NickName);
  std::string html = "<div class=\"page-head\"><div><h1>" + nick + "</h1><p class=\"lead\">In " +
                     HTMLEscape(ChannelName(channels, p.ChannelID)) +
                     "</p></div><a class=\"button secondary\" href=\"players.html\">Back to "
                     "players</a></div><div class=\"grid-2\">";
  html +=
      "<section class=\"card\" aria-labelledby=\"details-heading\"><h2 id=\"details-heading\">"
      "Details</h2><dl class=\"details\">";
  const auto row = [&html](const char* term, const std::string& value) {
    html += "<dt>" + std::string(term) + "</dt><dd>" + value + "</dd>";
  };
  row("Player id", std::to_string(p.PlayerID));
  row("Account", AccountWords(p));
  row("Channel", HTMLEscape(ChannelName(channels, p.ChannelID)));
  row("Flags", FlagWords(p));
  row("Privileges", PrivilegeWords(p));
  row("Connected since", HTMLEscape(p.LoginTime.Format(Manager.MainConfig.DateTimeFormat)));
  row("Ping", std::to_string(connection.Ping) + " ms");
  row("Loss", LossText(connection.Loss));
  row("Client", HTMLEscape(p.ClientName) + " " + std::to_string(p.ClientVersionMajor) + "." +
                    std::to_string(p.ClientVersionMinor) + "." +
                    std::to_string(p.ClientVersionRelease) + "." +
                    std::to_string(p.ClientVersionBuild));
  if (rights.ServerAdmin || rights.SuperAdmin) {
    row("Address", "<span class=\"mono\">" + HTMLEscape(connection.Address) + "</span>");
  }
  html += "</dl></section>";

  html +=
      "<section class=\"card\" aria-labelledby=\"act-heading\"><h2 id=\"act-heading\">Move "
      "or kick</h2>";
  html += PostForm("PLAYER_MOVE.VXCMD", token) + playerField +
          "<div class=\"field\"><label for=\"move-channel\">Move to channel</label><select "
          "id=\"move-channel\" name=\"channel\">" +
          ChannelOptions(channels, p.ChannelID) +
          "</select></div><div class=\"actions\"><button class=\"button\" type=\"submit\">Move "
          "player</button></div></form>";
  html += PostForm("PLAYER_KICK.VXCMD", token, "separated") + playerField +
          "<div class=\"field\"><label for=\"kick-reason\">Reason</label><input "
          "id=\"kick-reason\" name=\"reason\" type=\"text\" maxlength=\"29\" "
          "autocomplete=\"off\"><span class=\"hint\">Shown to the players.</span></div>"
          "<div class=\"actions\"><button class=\"button danger\" type=\"submit\">Kick from the "
          "server</button><button class=\"button secondary\" type=\"submit\" "
          "formaction=\"PLAYER_KICK_CHANNEL.VXCMD\">Kick from the channel</button></div></form>";
  html += "</section></div>";

  html +=
      "<section class=\"card\" aria-labelledby=\"channel-priv-heading\"><h2 "
      "id=\"channel-priv-heading\">Privileges in the channel</h2>" +
      PrivilegeList("channel", ChannelPrivilegeNames, std::size(ChannelPrivilegeNames),
                    p.ChannelPrivileges, p.PlayerID, token) +
      "</section>";
  html +=
      "<section class=\"card\" aria-labelledby=\"server-priv-heading\"><h2 "
      "id=\"server-priv-heading\">Privileges on the server</h2>" +
      PrivilegeList("server", ServerPrivilegeNames, std::size(ServerPrivilegeNames), p.Priviliges,
                    p.PlayerID, token) +
      "</section>";
  return html;
}

// --- Actions ------------------------------------------------------------------

namespace {

// The player a form names, or 0.
uint32_t FormPlayer(const THTTPRequestInfo& request) {
  int64_t id = 0;
  if (!ParseFormNumber(request.Param("player"), id) || id <= 0 || id > int64_t(UINT32_MAX)) {
    return 0;
  }
  return uint32_t(id);
}

std::string PlayerPage(uint32_t playerID) {
  return "player.html?player=" + std::to_string(playerID);
}

std::string Refused(int32_t error) {
  return RefusalText(error) + " (error " + std::to_string(error) + ")";
}

}  // namespace

TWebConsole::TOutcome TWebConsole::OnPlayer(TActionContext& c, const TPlayerAction& act) {
  std::shared_lock settings(SettingsLock());
  const TServerPlayersLock locked(*c.Server);
  if (!locked.Running()) return {false, "the server is not running", {}};
  const uint32_t id = FormPlayer(c.Request);
  const TClientObject* player = FindPlayer(*c.Server, id);
  const std::string nick = player != nullptr ? player->NickName : "player " + std::to_string(id);
  TOutcome outcome{true, nick, PlayerPage(id)};
  const int32_t result = act(id, outcome);
  if (result != 0) {
    // Back to the player while there is one.
    return {false, Refused(result), player != nullptr ? PlayerPage(id) : ""};
  }
  return outcome;
}

TWebConsole::TOutcome TWebConsole::ActKick(TActionContext& c) {
  const std::string reason = CutText(c.Request.Param("reason"), TClientObject::TextFieldSize);
  return OnPlayer(
      c, [&](uint32_t id, TOutcome& done) VX_REQUIRES(c.Server->Players.Lock, *c.Server->Channels) {
        done.Words += " was kicked from the server.";
        done.Back = "players.html";
        return KickPlayer(*c.Server, c.Actor, id, reason);
      });
}

TWebConsole::TOutcome TWebConsole::ActKickFromChannel(TActionContext& c) {
  const std::string reason = CutText(c.Request.Param("reason"), TClientObject::TextFieldSize);
  return OnPlayer(
      c, [&](uint32_t id, TOutcome& done) VX_REQUIRES(c.Server->Players.Lock, *c.Server->Channels) {
        done.Words += " was kicked to the default channel.";
        return KickPlayerFromChannel(*c.Server, c.Actor, id, reason);
      });
}

TWebConsole::TOutcome TWebConsole::ActMove(TActionContext& c) {
  int64_t channel = -1;
  if (!ParseFormNumber(c.Request.Param("channel"), channel) || channel < 0 || channel > INT32_MAX) {
    channel = -1;
  }
  return OnPlayer(
      c, [&](uint32_t id, TOutcome& done) VX_REQUIRES(c.Server->Players.Lock, *c.Server->Channels) {
        const int32_t result = MovePlayer(*c.Server, c.Actor, id, int32_t(channel));
        if (result == 0) {
          done.Words += " was moved to " + ChannelName(*c.Server->Channels, int32_t(channel)) + ".";
        }
        return result;
      });
}

TWebConsole::TOutcome TWebConsole::ActPrivilege(TActionContext& c) {
  const std::string set = c.Request.Param("set");
  const std::string action = c.Request.Param("action");
  int64_t bit = -1;
  ParseFormNumber(c.Request.Param("bit"), bit);
  const TPrivilegeName* names = set == "channel" ? ChannelPrivilegeNames : ServerPrivilegeNames;
  const size_t count =
      set == "channel" ? std::size(ChannelPrivilegeNames) : std::size(ServerPrivilegeNames);
  if ((set != "channel" && set != "server") || bit < 0 || bit >= int64_t(count) ||
      (action != "grant" && action != "revoke")) {
    return {false, "there is no such privilege or action", {}};
  }
  const uint8_t actionByte = action == "grant" ? PRIVACTION_GRANT : PRIVACTION_REVOKE;
  return OnPlayer(
      c, [&](uint32_t id, TOutcome& done) VX_REQUIRES(c.Server->Players.Lock, *c.Server->Channels) {
        done.Words +=
            ": " + std::string(names[bit].Name) + (action == "grant" ? " granted." : " revoked.");
        return set == "channel"
                   ? ChangeChannelPrivilege(*c.Server, c.Actor, id, actionByte, uint8_t(bit))
                   : ChangeServerPrivilege(*c.Server, c.Actor, id, actionByte, uint8_t(bit));
      });
}

}  // namespace vx
