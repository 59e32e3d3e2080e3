// The web interface over real sockets on 127.0.0.1: login flow, templates
// with every marker, the commands and their boxes, sessions, files, and the
// limits that guard the HTTP server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "ProcessHarness.h"
#include "ServerFixture.h"
#include "WebInterfaceClient.h"
#include "admin/webinterface_u.h"
#include "domain/zevevira_users_u.h"
#include "host/IniFile.h"
#include "host/ZeveVira.h"
#include "transport/PacketBuffers.h"

namespace vx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Every variable marker of the pages, shown one per line as NAME=value.
const char* const TemplateVariables[] = {"SERVERID",
                                         "SERVERNAME",
                                         "SERVERPLATFORM",
                                         "SERVERWELCOMEMESSAGE",
                                         "SERVERVERSIONMAJOR",
                                         "SERVERVERSIONMINOR",
                                         "SERVERVERSIONRELEASE",
                                         "SERVERVERSIONBUILD",
                                         "SERVERMAXUSERS",
                                         "SERVERPASSWORD",
                                         "SERVERWEBPOSTLINKURL",
                                         "SERVERUPTIME",
                                         "SERVERUDPPORT",
                                         "CURRENTUSERS",
                                         "CURRENTCHANNELS",
                                         "SERVERPACKETSSEND",
                                         "SERVERBYTESSEND",
                                         "SERVERPACKETSRECEIVED",
                                         "SERVERBYTESRECEIVED",
                                         "SERVERCFG_CODEC_Celp51_SELECTED",
                                         "SERVERCFG_CODEC_Celp63_SELECTED",
                                         "SERVERCFG_CODEC_GSM148_SELECTED",
                                         "SERVERCFG_CODEC_GSM164_SELECTED",
                                         "SERVERCFG_CODEC_WindowsCELP52_SELECTED",
                                         "SERVERTYPE",
                                         "SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED",
                                         "SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED",
                                         "SERVERCHANNELREGISTERMODE",
                                         "SERVERCFG_SERVERCHANNELREGISTERMODE_ANYONE_SELECTED",
                                         "SERVERCFG_SERVERCHANNELREGISTERMODE_ADMIN_SELECTED",
                                         "SERVERREGISTERTYPE",
                                         "SERVERCFG_SERVERREGISTERTYPE_ANYONE_SELECTED",
                                         "SERVERCFG_SERVERREGISTERTYPE_NONE_SELECTED",
                                         "SERVERUSERSONLINE",
                                         "SERVERCHANNELS",
                                         "SELECTED_CLIENT_LOGINNAME",
                                         "SELECTED_CLIENT_REGISTEREDBY",
                                         "SELECTED_CLIENT_LOGINS",
                                         "SELECTED_CLIENT_LASTUPDATED",
                                         "SELECTED_CLIENT_REGISTERED",
                                         "SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED",
                                         "SERVERCFG_CLIENT_RIGHTS_SUPERSERVERADMIN_SELECTED",
                                         "ERROR_TITLE",
                                         "ERROR_TEXT",
                                         "ERROR_URL",
                                         "OK_TITLE",
                                         "OK_TEXT",
                                         "OK_URL",
                                         "CHOICE_TITLE",
                                         "CHOICE_TEXT",
                                         "CHOICE_URL_YES",
                                         "CHOICE_YES",
                                         "CHOICE_URL_NO",
                                         "CHOICE_NO",
                                         "LOGGEDINUSERNAME",
                                         "CURRENT_DATETIME"};

const char* const Conditions =
    "SEL=%!COMMENT_ON_SERVER_SELECTED!%x%!COMMENT_OFF_SERVER_SELECTED!%\n"
    "NOTSEL=%!COMMENT_ON_SERVER_NOT_SELECTED!%x%!COMMENT_OFF_SERVER_NOT_SELECTED!%\n"
    "NOTSUPER=%!COMMENT_ON_NOT_SUPERSERVERADMIN!%x%!COMMENT_OFF_NOT_SUPERSERVERADMIN!%\n"
    "DROPDOWN=%!SERVERCFG_SERVER_MANAGER_SERVERDROPDOWNLIST!%\n";

// NAME=value lines of a page.
std::map<std::string, std::string> Lines(const std::string& body) {
  std::map<std::string, std::string> values;
  std::istringstream in(body);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return values;
}

std::string BoxLocation(const std::string& box, const std::string& title, const std::string& text) {
  return box + "_box.html?" + box + "_title=" + title + "&" + box + "_text=" + text + "&" + box +
         "_url=index.html";
}

class WebInterfaceTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    Docs = Dir / "httpdocs";
    fs::create_directories(Docs / "sub");
    fs::create_directories(Docs / "emptydir");
    fs::create_directories(Dir / "httpdocs-private");
    std::string index = "INDEX\n";
    for (const char* name : TemplateVariables) index += std::string(name) + "=%%" + name + "%%\n";
    index += Conditions;
    Page("index.html", index);
    Page("login.html",
         "LOGIN|%!SERVERCFG_SERVER_MANAGER_SERVERDROPDOWNLIST!%|[%%SERVERNAME%%]|"
         "%!COMMENT_ON_SERVER_SELECTED!%SEL%!COMMENT_OFF_SERVER_SELECTED!%|"
         "%!COMMENT_ON_SERVER_NOT_SELECTED!%NOTSEL%!COMMENT_OFF_SERVER_NOT_SELECTED!%");
    Page("error_box.html", "ERR|%%ERROR_TITLE%%|%%ERROR_TEXT%%|%%ERROR_URL%%");
    Page("ok_box.html", "OK|%%OK_TITLE%%|%%OK_TEXT%%|%%OK_URL%%");
    Page("choice_box.html",
         "CHOICE|%%CHOICE_TITLE%%|%%CHOICE_TEXT%%|%%CHOICE_URL_YES%%|%%CHOICE_YES%%|"
         "%%CHOICE_URL_NO%%|%%CHOICE_NO%%");
    Page("database_client_manager_clientlist.html",
         "ROW|%%CLIENT_NAME%%|%%CLIENT_LOGINNAME%%|%%CLIENT_LASTUPDATED%%|%%CLIENT_REGISTERED%%|"
         "%%CLIENT_LOGINS%%|%%CLIENT_REGISTEREDBY%%|%%LOGGEDINUSERNAME%%\n");
    Page("accounts.html", "LIST\n%!SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST!%END");
    Page("lower.html", "[%%servername%%][%%Serverudpport%%][%%loggedinusername%%]");
    Page("plain.html", "no markers here\r\n100% plain\r\n");
    Page("style.css", "body { color: red; }\n");
    Page("image.png", std::string("\x89PNG\r\n\x1a\n\0\0binary", 16));
    Page("data.unknownext", "whatever");
    Page("sub/index.html", "SUBINDEX %%SERVERUDPPORT%%");
    Page("self.html", "[%%INCLUDE%self.html%%%INCLUDE%self.html%]");
    Page("inc_a.html", "A(%%INCLUDE%inc_b.html%)");
    Page("inc_b.html", "B\r\nC\rD");
    std::ofstream(Dir / "httpdocs-private" / "secret.html") << "SECRET %%SERVERPASSWORD%%";
    std::ofstream(Dir / "httpdocs-private" / "secret.txt") << "SECRET";
    fs::create_directory_symlink(Dir / "httpdocs-private", Docs / "link");
  }

  void TearDown() override {
    Web.reset();
    ServerFixture::TearDown();
  }

  void Page(const std::string& name, const std::string& content) {
    std::ofstream(Docs / name, std::ios::binary) << content;
  }

  void StartWeb(int idleMs = 5000, int64_t sessionMs = 3600000) {
    StartServer();
    AddAccount("admin", "secret", 9);
    Web = std::make_unique<TWebInterface>(Manager);
    Web->Throttle = &Throttle;
    Web->IdleTimeoutMs = idleMs;
    Web->SessionTimeoutMs = sessionMs;
    ASSERT_TRUE(Web->Start(0, Docs.string(), "127.0.0.1"));
    WebPort = Web->BoundPort();
  }

  TWebReply LogIn(TWebClient& c, const std::string& user = "admin",
                  const std::string& password = "secret") {
    if (c.Session.empty()) c.Get("/login.html");
    return c.Post("/LOGIN.VXCMD", "username=" + user + "&password=" + password +
                                      "&serverport=" + std::to_string(Port));
  }

  TZeveViraUsers Users() { return TZeveViraUsers(*Manager.Database()); }

  fs::path Docs;
  // The tests' wrong logins count against their own throttle only.
  TLoginThrottle Throttle;
  std::unique_ptr<TWebInterface> Web;
  uint16_t WebPort = 0;
};

TEST_F(WebInterfaceTest, LoginPageUntilLoginThenPagesAndLogout) {
  StartWeb();
  TWebClient c(WebPort);
  // Before login every document, images included, is the login page.
  for (const char* path : {"/", "/index.html", "/image.png", "/nothing/here", "/session"}) {
    const TWebReply r = c.Get(path);
    EXPECT_EQ(r.Status, 200) << path;
    EXPECT_EQ(r.Body.rfind("LOGIN|", 0), 0u) << path;
    EXPECT_EQ(r.Header("Content-Type"), "text/HTML");
  }
  const TWebReply first = c.Get("/index.html");
  EXPECT_EQ(first.Body, "LOGIN|<option selected value=\"" + std::to_string(Port) + "\">" +
                            std::to_string(Port) +
                            " server_cfg Test</option>|[]|SEL|<!--NOTSEL-->");

  // The cookie: random, at least 128 bits, HttpOnly and SameSite=Strict.
  TWebClient fresh(WebPort);
  const TWebReply issued = fresh.Get("/");
  const std::string cookie = issued.Header("Set-Cookie");
  EXPECT_TRUE(std::regex_match(cookie, std::regex("VXSESSIONID=[0-9a-f]{48}; Path=/; HttpOnly; "
                                                  "SameSite=Strict")))
      << cookie;
  EXPECT_NE(fresh.Session, c.Session);

  // A wrong password leads back to the login page and stays logged out.
  TWebReply r = LogIn(c, "admin", "wrong");
  EXPECT_EQ(r.Status, 302);
  EXPECT_EQ(r.Header("Location"), "login.html");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(c.Get("/index.html").Body.rfind("LOGIN|", 0), 0u);
  // An account without the super-server-admin right does not pass.
  AddAccount("operator", "pw", 1);
  EXPECT_EQ(LogIn(c, "operator", "pw").Header("Location"), "login.html");
  // Nor does a port without a server.
  EXPECT_EQ(
      c.Post("/LOGIN.VXCMD", "username=admin&password=secret&serverport=1").Header("Location"),
      "login.html");

  r = c.Post("/login.vxcmd", "USERNAME=admin&Password=secret&serverport=" + std::to_string(Port));
  EXPECT_EQ(r.Header("Location"), "index.html");
  const TWebReply root = c.Get("/");
  const TWebReply index = c.Get("/index.html");
  ASSERT_EQ(root.Body.rfind("INDEX\n", 0), 0u) << root.Body;
  auto a = Lines(root.Body);
  auto b = Lines(index.Body);
  a.erase("SERVERUPTIME"), b.erase("SERVERUPTIME");
  a.erase("CURRENT_DATETIME"), b.erase("CURRENT_DATETIME");
  EXPECT_EQ(a, b);
  // The defaults of a server.
  EXPECT_EQ(a["SERVERTYPE"], "Clan Server");
  EXPECT_EQ(a["SERVERCHANNELREGISTERMODE"], "anyone");
  EXPECT_EQ(a["SERVERREGISTERTYPE"], "none");
  EXPECT_EQ(c.Get("/sub/").Body, "SUBINDEX " + std::to_string(Port));

  r = c.Get("/LOGOUT.VXCMD");
  EXPECT_EQ(r.Status, 302);
  EXPECT_EQ(r.Header("Location"), "login.html");
  EXPECT_EQ(c.Get("/index.html").Body.rfind("LOGIN|", 0), 0u);
  r = c.Post("/SETTINGS_SERVER.VXCMD", "SERVERNAME=Changed");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("error", "error%20occured", "your%20selected%20server%20is%20invalid"));
  EXPECT_EQ(Server->Settings()->ServerName, "Vorlantix Server");
  // A command name not in the table gives no page and no redirect.
  EXPECT_EQ(LogIn(c).Header("Location"), "index.html");
  r = c.Get("/NOSUCH.VXCMD");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Body, "");
}

TEST_F(WebInterfaceTest, TemplatesFillEveryMarker) {
  Setting("ServerName", "<Bob & \"Co\">");
  Setting("ServerWelcomeMessage", "Hi <there>");
  Setting("ServerMaxUsers", 20);
  Setting("ServerPassword", "pw'1");
  Setting("ServerFlags", 1);
  Setting("AllowCodecGSM148", 0);
  Setting("WebPost_LinkURL", "http://x/?a=1&b=2");
  StartWeb();
  TClientObject carol;
  carol.LogInName = "carol";
  carol.NickName = "Caro<l>";
  carol.LogInPassWord = "pw";
  carol.Priviliges = 1;
  carol.RegisteredBy = "test";
  ASSERT_TRUE(Users().AddUser(Section, carol));
  Server->StartTime.Value = TDateTime::Now().Value - 2.0 - (3 * 3600 + 4 * 60 + 5) / 86400.0;

  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  TWebReply r = c.Get("/index.html?client=carol");
  EXPECT_EQ(r.Header("Content-Type"), "text/HTML");
  auto v = Lines(r.Body);
  EXPECT_EQ(v["SERVERID"], "server_cfg Test");
  EXPECT_EQ(v["SERVERNAME"], "&lt;Bob &amp; &quot;Co&quot;&gt;");
  EXPECT_EQ(v["SERVERPLATFORM"], "Linux");
  EXPECT_EQ(v["SERVERWELCOMEMESSAGE"], "Hi &lt;there&gt;");
  EXPECT_EQ(v["SERVERVERSIONMAJOR"] + v["SERVERVERSIONMINOR"] + v["SERVERVERSIONRELEASE"] + "." +
                v["SERVERVERSIONBUILD"],
            "2018.31");
  EXPECT_EQ(v["SERVERMAXUSERS"], "20");
  EXPECT_EQ(v["SERVERPASSWORD"], "pw&#39;1");
  EXPECT_EQ(v["SERVERWEBPOSTLINKURL"], "http://x/?a=1&amp;b=2");
  EXPECT_TRUE(std::regex_match(v["SERVERUPTIME"], std::regex("2D 03:04:0[5-7]")))
      << v["SERVERUPTIME"];
  EXPECT_EQ(v["SERVERUDPPORT"], std::to_string(Port));
  EXPECT_EQ(v["CURRENTUSERS"], "0");
  EXPECT_EQ(v["SERVERUSERSONLINE"], "0");
  const std::string channels = std::to_string(Server->Channels->Count());
  EXPECT_EQ(v["CURRENTCHANNELS"], channels);
  EXPECT_EQ(v["SERVERCHANNELS"], channels);
  for (const char* n :
       {"SERVERPACKETSSEND", "SERVERBYTESSEND", "SERVERPACKETSRECEIVED", "SERVERBYTESRECEIVED"}) {
    EXPECT_TRUE(std::regex_match(v[n], std::regex("[0-9]+"))) << n;
  }
  EXPECT_EQ(v["SERVERCFG_CODEC_Celp51_SELECTED"], "checked");
  EXPECT_EQ(v["SERVERCFG_CODEC_Celp63_SELECTED"], "checked");
  EXPECT_EQ(v["SERVERCFG_CODEC_GSM148_SELECTED"], "");
  EXPECT_EQ(v["SERVERCFG_CODEC_GSM164_SELECTED"], "checked");
  EXPECT_EQ(v["SERVERCFG_CODEC_WindowsCELP52_SELECTED"], "checked");
  EXPECT_EQ(v["SERVERTYPE"], "Clan Server");
  EXPECT_EQ(v["SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED"], "selected");
  EXPECT_EQ(v["SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED"], "");
  EXPECT_EQ(v["SERVERCHANNELREGISTERMODE"], "admin");
  EXPECT_EQ(v["SERVERCFG_SERVERCHANNELREGISTERMODE_ANYONE_SELECTED"], "");
  EXPECT_EQ(v["SERVERCFG_SERVERCHANNELREGISTERMODE_ADMIN_SELECTED"], "selected");
  EXPECT_EQ(v["SERVERREGISTERTYPE"], "anyone");
  EXPECT_EQ(v["SERVERCFG_SERVERREGISTERTYPE_ANYONE_SELECTED"], "selected");
  EXPECT_EQ(v["SERVERCFG_SERVERREGISTERTYPE_NONE_SELECTED"], "");
  EXPECT_EQ(v["SELECTED_CLIENT_LOGINNAME"], "carol");
  EXPECT_EQ(v["SELECTED_CLIENT_REGISTEREDBY"], "test");
  EXPECT_EQ(v["SELECTED_CLIENT_LOGINS"], "0");
  EXPECT_EQ(v["SELECTED_CLIENT_LASTUPDATED"], "30-12-1899 00:00:00");
  const std::regex dateTime("[0-3][0-9]-[01][0-9]-20[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]");
  EXPECT_TRUE(std::regex_match(v["SELECTED_CLIENT_REGISTERED"], dateTime));
  EXPECT_EQ(v["SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED"], "checked");
  EXPECT_EQ(v["SERVERCFG_CLIENT_RIGHTS_SUPERSERVERADMIN_SELECTED"], "");
  for (const char* n : {"ERROR_TITLE", "ERROR_TEXT", "ERROR_URL", "OK_TITLE", "CHOICE_NO"}) {
    EXPECT_EQ(v[n], "") << n;  // a missing parameter removes its marker
  }
  EXPECT_EQ(v["LOGGEDINUSERNAME"], "admin");
  EXPECT_TRUE(std::regex_match(v["CURRENT_DATETIME"], dateTime)) << v["CURRENT_DATETIME"];
  EXPECT_EQ(v["SEL"], "<!--x-->");
  EXPECT_EQ(v["NOTSEL"], "x");
  EXPECT_EQ(v["NOTSUPER"], "x");
  EXPECT_EQ(v["DROPDOWN"], "<option selected value=\"" + std::to_string(Port) + "\">" +
                               std::to_string(Port) + " server_cfg Test</option>");

  // Without a known client the account markers stay as they are.
  v = Lines(c.Get("/index.html?client=nobody").Body);
  EXPECT_EQ(v["SELECTED_CLIENT_LOGINNAME"], "%%SELECTED_CLIENT_LOGINNAME%%");
  EXPECT_EQ(v["SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED"],
            "%%SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED%%");
  // A server of neither type.
  Server->EditSettings([&](TServerSettings& s) { s.ServerType = SERVERTYPE_RUNNING; });
  v = Lines(c.Get("/index.html").Body);
  EXPECT_EQ(v["SERVERTYPE"], "Invalid Server Type");
  EXPECT_EQ(v["SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED"],
            "%%SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED%%");
  Server->EditSettings(
      [&](TServerSettings& s) { s.ServerType = SERVERTYPE_PUBLIC | SERVERTYPE_RUNNING; });
  v = Lines(c.Get("/index.html").Body);
  EXPECT_EQ(v["SERVERTYPE"], "Public Server");
  EXPECT_EQ(v["SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED"], "selected");

  // Markers in lower case are found; a page without markers is sent as it is.
  EXPECT_EQ(c.Get("/lower.html").Body,
            "[&lt;Bob &amp; &quot;Co&quot;&gt;][" + std::to_string(Port) + "][admin]");
  EXPECT_EQ(c.Get("/plain.html").Body, "no markers here\r\n100% plain\r\n");

  // A value that looks like a marker is not expanded again.
  Server->EditSettings([&](TServerSettings& s) { s.ServerName = "%%SERVERPASSWORD%%"; });
  EXPECT_EQ(Lines(c.Get("/index.html").Body)["SERVERNAME"], "%%SERVERPASSWORD%%");

  // The account list: one row per account in stored order, values escaped;
  // rows see the page's markers too.
  r = c.Get("/accounts.html");
  EXPECT_EQ(r.Status, 200);
  const std::regex rows(
      "LIST\nROW\\|admin\\|admin\\|[^|]+\\|[^|]+\\|0\\|test\\|admin\n"
      "ROW\\|Caro&lt;l&gt;\\|carol\\|30-12-1899 00:00:00\\|[^|]+\\|0\\|test\\|admin\nEND");
  EXPECT_TRUE(std::regex_match(r.Body, rows)) << r.Body;
  // Without the row template the page leads to the error box.
  fs::remove(Docs / "database_client_manager_clientlist.html");
  r = c.Get("/accounts.html");
  EXPECT_EQ(r.Status, 302);
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("error", "error%20occured",
                        "file%20database_client_manager_clientlist.html%20was%20not%20found"));
}

TEST_F(WebInterfaceTest, IncludesNestAndStayBounded) {
  Page("outside-include.html",
       "%%INCLUDE%../httpdocs-private/secret.html%|%%INCLUDE%missing.html%|"
       "%%include%inc_b.html%|%%INCLUDE%inc_a.html%|%%INCLUDE%open");
  StartWeb();
  // Included text is read as lines and expanded in turn; a missing or
  // outside file removes its marker; only the upper-case marker counts.
  EXPECT_EQ(Web->ParseCommands("%%INCLUDE%inc_a.html%"), "A(B\nC\nD\n)\n");
  EXPECT_EQ(Web->LoadFile("inc_b.html"), "B\nC\nD\n");
  EXPECT_EQ(Web->LoadFile("../httpdocs-private/secret.html"), "");
  EXPECT_FALSE(Web->FileCheck("../httpdocs-private/secret.html"));
  EXPECT_TRUE(Web->FileCheck("sub/index.html"));

  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  EXPECT_EQ(c.Get("/outside-include.html").Body,
            "||%%include%inc_b.html%|A(B\nC\nD\n)\n|%%INCLUDE%open");

  // A page that includes itself twice answers quickly with a bounded page.
  const auto start = std::chrono::steady_clock::now();
  const TWebReply r = c.Get("/self.html");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.Status, 200);
  EXPECT_LE(r.Body.size(), TWebInterface::MaxPageSize);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(r.Body.find("%%INCLUDE%"), std::string::npos);
}

TEST_F(WebInterfaceTest, MessageBoxesEscapeTheirValuesAndKeepLinksLocal) {
  StartWeb();
  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  EXPECT_EQ(c.Get("/error_box.html?error_title=%3Cscript%3Ex&error_text=a+%26+b"
                  "&error_url=javascript:alert(1)")
                .Body,
            "ERR|&lt;script&gt;x|a &amp; b|index.html");
  EXPECT_EQ(
      c.Get("/ok_box.html?OK_TITLE=t&ok_text=%22q%22&ok_url=accounts.html%3Fa%3D1%26b%3D2").Body,
      "OK|t|&quot;q&quot;|accounts.html?a=1&amp;b=2");
  EXPECT_EQ(c.Get("/choice_box.html?choice_title=T&choice_text=X&choice_url_yes=//evil.example/"
                  "&choice_yes=Y&choice_url_no=%5C%5Cevil&choice_no=N")
                .Body,
            "CHOICE|T|X|index.html|Y|index.html|N");

  // Box redirects carry their values URL-encoded.
  const TWebReply r = c.Post("/ASK_DELETE_CLIENT.VXCMD", "CLIENT=a+b%26c%3Dd%23");
  EXPECT_EQ(r.Status, 302);
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(r.Header("Location"),
            "choice_box.html?choice_title=please%20choose&choice_text=you%20really%20want%20do"
            "%20delete%20a%20b%26c%3Dd%23&choice_url_yes=DELETE_CLIENT.VXCMD%3Fclient%3Da%252"
            "0b%2526c%253Dd%2523&choice_url_no=index.html&choice_yes=yes&choice_no=no");
  // Following it shows the texts as they were.
  EXPECT_EQ(c.Get("/" + r.Header("Location")).Body,
            "CHOICE|please choose|you really want do delete a b&amp;c=d#|"
            "DELETE_CLIENT.VXCMD?client=a%20b%26c%3Dd%23|yes|index.html|no");
}

TEST_F(WebInterfaceTest, AccountCommands) {
  StartWeb();
  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");

  TWebReply r = c.Post("/ADD_CLIENT.VXCMD", "CLIENTLOGINNAME=dave&CLIENTPW1=a&CLIENTPW2=b");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("error", "error%20occured", "the%20passwords%20dont%20match"));
  EXPECT_EQ(Users().GetUser(Section, "dave", false), nullptr);

  r = c.Post("/ADD_CLIENT.VXCMD",
             "CLIENTLOGINNAME=dave&CLIENTPW1=pw&CLIENTPW2=pw&CLIENTSERVERADMIN=1"
             "&CLIENTSUPERSERVERADMIN=1");
  EXPECT_EQ(r.Header("Location"), BoxLocation("ok", "operation%20successfully",
                                              "the%20user%20dave%20was%20added%20to%20server"));
  auto dave = Users().GetUser(Section, "dave", false);
  ASSERT_NE(dave, nullptr);
  EXPECT_EQ(dave->LogInPassWord, "pw");
  EXPECT_EQ(dave->Priviliges, 9);
  EXPECT_EQ(dave->RegisteredBy, "admin");
  r = c.Post("/ADD_CLIENT.VXCMD", "CLIENTLOGINNAME=DAVE&CLIENTPW1=x&CLIENTPW2=x");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("error", "error%20occured", "a%20user%20with%20name%20already%20exists"));

  // Editing: differing passwords save nothing; rights follow the boxes.
  r = c.Post("/EDIT_CLIENT.VXCMD", "CLIENT=dave&CLIENTPW1=x&CLIENTPW2=y&CLIENTSERVERADMIN=0");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("error", "error%20occured", "the%20passwords%20dont%20match"));
  EXPECT_EQ(Users().GetUser(Section, "dave", false)->Priviliges, 9);
  r = c.Post("/EDIT_CLIENT.VXCMD", "CLIENT=dave&CLIENTPW1=new&CLIENTPW2=new");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("ok", "operation%20successfully", "the%20user%20dave%20was%20edited"));
  dave = Users().GetUser(Section, "dave", false);
  EXPECT_EQ(dave->LogInPassWord, "new");
  EXPECT_EQ(dave->Priviliges, 0);
  r = c.Post("/EDIT_CLIENT.VXCMD", "CLIENT=dave&CLIENTPW1=&CLIENTSUPERSERVERADMIN=1");
  EXPECT_EQ(Users().GetUser(Section, "dave", false)->Priviliges, 8);
  EXPECT_EQ(Users().GetUser(Section, "dave", false)->LogInPassWord, "new");

  // Editing the own password keeps the session logged in.
  r = c.Post("/EDIT_CLIENT.VXCMD",
             "CLIENT=admin&CLIENTPW1=changed&CLIENTPW2=changed&CLIENTSERVERADMIN=1"
             "&CLIENTSUPERSERVERADMIN=1");
  EXPECT_EQ(Users().GetUser(Section, "admin", false)->LogInPassWord, "changed");
  EXPECT_EQ(c.Get("/index.html").Body.rfind("INDEX\n", 0), 0u);

  // Deleting takes the account named when asking, not the one in the link.
  r = c.Get("/ASK_DELETE_CLIENT.VXCMD?CLIENT=dave");
  EXPECT_EQ(r.Header("Location").rfind("choice_box.html?choice_title=please%20choose", 0), 0u);
  r = c.Get("/DELETE_CLIENT.VXCMD?client=admin");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("ok", "operation%20successfully", "user%20dave%20deleted"));
  EXPECT_EQ(Users().GetUser(Section, "dave", false), nullptr);
  EXPECT_NE(Users().GetUser(Section, "admin", false), nullptr);
  r = c.Get("/DELETE_CLIENT.VXCMD");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("error", "error%20occured",
                        "user%20%20not%20deleted%2C%20user%20was%20not%20found%20in%20database"));

  // A password changed elsewhere: only the access-denied page from now on.
  auto admin = Users().GetUser(Section, "admin", false);
  admin->LogInPassWord = "elsewhere";
  ASSERT_TRUE(Users().StoreUser(Section, *admin));
  r = c.Get("/index.html");
  EXPECT_EQ(r.Status, 403);
  EXPECT_EQ(r.Body,
            "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
            "You do not have sufficient priviligies to access this document.</body></html>");
  EXPECT_EQ(r.Header("Connection"), "close");
  EXPECT_EQ(c.Get("/LOGOUT.VXCMD").Status, 403);
}

TEST_F(WebInterfaceTest, SettingsCommandSavesAndRestartsTheServer) {
  StartWeb();
  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  const TServerObject* before = Server.get();
  const double started = Server->StartTime.Value;
  ASSERT_TRUE(WaitUntil([&] { return TDateTime::Now().Value > started; }, 1s));
  const TWebReply r =
      c.Post("/SETTINGS_SERVER.VXCMD",
             "SERVERNAME=New+%3CName%3E&SERVERWELCOMEMESSAGE=Welcome&SERVERMAXUSERS=abc"
             "&SERVERPASSWORD=+pw+&SERVERTYPE=2&SERVERREGISTERTYPE=2&SERVERREGISTERCHANNELMODE=1"
             "&CODECGSM148=1&SERVERWEBPOSTLINKURL=+http%3A%2F%2Flink+");
  EXPECT_EQ(r.Header("Location"),
            BoxLocation("ok", "operation%20successfully",
                        "server%20config%20was%20changed%20and%20will%20be%20restarted%20now"));
  const auto server = Manager.FindServerByName(Section);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server.get(), before);
  EXPECT_GT(server->StartTime.Value, started);  // restarted
  EXPECT_EQ(server->Settings()->ServerName, "New <Name>");
  EXPECT_EQ(server->Settings()->ServerWelcomeMessage, "Welcome");
  EXPECT_EQ(server->Settings()->ServerMaxUsers, 12);
  EXPECT_EQ(server->Settings()->ServerPassword, "pw");
  EXPECT_EQ(server->Settings()->ServerType, SERVERTYPE_PUBLIC | SERVERTYPE_RUNNING);
  EXPECT_EQ(server->Settings()->ServerFlags, SERVERFLAG_ANYONE_REGISTERS);
  EXPECT_FALSE(server->Settings()->AllowCodecCelp51);
  EXPECT_FALSE(server->Settings()->AllowCodecCelp63);
  EXPECT_TRUE(server->Settings()->AllowCodecGSM148);
  EXPECT_FALSE(server->Settings()->AllowCodecGSM164);
  EXPECT_FALSE(server->Settings()->AllowCodecWindowsCELP52);
  EXPECT_EQ(server->Settings()->WebPost_LinkURL, "http://link");
  TIniFile ini(ProcessSettings().IniPath);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString(Section, "ServerName", ""), "New <Name>");
  EXPECT_EQ(ini.ReadInteger(Section, "AllowCodecCelp51", 1), 0);
  // The session goes on with the restarted server.
  EXPECT_EQ(Lines(c.Get("/index.html").Body)["SERVERNAME"], "New &lt;Name&gt;");

  // A numeric player limit in range is taken; the settings box stays apart
  // from the other settings.
  c.Post("/SETTINGS_SERVER.VXCMD", "SERVERNAME=X&SERVERMAXUSERS=70000");
  EXPECT_EQ(Manager.FindServerByName(Section)->Settings()->ServerMaxUsers, 12);
  c.Post("/SETTINGS_SERVER.VXCMD", "SERVERNAME=X&SERVERMAXUSERS=30&SERVERTYPE=1");
  EXPECT_EQ(Manager.FindServerByName(Section)->Settings()->ServerMaxUsers, 30);
  EXPECT_EQ(Manager.FindServerByName(Section)->Settings()->ServerType,
            SERVERTYPE_CLAN | SERVERTYPE_RUNNING);
}

TEST_F(WebInterfaceTest, SessionsBelongToTheirAddressAndExpire) {
  StartWeb();
  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  const std::string id = c.Session;

  // The same cookie from another address is not processed.
  TWebClient other(WebPort, "127.0.0.2");
  if (other.Connect()) {
    other.Session = id;
    const TWebReply r = other.Get("/index.html");
    EXPECT_EQ(r.Status, 200);
    EXPECT_EQ(r.Body, "");
    EXPECT_EQ(other.Session, "");  // told to drop the cookie
  }
  EXPECT_EQ(c.Get("/index.html").Body.rfind("INDEX\n", 0), 0u);

  // The session page: variables, a new one, and closing.
  TWebReply r = c.Post("/session", "ParamName=Foo&Param=%3Cb%3E");
  EXPECT_EQ(r.Header("Content-Type"), "text/HTML");
  EXPECT_EQ(r.Body.rfind("<html><head><title>Virtual folder</title></head><body><h1>Session "
                         "informations</h1><table border=1>",
                         0),
            0u);
  EXPECT_NE(r.Body.find("<td>SessionID</td><td>" + id + "</td>"), std::string::npos);
  EXPECT_NE(r.Body.find("Foo=&lt;b&gt;\n"), std::string::npos);
  EXPECT_NE(r.Body.find("loggedin=1\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(r.Body, std::regex("StartTime=20[0-9-]+ [0-9:]+\n")));
  EXPECT_NE(r.Body.find("<a href=\"/session?action=close\">Close current session</a>"),
            std::string::npos);
  r = c.Get("/sessions?action=CLOSE");
  EXPECT_EQ(r.Body,
            "<html><head><title>Virtual folder</title></head><body><h1>Session cleared</h1><p><a "
            "href=\"/sessions\">Back</a></p></body></html>");
  EXPECT_EQ(c.Session, "");
  c.Session = id;
  EXPECT_EQ(c.Get("/index.html").Body, "");  // an unknown session is not answered with a page

  // An idle session expires; its next request gets no page, the one after
  // that the login page of a new session. The time-out is shortened only
  // once the session sits idle, so a slow machine cannot expire it early.
  c.Session.clear();
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  EXPECT_EQ(c.Get("/index.html").Body.rfind("INDEX\n", 0), 0u);
  Web->HTTPServer()->SetSessionTimeoutMs(50);
  std::this_thread::sleep_for(80ms);
  r = c.Get("/index.html");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Body, "");
  EXPECT_EQ(c.Get("/index.html").Body.rfind("LOGIN|", 0), 0u);
  // The cleaner discards expired sessions without any request.
  EXPECT_TRUE(WaitUntil([&] { return Web->HTTPServer()->Sessions().Count() == 0; }, 3s));
}

TEST_F(WebInterfaceTest, LoginGuessesAreThrottledAndLoggedAndALoginRenewsTheSession) {
  CaptureLog();
  StartWeb();
  TLoginThrottle::TLimits limits;
  limits.FreeFailures = 2;
  limits.FirstDelay = 100ms;
  limits.MaxDelay = 200ms;
  TLoginThrottle quick(limits);
  Web->Throttle = &quick;
  TWebClient c(WebPort);
  c.Get("/login.html");
  const std::string before = c.Session;
  // Two guesses are answered at once, the next ones 100 ms, then 200 ms
  // apart: five take at least half a second.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(LogIn(c, "admin", "guess" + std::to_string(i)).Header("Location"), "login.html");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(c.Session, before);
  // The right password still gets in, under a new session identifier; the
  // old one is worthless from then on.
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  ASSERT_FALSE(c.Session.empty());
  EXPECT_NE(c.Session, before);
  EXPECT_EQ(c.Get("/index.html").Body.rfind("INDEX\n", 0), 0u);
  TWebClient stale(WebPort);
  stale.Session = before;
  EXPECT_EQ(stale.Get("/index.html").Body, "");

  const std::string log = LogText();
  EXPECT_EQ(LogCount(",WARNING,All,WEBINTERFACE,\tLOGIN.VXCMD: invalid login of admin from "
                     "127.0.0.1\n"),
            5u)
      << log;
  EXPECT_EQ(LogCount(",WARNING,Info,WEBINTERFACE,\tLOGIN.VXCMD: admin logged in from "
                     "127.0.0.1\n"),
            1u);
  EXPECT_EQ(log.find("guess"), std::string::npos) << "tried passwords are never logged";
}

TEST_F(WebInterfaceTest, FilesMimeTypesNotFoundAndTraversal) {
  StartWeb();
  TWebClient c(WebPort);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  TWebReply r = c.Get("/style.css");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Header("Content-Type"), "text/css");
  EXPECT_EQ(r.Body, "body { color: red; }\n");
  r = c.Get("/image.png");
  EXPECT_EQ(r.Header("Content-Type"), "image/png");
  EXPECT_EQ(r.Body, std::string("\x89PNG\r\n\x1a\n\0\0binary", 16));
  EXPECT_EQ(c.Get("/data.unknownext").Header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(Web->GetMIMEType("x/Y.HTML"), "text/html");
  EXPECT_EQ(Web->GetMIMEType("noextension"), "application/octet-stream");

  // HEAD: the headers with the file's length, and no body (the next reply
  // on the same connection reads cleanly).
  r = c.Head("/image.png");
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Header("Content-Length"), "16");
  EXPECT_EQ(r.Header("Content-Type"), "image/png");
  EXPECT_EQ(c.Get("/style.css").Body, "body { color: red; }\n");

  r = c.Get("/missing.png");
  EXPECT_EQ(r.Status, 404);
  EXPECT_EQ(r.Body,
            "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>");
  EXPECT_EQ(c.Get("/missing.html").Status, 404);
  EXPECT_EQ(c.Get("/emptydir/").Status, 404);

  const std::string denied = "<h1>Access denied</h1>";
  for (const char* path : {"/../httpdocs-private/secret.txt", "/%2e%2e/httpdocs-private/secret.txt",
                           "/sub/../../httpdocs-private/secret.html", "/link/secret.txt",
                           "/link/secret.html", "/../httpdocs-private/nothing.png"}) {
    TWebClient attacker(WebPort);
    attacker.Session = c.Session;
    r = attacker.Get(path);
    EXPECT_EQ(r.Status, 403) << path;
    EXPECT_NE(r.Body.find(denied), std::string::npos) << path;
    EXPECT_EQ(r.Body.find("SECRET"), std::string::npos) << path;
  }
  // Security headers on every answer.
  r = c.Get("/index.html");
  EXPECT_EQ(r.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_NE(r.Header("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
}

TEST_F(WebInterfaceTest, ProtocolLimitsAndConnections) {
  StartWeb(600);
  // Keep-alive, pipelining and HTTP/1.0.
  TWebClient c(WebPort);
  c.Get("/");
  const int fd = c.Socket();
  ASSERT_TRUE(c.SendRaw("GET /a HTTP/1.1\r\nHost: x\r\nCookie: VXSESSIONID=" + c.Session +
                        "\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\nCookie: VXSESSIONID=" + c.Session +
                        "\r\n\r\n"));
  EXPECT_EQ(c.ReadReply().Body.rfind("LOGIN|", 0), 0u);
  EXPECT_EQ(c.ReadReply().Body.rfind("LOGIN|", 0), 0u);
  EXPECT_EQ(c.Socket(), fd);
  TWebClient old(WebPort);
  old.SendRaw("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(old.ReadReply().Header("Connection"), "close");
  EXPECT_FALSE(old.Connected());

  // Expect: 100-continue gets the interim answer before the body is sent.
  TWebClient expect(WebPort);
  ASSERT_TRUE(expect.SendRaw(
      "POST /LOGIN.VXCMD HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 5\r\n\r\n"));
  char interim[64] = {};
  EXPECT_GT(recv(expect.Socket(), interim, sizeof interim - 1, 0), 0);
  EXPECT_EQ(std::string(interim), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(expect.SendRaw("a=b&c"));
  EXPECT_EQ(expect.ReadReply().Header("Location"), "login.html");

  const auto statusOf = [&](const std::string& raw) {
    TWebClient t(WebPort);
    t.SendRaw(raw);
    const TWebReply reply = t.ReadReply();
    EXPECT_TRUE(t.ClosedByServer(2000)) << raw.substr(0, 40);
    return reply.Status;
  };
  EXPECT_EQ(statusOf("GET /" + std::string(17 * 1024, 'a') + " HTTP/1.1\r\n\r\n"), 431);
  EXPECT_EQ(statusOf("GET / HTTP/1.1\r\nX: " + std::string(17 * 1024, 'a') + "\r\n\r\n"), 431);
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n"), 413);
  EXPECT_EQ(statusOf("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"), 501);
  EXPECT_EQ(statusOf("PUT / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), 501);
  EXPECT_EQ(statusOf(std::string("GET /\0x HTTP/1.1\r\n\r\n", 20)), 400);
  EXPECT_EQ(statusOf("GET /%00 HTTP/1.1\r\n\r\n"), 400);
  EXPECT_EQ(statusOf("GARBAGE\r\n\r\n"), 400);
  EXPECT_EQ(statusOf("GET / HTTP/2.0\r\n\r\n"), 505);

  // An idle connection, or one that never finishes its request, is closed.
  TWebClient idle(WebPort);
  ASSERT_TRUE(idle.Connect());
  TWebClient slow(WebPort);
  ASSERT_TRUE(slow.SendRaw("GET / HTTP/1.1\r\nHost"));
  EXPECT_TRUE(idle.ClosedByServer(3000));
  EXPECT_TRUE(slow.ClosedByServer(3000));
}

TEST_F(WebInterfaceTest, ConnectionCapsPerAddressAndInAll) {
  StartWeb(20000);
  // Slow clients of one address take 8 places; its next gets 503 while
  // another address is still served. 64 in all: the next gets 503 too.
  std::vector<std::unique_ptr<TWebClient>> held;
  const auto hold = [&](const std::string& from, int count) {
    for (int i = 0; i < count; ++i) {
      held.push_back(std::make_unique<TWebClient>(WebPort, from));
      ASSERT_TRUE(held.back()->Connect());
    }
  };
  hold("127.0.0.1", 8);
  ASSERT_TRUE(WaitUntil([&] { return Web->HTTPServer()->ConnectionCount() == 8; }, 5s));
  TWebClient sameAddress(WebPort);
  ASSERT_TRUE(sameAddress.Connect());
  EXPECT_EQ(sameAddress.ReadReply().Status, 503);
  TWebClient otherAddress(WebPort, "127.0.0.2");
  EXPECT_EQ(otherAddress.Get("/").Status, 200);
  otherAddress.Close();
  ASSERT_TRUE(WaitUntil([&] { return Web->HTTPServer()->ConnectionCount() == 8; }, 5s));
  for (int n = 2; n <= 8; ++n) hold("127.0.0." + std::to_string(n), 8);
  ASSERT_TRUE(WaitUntil([&] { return Web->HTTPServer()->ConnectionCount() == 64; }, 5s));
  TWebClient extra(WebPort, "127.0.0.9");
  ASSERT_TRUE(extra.Connect());
  EXPECT_EQ(extra.ReadReply().Status, 503);
  held.clear();
  ASSERT_TRUE(WaitUntil([&] { return Web->HTTPServer()->ConnectionCount() == 0; }, 5s));
  TWebClient again(WebPort);
  EXPECT_EQ(again.Get("/").Status, 200);
  // A port in use: the start fails and reports it.
  TWebInterface second(Manager);
  EXPECT_FALSE(second.Start(WebPort, Docs.string(), "127.0.0.1"));
  EXPECT_FALSE(second.Active());
  EXPECT_FALSE(second.Start(70000, Docs.string(), "127.0.0.1"));
  EXPECT_FALSE(second.Start(0, Docs.string(), "not-an-address"));
  // Stopping ends every thread, also those of open connections.
  TWebClient open(WebPort);
  ASSERT_TRUE(open.Connect());
  const auto start = std::chrono::steady_clock::now();
  Web->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(Web->Active());
}

TEST_F(WebInterfaceTest, ShippedPagesFillEveryMarkerAndCarryTheCommandFields) {
  StartWeb();
  Web.reset();
  const fs::path shipped = fs::path(VX_SOURCE_DIR) / "httpdocs";
  ASSERT_TRUE(fs::exists(shipped / "login.html"));
  Web = std::make_unique<TWebInterface>(Manager);
  ASSERT_TRUE(Web->Start(0, shipped.string(), "127.0.0.1"));
  TWebClient c(Web->BoundPort());
  const auto noMarkers = [](const std::string& page) {
    return page.find("%%") == std::string::npos && page.find("%!") == std::string::npos;
  };
  TWebReply r = c.Get("/");
  EXPECT_TRUE(noMarkers(r.Body));
  for (const char* field : {"name=\"username\"", "name=\"password\"", "name=\"serverport\"",
                            "action=\"LOGIN.VXCMD\"", "<style>"}) {
    EXPECT_NE(r.Body.find(field), std::string::npos) << field;
  }
  // A failed sign-in says so once.
  LogIn(c, "admin", "wrong");
  EXPECT_NE(c.Get("/").Body.find("Sign-in failed"), std::string::npos);
  EXPECT_EQ(c.Get("/").Body.find("Sign-in failed"), std::string::npos);
  ASSERT_EQ(LogIn(c).Header("Location"), "index.html");
  const std::pair<const char*, std::vector<const char*>> pages[] = {
      {"/index.html",
       {"id=\"uptime\"", "id=\"users\"", "id=\"channels\"", "id=\"live-charts\"",
        "src=\"js/live.js\"", "aria-current=\"page\">Overview"}},
      {"/players.html", {"Nobody is online."}},
      {"/player.html?player=1", {"There is no player with the id"}},
      {"/channels.html", {"CHANNEL_CREATE.VXCMD", "name=\"csrf\"", "id=\"channel-tree\""}},
      {"/channel_edit.html?channel=0", {"CHANNEL_CHANGE.VXCMD", "CHANNEL_DELETE.VXCMD"}},
      {"/log.html", {"name=\"type\"", "name=\"text\""}},
      {"/settings.html",
       {"SETTINGS_SERVER.VXCMD", "SERVERNAME", "SERVERWELCOMEMESSAGE", "SERVERMAXUSERS",
        "SERVERPASSWORD", "SERVERTYPE", "SERVERREGISTERTYPE", "SERVERREGISTERCHANNELMODE",
        "CODECCelp51", "CODECCelp63", "CODECGSM148", "CODECGSM164", "CODECWindowsCELP52",
        "SERVERWEBPOSTLINKURL"}},
      {"/accounts.html",
       {"ADD_CLIENT.VXCMD", "CLIENTLOGINNAME", "CLIENTPW1", "CLIENTPW2", "CLIENTSERVERADMIN",
        "CLIENTSUPERSERVERADMIN", "ASK_DELETE_CLIENT.VXCMD", "value=\"admin\"",
        "<td data-label=\"Last change\">never</td>"}},
      {"/client_edit.html?client=admin",
       {"EDIT_CLIENT.VXCMD", "name=\"CLIENT\" value=\"admin\"", "CLIENTPW1", "CLIENTPW2"}},
      {"/servers.html",
       {"LOGIN.VXCMD", "<option selected value=", "SERVER_ADD.VXCMD", "SERVER_RESTART.VXCMD"}},
      {"/error_box.html?error_title=t&error_text=x&error_url=index.html", {"href=\"index.html\""}},
      {"/ok_box.html?ok_title=t&ok_text=x&ok_url=index.html", {"href=\"index.html\""}},
      {"/choice_box.html?choice_title=t&choice_text=x&choice_url_yes=a.html&choice_yes=y"
       "&choice_url_no=index.html&choice_no=n",
       {"href=\"a.html\""}},
  };
  for (const auto& [path, fields] : pages) {
    r = c.Get(path);
    EXPECT_EQ(r.Status, 200) << path;
    EXPECT_TRUE(noMarkers(r.Body)) << path;
    EXPECT_NE(r.Body.find("<meta charset=\"utf-8\">"), std::string::npos) << path;
    for (const char* field : fields) {
      EXPECT_NE(r.Body.find(field), std::string::npos) << path << " " << field;
    }
  }
  // An account that is not there is said to be missing.
  r = c.Get("/client_edit.html?client=nobody");
  EXPECT_NE(r.Body.find("There is no account named &ldquo;nobody&rdquo;"), std::string::npos);
  EXPECT_NE(r.Body.find("<div hidden>"), std::string::npos);
  EXPECT_EQ(c.Get("/css/vx.css").Header("Content-Type"), "text/css");
  EXPECT_EQ(c.Get("/images/logo.svg").Header("Content-Type"), "image/svg+xml");
}

}  // namespace
}  // namespace vx::testing
