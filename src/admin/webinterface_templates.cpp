// The template engine of the web interface: includes, variable and
// conditional markers, the server drop-down list, the account list and the
// message boxes.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "admin/webconsole_u.h"
#include "admin/webinterface_tools.h"
#include "admin/webinterface_u.h"
#include "common/TextTools.h"
#include "domain/zevevira_users_u.h"
#include "host/ZeveVira.h"
#include "host/logdebug.h"
#include "net/HttpEncoding.h"
#include "server/serverobject_u.h"
#include "transport/PacketBuffers.h"

namespace vx {

namespace fs = std::filesystem;

namespace {

constexpr const char* LogCategory = "WEBINTERFACE";
constexpr const char* ClientListTemplate = "database_client_manager_clientlist.html";
constexpr const char* ClientListMarker = "%!SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST!%";
constexpr const char* DropDownMarker = "%!SERVERCFG_SERVER_MANAGER_SERVERDROPDOWNLIST!%";
// Longest marker looked for.
constexpr size_t MaxMarkerLength = 96;

struct TMarkerTarget {
  const std::string* Exact;
  const std::string* Value;
};

void AddMarkers(std::unordered_map<std::string, TMarkerTarget>& map, const TWebMarkers& markers) {
  for (const auto& [marker, value] : markers) {
    map.emplace(UpperCaseAscii(marker), TMarkerTarget{&marker, &value});
  }
}

// Appends text while the page stays within its size limit.
bool AppendBounded(std::string& out, std::string_view text) {
  if (out.size() + text.size() > TWebInterface::MaxPageSize) {
    out.append(text.substr(0, TWebInterface::MaxPageSize - out.size()));
    return false;
  }
  out.append(text);
  return true;
}

// A date, or "never" for the zero date that stands for none.
std::string DateOrNever(TDateTime when, const std::string& format) {
  return when.Value == 0.0 ? std::string("never") : HTMLEscape(when.Format(format));
}

struct TIncludeState {
  int Includes = 0;
  bool Full = false;
};

}  // namespace

std::string ReplaceWebMarkers(std::string_view text, const TWebMarkers& markers,
                              const TWebMarkers* more) {
  std::unordered_map<std::string, TMarkerTarget> map;
  AddMarkers(map, markers);
  if (more != nullptr) AddMarkers(map, *more);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t start = text.find('%', i);
    if (start == std::string_view::npos || start + 1 >= text.size()) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, start - i));
    const char second = text[start + 1];
    size_t end = std::string_view::npos;
    if (second == '%') {
      end = text.find("%%", start + 2);
    } else if (second == '!') {
      end = text.find("!%", start + 2);
    }
    if (end != std::string_view::npos && end + 2 - start <= MaxMarkerLength) {
      const std::string_view candidate = text.substr(start, end + 2 - start);
      const auto it = map.find(UpperCaseAscii(candidate));
      if (it != map.end() && (!it->second.Value->empty() || candidate == *it->second.Exact)) {
        out.append(*it->second.Value);
        i = end + 2;
        continue;
      }
    }
    out += '%';
    i = start + 1;
  }
  return out;
}

std::string WebUptimeText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const int64_t days = seconds / 86400;
  const int hours = int(seconds / 3600 % 24);
  const int minutes = int(seconds / 60 % 60);
  const int secs = int(seconds % 60);
  char text[64];
  if (days >= 1) {
    std::snprintf(text, sizeof text, "%" PRId64 "D %2.2d:%2.2d:%2.2d", days, hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%2.2d:%2.2d:%2.2d", hours, minutes, secs);
  }
  return text;
}

std::string SafeRelativeURL(const std::string& url) {
  // Browsers ignore blanks, tabs and line breaks inside a scheme name.
  std::string compact;
  for (const char c : url) {
    if (static_cast<unsigned char>(c) > 0x20) compact += c;
  }
  const size_t first = compact.find_first_of(":/\\?#");
  const bool hasScheme = first != std::string::npos && compact[first] == ':';
  const bool otherHost =
      compact.rfind("//", 0) == 0 || compact.rfind("\\", 0) == 0 || compact.rfind("/\\", 0) == 0;
  return hasScheme || otherHost ? std::string("index.html") : url;
}

std::string WebMessage(std::string_view pattern, std::string_view name) {
  std::string out;
  size_t i = 0;
  for (;;) {
    const size_t p = pattern.find("%1", i);
    if (p == std::string_view::npos) break;
    out.append(pattern.substr(i, p - i));
    out.append(name);
    i = p + 2;
  }
  out.append(pattern.substr(i));
  return out;
}

std::string TWebInterface::LoadFile(const std::string& name) const {
  try {
    const std::string file = DocumentFile("/" + name);
    std::error_code ec;
    if (file.empty() || !fs::is_regular_file(file, ec)) return {};
    const std::string raw = ReadWholeFile(file);
    // Lines end at CR, LF or CR LF; each line gets one line feed.
    std::string text;
    text.reserve(raw.size() + 1);
    size_t i = 0;
    while (i < raw.size()) {
      const size_t end = raw.find_first_of("\r\n", i);
      if (end == std::string::npos) {
        text.append(raw, i, std::string::npos);
        text += '\n';
        break;
      }
      text.append(raw, i, end - i);
      text += '\n';
      i = end + 1;
      if (raw[end] == '\r' && i < raw.size() && raw[i] == '\n') ++i;
    }
    return text;
  } catch (const std::exception& e) {
    LogWebException("LoadFile", e);
    return {};
  }
}

bool TWebInterface::FileCheck(const std::string& name) const {
  try {
    const std::string file = DocumentFile("/" + name);
    std::error_code ec;
    return !file.empty() && fs::is_regular_file(file, ec);
  } catch (const std::exception& e) {
    LogWebException("FileCheck", e);
    return false;
  }
}

std::string TWebInterface::ParseCommands(const std::string& text) const {
  static constexpr std::string_view IncludeMarker = "%%INCLUDE%";
  std::string out;
  try {
    TIncludeState state;
    // Expands the includes of one text; included text is expanded in turn,
    // down to MaxIncludeDepth. Includes past the bounds are dropped.
    const auto expand = [&](const auto& self, std::string_view part, int depth) -> void {
      size_t pos = 0;
      while (!state.Full) {
        const size_t marker = part.find(IncludeMarker, pos);
        if (marker == std::string_view::npos) {
          state.Full = !AppendBounded(out, part.substr(pos));
          return;
        }
        if (!AppendBounded(out, part.substr(pos, marker - pos))) {
          state.Full = true;
          return;
        }
        const size_t nameStart = marker + IncludeMarker.size();
        const size_t close = part.find('%', nameStart);
        if (close == std::string_view::npos) {
          // No closing "%": the text stays as it is.
          state.Full = !AppendBounded(out, part.substr(marker));
          return;
        }
        pos = close + 1;
        if (depth >= MaxIncludeDepth || state.Includes >= MaxIncludes) continue;
        ++state.Includes;
        const std::string loaded = LoadFile(std::string(part.substr(nameStart, close - nameStart)));
        if (!loaded.empty()) self(self, loaded, depth + 1);
      }
    };
    expand(expand, text, 0);
  } catch (const std::exception& e) {
    LogWebException("ParseCommands", e);
  }
  return out;
}

std::string TWebInterface::CreateServerDropDownList() {
  std::string list;
  try {
    bool first = true;
    for (const auto& [sectionName, server] : Manager.ServerList()) {
      const std::string port = std::to_string(server->Settings()->ServerUDPPort);
      list += first ? "<option selected value=\"" : "<option value=\"";
      list += port + "\">" + port + " " + HTMLEscape(sectionName) + "</option>";
      first = false;
    }
  } catch (const std::exception& e) {
    LogWebException("CreateServerDropDownList", e);
  }
  return list;
}

std::string TWebInterface::CreateDataBaseClientList(THTTPRequestInfo& request,
                                                    THTTPResponseInfo& response,
                                                    const TWebMarkers& pageMarkers) {
  std::string list;
  try {
    const std::shared_ptr<TServerObject> server = SelectedServer(request);
    if (!server) return list;
    if (!FileCheck(ClientListTemplate)) {
      DisplayError("error occured", WebMessage("file %1 was not found", ClientListTemplate),
                   response, "index.html");
      return list;
    }
    TZeveVira* database = Manager.Database();
    const std::string& serverKey = server->ConfigName;
    if (database == nullptr || serverKey.find('\\') != std::string::npos) return list;
    std::vector<std::string> names;
    {
      std::scoped_lock guard(database->Mutex());
      TFBEntry* users = database->GetEntry("\\Servers\\" + serverKey + "\\Users", FBT_NODE);
      if (users != nullptr && users->IsKey()) {
        for (TFBEntry* e = static_cast<TFBKey*>(users)->FirstChild; e != nullptr; e = e->Next) {
          if (e->IsKey()) names.push_back(e->Name);
        }
      }
    }
    const std::string row = LoadFile(ClientListTemplate);
    const std::string& format = Manager.MainConfig.DateTimeFormat;
    TZeveViraUsers accounts(*database);
    for (const std::string& name : names) {
      const auto account = accounts.GetUser(serverKey, name, false);
      if (!account) continue;
      const TWebMarkers rowMarkers = {
          {"%%CLIENT_NAME%%", HTMLEscape(account->NickName)},
          {"%%CLIENT_LOGINNAME%%", HTMLEscape(account->LogInName)},
          {"%%CLIENT_LASTUPDATED%%", HTMLEscape(account->LastChanged.Format(format))},
          {"%%CLIENT_REGISTERED%%", HTMLEscape(account->Created.Format(format))},
          {"%%CLIENT_LOGINS%%", std::to_string(account->Logins)},
          {"%%CLIENT_LASTUPDATED_TEXT%%", DateOrNever(account->LastChanged, format)},
          {"%%CLIENT_REGISTERED_TEXT%%", DateOrNever(account->Created, format)},
          {"%%CLIENT_REGISTEREDBY%%", HTMLEscape(account->RegisteredBy)},
      };
      list += ReplaceWebMarkers(row, rowMarkers, &pageMarkers);
    }
  } catch (const std::exception& e) {
    LogWebException("CreateDataBaseClientList", e);
  }
  return list;
}

std::string TWebInterface::SetVariables(const std::string& text, THTTPRequestInfo& request,
                                        THTTPResponseInfo& response) {
  TWebMarkers m;
  const auto set = [&m](const char* marker, std::string value) {
    m.emplace_back(marker, std::move(value));
  };
  try {
    const std::string upperPage = UpperCaseAscii(text);
    bool wantList = false;
    const std::shared_ptr<TServerObject> server = SelectedServer(request);
    if (server) {
      const auto settings = server->Settings();
      const TServerSettings& s = *settings;
      set("%!COMMENT_ON_SERVER_SELECTED!%", "<!--");
      set("%!COMMENT_OFF_SERVER_SELECTED!%", "-->");
      set("%!COMMENT_ON_SERVER_NOT_SELECTED!%", "");
      set("%!COMMENT_OFF_SERVER_NOT_SELECTED!%", "");
      set("%%SERVERID%%", HTMLEscape(server->ConfigName));
      set("%%SERVERNAME%%", HTMLEscape(s.ServerName));
      set("%%SERVERPLATFORM%%", HTMLEscape(s.ServerPlatform));
      set("%%SERVERWELCOMEMESSAGE%%", HTMLEscape(s.ServerWelcomeMessage));
      set("%%SERVERVERSIONMAJOR%%", std::to_string(s.VersionMajor));
      set("%%SERVERVERSIONMINOR%%", std::to_string(s.VersionMinor));
      set("%%SERVERVERSIONRELEASE%%", std::to_string(s.VersionRelease));
      set("%%SERVERVERSIONBUILD%%", std::to_string(s.VersionBuild));
      set("%%SERVERMAXUSERS%%", std::to_string(s.ServerMaxUsers));
      set("%%SERVERPASSWORD%%", HTMLEscape(s.ServerPassword));
      set("%%SERVERWEBPOSTLINKURL%%", HTMLEscape(s.WebPost_LinkURL));
      const double days = TDateTime::Now().Value - server->StartTime.Value;
      set("%%SERVERUPTIME%%", WebUptimeText(int64_t(days * 86400.0)));
      set("%%SERVERUDPPORT%%", std::to_string(s.ServerUDPPort));

      // The live figures, read under the player list's lock (then the
      // channel tree's); nothing else is locked meanwhile.
      size_t players = 0;
      size_t channels = 0;
      uint32_t packetsSent = 0, packetsReceived = 0;
      int64_t bytesSent = 0, bytesReceived = 0;
      {
        TLockGuard<TMutex> guard(server->Players.Lock);
        players = server->Players.Items.size();
        if (server->Channels) {
          TLockGuard<TChannels> channelGuard(*server->Channels);
          channels = server->Channels->Count();
        }
        if (server->PacketBuffer) {
          server->PacketBuffer->GetTotals(packetsSent, packetsReceived, bytesSent, bytesReceived);
        }
      }
      set("%%CURRENTUSERS%%", std::to_string(players));
      set("%%CURRENTCHANNELS%%", std::to_string(channels));
      set("%%SERVERPACKETSSEND%%", std::to_string(packetsSent));
      set("%%SERVERBYTESSEND%%", std::to_string(bytesSent));
      set("%%SERVERPACKETSRECEIVED%%", std::to_string(packetsReceived));
      set("%%SERVERBYTESRECEIVED%%", std::to_string(bytesReceived));

      const auto checked = [](bool on) { return std::string(on ? "checked" : ""); };
      set("%%SERVERCFG_CODEC_Celp51_SELECTED%%", checked(s.AllowCodecCelp51));
      set("%%SERVERCFG_CODEC_Celp63_SELECTED%%", checked(s.AllowCodecCelp63));
      set("%%SERVERCFG_CODEC_GSM148_SELECTED%%", checked(s.AllowCodecGSM148));
      set("%%SERVERCFG_CODEC_GSM164_SELECTED%%", checked(s.AllowCodecGSM164));
      set("%%SERVERCFG_CODEC_WindowsCELP52_SELECTED%%", checked(s.AllowCodecWindowsCELP52));

      if ((s.ServerType & SERVERTYPE_CLAN) != 0) {
        set("%%SERVERTYPE%%", "Clan Server");
        set("%%SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED%%", "selected");
        set("%%SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED%%", "");
      } else if ((s.ServerType & SERVERTYPE_PUBLIC) != 0) {
        set("%%SERVERTYPE%%", "Public Server");
        set("%%SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED%%", "");
        set("%%SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED%%", "selected");
      } else {
        set("%%SERVERTYPE%%", "Invalid Server Type");
      }
      const bool channelsAnyone = (s.ServerFlags & SERVERFLAG_ANYONE_CREATES_CHANNELS) != 0;
      set("%%SERVERCHANNELREGISTERMODE%%", channelsAnyone ? "anyone" : "admin");
      set("%%SERVERCFG_SERVERCHANNELREGISTERMODE_ANYONE_SELECTED%%",
          channelsAnyone ? "selected" : "");
      set("%%SERVERCFG_SERVERCHANNELREGISTERMODE_ADMIN_SELECTED%%",
          channelsAnyone ? "" : "selected");
      const bool accountsAnyone = (s.ServerFlags & SERVERFLAG_ANYONE_REGISTERS) != 0;
      set("%%SERVERREGISTERTYPE%%", accountsAnyone ? "anyone" : "none");
      set("%%SERVERCFG_SERVERREGISTERTYPE_ANYONE_SELECTED%%", accountsAnyone ? "selected" : "");
      set("%%SERVERCFG_SERVERREGISTERTYPE_NONE_SELECTED%%", accountsAnyone ? "" : "selected");
      set("%%SERVERUSERSONLINE%%", std::to_string(players));
      set("%%SERVERCHANNELS%%", std::to_string(channels));

      const std::string client = request.Param("client");
      TZeveVira* database = Manager.Database();
      bool clientFound = false;
      if (!client.empty() && database != nullptr) {
        if (const auto account =
                TZeveViraUsers(*database).GetUser(server->ConfigName, client, false)) {
          clientFound = true;
          const std::string& format = Manager.MainConfig.DateTimeFormat;
          set("%%SELECTED_CLIENT_LASTUPDATED_TEXT%%", DateOrNever(account->LastChanged, format));
          set("%%SELECTED_CLIENT_REGISTERED_TEXT%%", DateOrNever(account->Created, format));
          set("%%SELECTED_CLIENT_LOGINNAME%%", HTMLEscape(account->LogInName));
          set("%%SELECTED_CLIENT_REGISTEREDBY%%", HTMLEscape(account->RegisteredBy));
          set("%%SELECTED_CLIENT_LOGINS%%", std::to_string(account->Logins));
          set("%%SELECTED_CLIENT_LASTUPDATED%%", HTMLEscape(account->LastChanged.Format(format)));
          set("%%SELECTED_CLIENT_REGISTERED%%", HTMLEscape(account->Created.Format(format)));
          set("%%SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED%%",
              checked((account->Priviliges & 1) != 0));
          set("%%SERVERCFG_CLIENT_RIGHTS_SUPERSERVERADMIN_SELECTED%%",
              checked((account->Priviliges & 8) != 0));
        }
      }
      // Pages about one account hide what does not apply (as an attribute,
      // so that it may enclose conditional blocks) and say so in words.
      set("%%CLIENT_FOUND_HIDDEN%%", clientFound ? " hidden" : "");
      set("%%CLIENT_MISSING_HIDDEN%%", clientFound ? "" : " hidden");
      set("%%SELECTED_CLIENT%%", HTMLEscape(client));
      wantList = upperPage.find(ClientListMarker) != std::string::npos;
    } else {
      set("%!COMMENT_ON_SERVER_SELECTED!%", "");
      set("%!COMMENT_OFF_SERVER_SELECTED!%", "");
      set("%!COMMENT_ON_SERVER_NOT_SELECTED!%", "<!--");
      set("%!COMMENT_OFF_SERVER_NOT_SELECTED!%", "-->");
      set("%%SERVERNAME%%", "");
    }

    const bool superAdmin = request.Session && request.Session->Value("superadmin") == "1";
    set("%!COMMENT_ON_NOT_SUPERSERVERADMIN!%", superAdmin ? "" : "<!--");
    set("%!COMMENT_OFF_NOT_SUPERSERVERADMIN!%", superAdmin ? "" : "-->");
    if (upperPage.find(DropDownMarker) != std::string::npos) {
      set(DropDownMarker, CreateServerDropDownList());
    }
    const auto param = [&](const char* marker, const char* name) {
      set(marker, HTMLEscape(request.Param(name)));
    };
    const auto link = [&](const char* marker, const char* name) {
      set(marker, HTMLEscape(SafeRelativeURL(request.Param(name))));
    };
    param("%%ERROR_TITLE%%", "error_title");
    param("%%ERROR_TEXT%%", "error_text");
    link("%%ERROR_URL%%", "error_url");
    param("%%OK_TITLE%%", "ok_title");
    param("%%OK_TEXT%%", "ok_text");
    link("%%OK_URL%%", "ok_url");
    param("%%CHOICE_TITLE%%", "choice_title");
    param("%%CHOICE_TEXT%%", "choice_text");
    link("%%CHOICE_URL_YES%%", "choice_url_yes");
    param("%%CHOICE_YES%%", "choice_yes");
    link("%%CHOICE_URL_NO%%", "choice_url_no");
    param("%%CHOICE_NO%%", "choice_no");
    set("%%LOGGEDINUSERNAME%%",
        HTMLEscape(request.Session ? request.Session->Value("username") : std::string()));
    set("%%CURRENT_DATETIME%%",
        HTMLEscape(TDateTime::Now().Format(Manager.MainConfig.DateTimeFormat)));
    ConsoleObject->AddMarkers(upperPage, request, m);
    // The rows of the account list see the page's markers as well.
    if (wantList) set(ClientListMarker, CreateDataBaseClientList(request, response, m));
  } catch (const std::exception& e) {
    LogWebException("SetVariables", e);
  }
  return ReplaceWebMarkers(text, m);
}

void TWebInterface::DisplayError(const std::string& title, const std::string& text,
                                 THTTPResponseInfo& response, const std::string& url) {
  try {
    response.Redirect("error_box.html?error_title=" + URLEncode(title) +
                      "&error_text=" + URLEncode(text) + "&error_url=" + URLEncode(url));
    response.CloseConnection = true;
  } catch (const std::exception& e) {
    LogWebException("DisplayError", e);
  }
}

void TWebInterface::DisplayOk(const std::string& title, const std::string& text,
                              THTTPResponseInfo& response, const std::string& url) {
  try {
    response.Redirect("ok_box.html?ok_title=" + URLEncode(title) + "&ok_text=" + URLEncode(text) +
                      "&ok_url=" + URLEncode(url));
    response.CloseConnection = true;
  } catch (const std::exception& e) {
    LogWebException("DisplayOk", e);
  }
}

void TWebInterface::DisplayChoice(const std::string& title, const std::string& text,
                                  const std::string& yesURL, const std::string& noURL,
                                  const std::string& yesCaption, const std::string& noCaption,
                                  THTTPResponseInfo& response) {
  try {
    response.Redirect(
        "choice_box.html?choice_title=" + URLEncode(title) + "&choice_text=" + URLEncode(text) +
        "&choice_url_yes=" + URLEncode(yesURL) + "&choice_url_no=" + URLEncode(noURL) +
        "&choice_yes=" + URLEncode(yesCaption) + "&choice_no=" + URLEncode(noCaption));
    response.CloseConnection = true;
  } catch (const std::exception& e) {
    LogWebException("DisplayChoice", e);
  }
}

void TWebInterface::Progress_FILE(const std::string& fileName, THTTPResponseInfo& response,
                                  bool& handled, THTTPRequestInfo& request) {
  try {
    std::error_code ec;
    if (!InsideDocRoot(fileName) || !fs::is_regular_file(fileName, ec)) {
      LogFmt(LMTWARNING, LMDALL, LogCategory, "File not found: %1", {fileName});
      return;
    }
    handled = true;
    std::string page = ReadWholeFile(fileName);
    std::shared_lock guard(*SettingsLock.load());
    page = ParseCommands(page);
    page = SetVariables(page, request, response);
    response.ContentType = "text/HTML";
    response.ContentText = std::move(page);
    // The pages show live figures and settings.
    response.CustomHeaders.push_back({"Cache-Control", "no-store"});
  } catch (const std::exception& e) {
    LogWebException("Progress_FILE", e);
  }
}

}  // namespace vx
