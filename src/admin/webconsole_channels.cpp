// The console's channels: the channel tree with its players, the page of
// one channel, and creating, changing and deleting channels through the
// channel commands' own operations.
#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "admin/webconsole_html.h"
#include "admin/webconsole_u.h"
#include "common/TextTools.h"
#include "domain/channelcommands_u.h"
#include "domain/permissions_u.h"

namespace vx {

namespace {

const std::pair<uint16_t, const char*> CodecNames[] = {
    {CODEC_CELP51, "CELP 5.1"},
    {CODEC_CELP63, "CELP 6.3"},
    {CODEC_GSM148, "GSM 14.8"},
    {CODEC_GSM164, "GSM 16.4"},
    {CODEC_WINDOWSCELP52, "Windows CELP 5.2"},
};

// The flags the forms set; others stay as they are.
constexpr uint16_t FormFlags =
    CHANNEL_UNREGISTERED | CHANNEL_MODERATED | CHANNEL_SUBCHANNELS | CHANNEL_DEFAULT;

std::string CodecName(uint16_t codec) {
  for (const auto& [id, name] : CodecNames) {
    if (id == codec) return name;
  }
  return "codec " + std::to_string(codec);
}

std::string CodecOptions(const TServerObject& server, int selected) {
  std::string options;
  bool found = false;
  for (const auto& [id, name] : CodecNames) {
    found = found || id == selected;
    options += "<option value=\"" + std::to_string(id) + "\"" +
               (id == selected ? " selected" : "") + ">" + name +
               (CodecAllowed(server, id) ? "" : " (not allowed here)") + "</option>";
  }
  if (!found && selected >= 0) {
    options += "<option value=\"" + std::to_string(selected) + "\" selected>" +
               CodecName(uint16_t(selected)) + "</option>";
  }
  return options;
}

// Children of the parent, by their order and then their names.
std::vector<const TChannelRec*> ChildrenOf(const TChannels& channels, int32_t parent) {
  std::vector<const TChannelRec*> children;
  for (const auto& c : channels.Channels()) {
    if (c && c->Parent == parent) children.push_back(c.get());
  }
  std::stable_sort(children.begin(), children.end(), [](const auto* a, const auto* b) {
    if (a->Order != b->Order) return a->Order < b->Order;
    return LowerCaseAscii(a->Name) < LowerCaseAscii(b->Name);
  });
  return children;
}

std::string Badges(const TChannelRec& c) {
  std::string badges;
  const auto badge = [&badges](bool on, const char* text) {
    if (on) badges += " <span class=\"badge\">" + std::string(text) + "</span>";
  };
  badge(c.Flags & CHANNEL_DEFAULT, "default");
  badge(!c.IsRegistered(), "temporary");
  badge(c.Flags & CHANNEL_MODERATED, "moderated");
  badge(c.Flags & CHANNEL_PASSWORD, "password");
  return badges;
}

std::string PlayersIn(const TPlayerList& players, int32_t channelID) {
  std::string names;
  int count = 0;
  for (const auto& p : players) {
    if (!p || p->ChannelID != channelID) continue;
    if (count++ > 0) names += ", ";
    names += "<a href=\"player.html?player=" + std::to_string(p->PlayerID) + "\">" +
             HTMLEscape(p->NickName) + "</a>";
  }
  if (count == 0) return "<p class=\"tree-players muted\">Nobody here</p>";
  return "<p class=\"tree-players\">" + std::to_string(count) +
         (count == 1 ? " player: " : " players: ") + names + "</p>";
}

std::string ChannelPage(int32_t channelID) {
  return "channel_edit.html?channel=" + std::to_string(channelID);
}

std::string TreeNode(const TChannels& channels, const TPlayerList& players, const TChannelRec& c) {
  std::string html =
      "<li><div class=\"tree-item\"><div class=\"tree-main\"><a class=\"tree-name\" "
      "href=\"" +
      ChannelPage(c.ChannelID) + "\">" + HTMLEscape(c.Name) + "</a>" + Badges(c);
  if (!c.Topic.empty()) html += "<p class=\"tree-topic\">" + HTMLEscape(c.Topic) + "</p>";
  html += PlayersIn(players, c.ChannelID) + "</div><a class=\"button secondary small\" href=\"" +
          ChannelPage(c.ChannelID) + "\">Edit<span class=\"visually-hidden\"> " +
          HTMLEscape(c.Name) + "</span></a></div>";
  const std::vector<const TChannelRec*> children = ChildrenOf(channels, c.ChannelID);
  if (!children.empty() && c.IsTopLevel()) {
    html += "<ul>";
    for (const TChannelRec* child : children) html += TreeNode(channels, players, *child);
    html += "</ul>";
  }
  return html + "</li>";
}

std::string Checkbox(const char* name, const char* label, bool checked) {
  return "<label class=\"check\"><input type=\"checkbox\" name=\"" + std::string(name) +
         "\" value=\"1\"" + (checked ? " checked" : "") + "> " + label + "</label>";
}

// A number from 0 to 65535 of a form field; def for an empty field.
bool FormWord(const THTTPRequestInfo& request, const char* name, uint16_t def, uint16_t& value) {
  const std::string text = TrimText(request.Param(name));
  if (text.empty()) {
    value = def;
    return true;
  }
  int64_t number = 0;
  if (!ParseFormNumber(text, number) || number < 0 || number > 65535) return false;
  value = uint16_t(number);
  return true;
}

// The fields every channel form has; the flags that the form sets.
bool ReadChannelForm(const THTTPRequestInfo& request, TChannelRequest& r, std::string& problem) {
  r.Name = TrimText(request.Param("name"));
  r.Topic = request.Param("topic");
  r.Description = request.Param("description");
  uint16_t flags = 0;
  if (request.Param("registered") != "1") flags |= CHANNEL_UNREGISTERED;
  if (request.Param("moderated") == "1") flags |= CHANNEL_MODERATED;
  if (request.Param("subchannels") == "1") flags |= CHANNEL_SUBCHANNELS;
  if (request.Param("default") == "1") flags |= CHANNEL_DEFAULT;
  r.Flags = flags;
  if (r.Name.empty()) {
    problem = "a channel needs a name";
    return false;
  }
  if (!FormWord(request, "maxusers", 0, r.MaxUsers)) {
    problem = "the player limit must be a number from 0 to 65535";
    return false;
  }
  if (!FormWord(request, "order", 0, r.Order) || !FormWord(request, "codec", 0, r.Codec)) {
    problem = "the order and the codec must be numbers from 0 to 65535";
    return false;
  }
  return true;
}

// The channel a form names, or -1.
int32_t FormChannel(const THTTPRequestInfo& request, const char* name = "channel") {
  int64_t id = -1;
  if (!ParseFormNumber(request.Param(name), id) || id < 0 || id > INT32_MAX) return -1;
  return int32_t(id);
}

std::string Refused(int32_t error) {
  return RefusalText(error) + " (error " + std::to_string(error) + ")";
}

}  // namespace

std::string TWebConsole::ChannelTree(TServerObject& server, const std::string&) {
  const TServerPlayersLock locked(server);
  if (!locked.Running()) return "<p>The server is not running.</p>";
  const TChannels& channels = *server.Channels;
  std::string html = "<ul class=\"tree\" id=\"channel-tree\">";
  for (const TChannelRec* top : ChildrenOf(channels, -1)) {
    html += TreeNode(channels, server.Players.Items, *top);
  }
  // Players in a channel that no longer exists stay visible too.
  return html + "</ul>";
}

std::string TWebConsole::ChannelCreateFields(TServerObject& server) {
  const TServerPlayersLock locked(server);
  if (!locked.Running()) return {};
  std::string parents = "<option value=\"-1\" selected>None (top level)</option>";
  for (const TChannelRec* top : ChildrenOf(*server.Channels, -1)) {
    if ((top->Flags & CHANNEL_SUBCHANNELS) == 0) continue;
    parents += "<option value=\"" + std::to_string(top->ChannelID) + "\">" + HTMLEscape(top->Name) +
               "</option>";
  }
  return "<div class=\"field\"><label for=\"create-parent\">Parent channel</label><select "
         "id=\"create-parent\" name=\"parent\">" +
         parents +
         "</select><span class=\"hint\">Only channels that take sub-channels are listed.</span>"
         "</div><div class=\"field\"><label for=\"create-codec\">Codec</label><select "
         "id=\"create-codec\" name=\"codec\">" +
         CodecOptions(server, server.DefaultCodec()) + "</select></div>";
}

std::string TWebConsole::ChannelPanel(TServerObject& server, THTTPRequestInfo& request,
                                      const std::string& token) {
  const TServerPlayersLock locked(server);
  const TChannelRec* c =
      locked.Running() ? server.Channels->GetChannelByID(FormChannel(request)) : nullptr;
  if (c == nullptr) {
    return "<div class=\"page-head\"><div><h1>Channel</h1></div></div><section class=\"card\"><p>"
           "There is no channel with the id &ldquo;" +
           HTMLEscape(request.Param("channel")) +
           "&rdquo; on this server; it may have been deleted.</p><div class=\"actions\"><a "
           "class=\"button secondary\" href=\"channels.html\">Back to channels</a></div></section>";
  }
  const std::string id = std::to_string(c->ChannelID);
  const std::string name = HTMLEscape(c->Name);
  std::string html = "<div class=\"page-head\"><div><h1>Channel " + name +
                     "</h1><p class=\"lead\">" +
                     (c->IsTopLevel() ? "Top-level channel" : "Sub-channel") + Badges(*c) +
                     "</p></div><a class=\"button secondary\" href=\"channels.html\">Back to "
                     "channels</a></div>";
  html += "<section class=\"card\"><h2>Players</h2>" +
          PlayersIn(server.Players.Items, c->ChannelID) + "</section>";

  html += PostForm("CHANNEL_CHANGE.VXCMD", token, "card") + HiddenField("channel", id) +
          "<h2>Change</h2><fieldset><legend>Texts</legend><div class=\"fields-2\">"
          "<div class=\"field\"><label for=\"edit-name\">Name</label><input id=\"edit-name\" "
          "name=\"name\" type=\"text\" maxlength=\"29\" required value=\"" +
          name +
          "\"></div><div class=\"field\"><label for=\"edit-topic\">Topic</label><input "
          "id=\"edit-topic\" name=\"topic\" type=\"text\" maxlength=\"29\" value=\"" +
          HTMLEscape(c->Topic) +
          "\"></div></div><div class=\"field\"><label for=\"edit-description\">Description</label>"
          "<textarea id=\"edit-description\" name=\"description\" maxlength=\"99\">" +
          HTMLEscape(c->Description) + "</textarea></div></fieldset>";
  html += "<fieldset><legend>Access</legend><div class=\"fields-2\">";
  if (c->IsTopLevel()) {
    html +=
        "<div class=\"field\"><label for=\"edit-password\">New password</label><input "
        "id=\"edit-password\" name=\"password\" type=\"text\" maxlength=\"29\" "
        "autocomplete=\"off\" aria-describedby=\"edit-password-hint\"><span class=\"hint\" "
        "id=\"edit-password-hint\">" +
        std::string(c->Password.empty() ? "The channel has no password; leave empty for none."
                                        : "The channel has a password; leave empty to keep "
                                          "it.") +
        "</span></div>";
  }
  html +=
      "<div class=\"field\"><label for=\"edit-maxusers\">Player limit</label><input "
      "id=\"edit-maxusers\" name=\"maxusers\" type=\"number\" min=\"0\" max=\"65535\" "
      "value=\"" +
      std::to_string(c->MaxUsers) +
      "\"></div><div class=\"field\"><label for=\"edit-codec\">Codec</label><select "
      "id=\"edit-codec\" name=\"codec\">" +
      CodecOptions(server, c->Codec) +
      "</select></div><div class=\"field\"><label for=\"edit-order\">Order</label><input "
      "id=\"edit-order\" name=\"order\" type=\"number\" min=\"0\" max=\"65535\" value=\"" +
      std::to_string(c->Order) + "\"></div></div><div class=\"checks\">" +
      Checkbox("registered", "Registered (saved)", c->IsRegistered()) +
      Checkbox("moderated", "Moderated", c->Flags & CHANNEL_MODERATED) +
      Checkbox("default", "Default channel", c->Flags & CHANNEL_DEFAULT);
  if (c->IsTopLevel()) {
    html += Checkbox("subchannels", "Takes sub-channels", c->Flags & CHANNEL_SUBCHANNELS);
    if (!c->Password.empty()) html += Checkbox("removepassword", "Remove the password", false);
  }
  html +=
      "</div></fieldset><div class=\"actions\"><button class=\"button\" type=\"submit\">Save "
      "channel</button></div></form>";

  html +=
      "<section class=\"card\" aria-labelledby=\"delete-heading\"><h2 "
      "id=\"delete-heading\">Delete</h2><p>Deleting removes the channel" +
      std::string(c->IsTopLevel() ? " and its sub-channels" : "") +
      " for good. Players must leave it first; the default channel cannot be deleted.</p>"
      "<details class=\"confirm\"><summary class=\"button danger\">Delete " +
      name + "&hellip;</summary>" + PostForm("CHANNEL_DELETE.VXCMD", token) +
      HiddenField("channel", id) +
      "<p>This cannot be undone.</p><button class=\"button danger\" type=\"submit\">Delete " +
      name + " for good</button></form></details></section>";
  return html;
}

// --- Actions ------------------------------------------------------------------

TWebConsole::TOutcome TWebConsole::ActChannelCreate(TActionContext& c) {
  TChannelRequest request;
  std::string problem;
  if (!ReadChannelForm(c.Request, request, problem)) return {false, problem, {}};
  request.Password = c.Request.Param("password");
  const std::string parent = TrimText(c.Request.Param("parent"));
  if (!parent.empty() && parent != "-1") {
    request.Parent = FormChannel(c.Request, "parent");
    if (request.Parent < 0) return {false, Refused(CHANNELERR_PARENT_NOT_FOUND), {}};
  }
  std::shared_lock settings(SettingsLock());
  const TServerPlayersLock locked(*c.Server);
  if (!locked.Running()) return {false, "the server is not running", {}};
  int32_t id = -1;
  const int32_t result = CreateChannel(*c.Server, c.Actor, request, id);
  if (result != 0) return {false, Refused(result), {}};
  return {true, "The channel " + c.Server->Channels->GetChannelByID(id)->Name + " was created.",
          "channels.html"};
}

TWebConsole::TOutcome TWebConsole::ActChannelChange(TActionContext& c) {
  TChannelRequest request;
  std::string problem;
  const int32_t id = FormChannel(c.Request);
  if (!ReadChannelForm(c.Request, request, problem)) return {false, problem, ChannelPage(id)};
  request.ChannelID = id;
  std::shared_lock settings(SettingsLock());
  const TServerPlayersLock locked(*c.Server);
  if (!locked.Running()) return {false, "the server is not running", {}};
  const TChannelRec* channel = c.Server->Channels->GetChannelByID(id);
  if (channel == nullptr) return {false, Refused(CHANNELERR_NOT_FOUND), {}};
  // Flags the form does not show stay as they are; a sub-channel keeps its own.
  uint16_t keep = uint16_t(~FormFlags);
  if (!channel->IsTopLevel()) keep |= CHANNEL_SUBCHANNELS;
  request.Flags =
      uint16_t((channel->Flags & keep & ~CHANNEL_PASSWORD) | (request.Flags & ~keep & FormFlags));
  // An empty password field keeps the password (the request's password flag
  // with no password says so); a new one replaces it.
  request.Password = c.Request.Param("password");
  const bool remove = c.Request.Param("removepassword") == "1";
  if (!remove && (!request.Password.empty() || !channel->Password.empty())) {
    request.Flags |= CHANNEL_PASSWORD;
  }
  if (remove) request.Password.clear();
  const int32_t result = ChangeChannelAll(*c.Server, c.Actor, request);
  if (result != 0) return {false, Refused(result), ChannelPage(id)};
  return {true, "The channel " + channel->Name + " was saved.", ChannelPage(id)};
}

TWebConsole::TOutcome TWebConsole::ActChannelDelete(TActionContext& c) {
  const int32_t id = FormChannel(c.Request);
  std::shared_lock settings(SettingsLock());
  const TServerPlayersLock locked(*c.Server);
  if (!locked.Running()) return {false, "the server is not running", {}};
  const TChannelRec* channel = c.Server->Channels->GetChannelByID(id);
  const std::string name = channel != nullptr ? channel->Name : std::string();
  const int32_t result = DestroyChannel(*c.Server, c.Actor, id);
  if (result != 0) return {false, Refused(result), channel != nullptr ? ChannelPage(id) : ""};
  return {true, "The channel " + name + " was deleted.", "channels.html"};
}

}  // namespace vx
