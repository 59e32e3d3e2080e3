// The console's servers: the virtual servers the configuration lists or
// that run, and adding, starting, stopping and restarting them through the
// operations the query port uses.
#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "admin/serveradmin_u.h"
#include "admin/webconsole_html.h"
#include "admin/webconsole_u.h"

namespace vx {

namespace {

std::string ServerForm(const char* action, const std::string& token, const std::string& section,
                       const char* label, const char* style) {
  return PostForm(action, token) + HiddenField("server", section) +
         "<button class=\"button small " + style + "\" type=\"submit\">" + label +
         "<span class=\"visually-hidden\"> " + HTMLEscape(section) + "</span></button></form>";
}

std::string ResultWords(TServerAdminResult result) {
  switch (result) {
    case TServerAdminResult::Done:
      return "done";
    case TServerAdminResult::InvalidPort:
      return "the UDP port must be a number from 1 to 65535";
    case TServerAdminResult::PortRunning:
      return "a running server uses that UDP port already";
    case TServerAdminResult::InvalidName:
      return "the name must not be empty nor hold brackets, backslashes or control characters";
    case TServerAdminResult::NotFound:
      return "there is no such server";
    case TServerAdminResult::AlreadyRunning:
      return "the server is running already";
    case TServerAdminResult::StartFailed:
      return "the server could not be started (is its UDP port free?); see the log";
    case TServerAdminResult::SaveFailed:
      return "the configuration file could not be saved; see the log";
  }
  return "failed";
}

}  // namespace

std::string TWebConsole::ServerRows(const THTTPSession& session, const std::string& token) {
  std::vector<std::string> sections = ConfiguredServers();
  const TServerList running = Manager.ServerList();
  for (const auto& [name, server] : running) {
    if (std::find(sections.begin(), sections.end(), name) == sections.end()) {
      sections.push_back(name);
    }
  }
  const std::string own = session.Value("serverid");
  std::string html =
      "<div class=\"table-wrap\"><table class=\"stack\" id=\"servers\"><thead><tr>"
      "<th scope=\"col\">Server</th><th scope=\"col\">Name</th><th scope=\"col\">UDP port</th>"
      "<th scope=\"col\">Status</th><th scope=\"col\">Players</th>"
      "<th scope=\"col\"><span class=\"visually-hidden\">Actions</span></th></tr></thead><tbody>";
  for (const std::string& section : sections) {
    std::shared_ptr<TServerObject> server;
    for (const auto& [name, s] : running) {
      if (name == section) server = s;
    }
    html += "<tr><td data-label=\"Server\" class=\"mono\">" + HTMLEscape(section) + "</td>";
    if (server) {
      size_t players = 0;
      {
        TLockGuard<TMutex> lock(server->Players.Lock);
        players = server->Players.Items.size();
      }
      html += "<td data-label=\"Name\">" + HTMLEscape(server->Settings()->ServerName) +
              "</td><td data-label=\"UDP port\">" +
              std::to_string(server->Settings()->ServerUDPPort) +
              "</td><td data-label=\"Status\"><span class=\"badge badge-on\">running</span>" +
              (section == own ? " <span class=\"badge\">signed in here</span>" : "") +
              "</td><td data-label=\"Players\" class=\"num\">" + std::to_string(players) +
              "</td><td class=\"row-actions-cell\"><div class=\"row-actions\">" +
              ServerForm("SERVER_RESTART.VXCMD", token, section, "Restart", "secondary");
      // The server this session administers stays up: stopping it would lock
      // the session out.
      if (section != own) {
        html += ServerForm("SERVER_STOP.VXCMD", token, section, "Stop", "danger");
      }
      html += "</div></td></tr>";
    } else {
      html +=
          "<td data-label=\"Name\">&ndash;</td><td data-label=\"UDP port\">&ndash;</td>"
          "<td data-label=\"Status\"><span class=\"badge badge-off\">stopped</span></td>"
          "<td data-label=\"Players\" class=\"num\">&ndash;</td><td class=\"row-actions-cell\">"
          "<div class=\"row-actions\">" +
          ServerForm("SERVER_START.VXCMD", token, section, "Start", "") + "</div></td></tr>";
    }
  }
  return html + "</tbody></table></div>";
}

// --- Actions ------------------------------------------------------------------

TWebConsole::TOutcome TWebConsole::ActServerAdd(TActionContext& c) {
  const std::string name = TrimText(c.Request.Param("name"));
  int64_t port = 0;
  if (!ParseFormNumber(TrimText(c.Request.Param("port")), port) || port <= 0 || port > 65535) {
    return {false, ResultWords(TServerAdminResult::InvalidPort), {}};
  }
  std::unique_lock settings(SettingsLock());
  const TServerAdminResult result = AddServer(Manager, name, int32_t(port));
  if (result != TServerAdminResult::Done) return {false, ResultWords(result), {}};
  return {true,
          "The server " + ServerSectionName(name) + " was added on UDP port " +
              std::to_string(port) + " and started.",
          {}};
}

TWebConsole::TOutcome TWebConsole::ActServerStart(TActionContext& c) {
  const std::string section = c.Request.Param("server");
  std::unique_lock settings(SettingsLock());
  const TServerAdminResult result = StartServer(Manager, section);
  if (result != TServerAdminResult::Done) return {false, ResultWords(result), {}};
  return {true, "The server " + section + " was started.", {}};
}

TWebConsole::TOutcome TWebConsole::ActServerStop(TActionContext& c) {
  const std::string section = c.Request.Param("server");
  if (section == c.Session.Value("serverid")) {
    return {false, "this session administers that server; sign in to another one to stop it", {}};
  }
  std::unique_lock settings(SettingsLock());
  const TServerAdminResult result = StopServer(Manager, section);
  if (result != TServerAdminResult::Done) return {false, ResultWords(result), {}};
  return {true, "The server " + section + " was stopped.", {}};
}

TWebConsole::TOutcome TWebConsole::ActServerRestart(TActionContext& c) {
  const std::string section = c.Request.Param("server");
  std::unique_lock settings(SettingsLock());
  const TServerAdminResult result = RestartServer(Manager, section);
  if (result != TServerAdminResult::Done) return {false, ResultWords(result), {}};
  return {true, "The server " + section + " was restarted; its players were disconnected.", {}};
}

}  // namespace vx
