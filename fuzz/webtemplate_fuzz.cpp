// Fuzz target for the web page template engine: include expansion over a
// small document folder (with files that include themselves and each other),
// then the markers of a selected server, an account, the session and the
// request parameters, the drop-down list and the account list.
//
// Input: one byte of switches (bit 0: a server is selected, bit 1: the
// session is a super admin, bit 2: the "client" parameter names an account),
// then the page; after the first NUL byte, NUL-separated values of the
// request parameters the page markers show.
//
// Checks what the pages rely on: expansion ends within its bounds, a page
// without includes comes out of it unchanged, and no request value, account
// or server field reaches the page unescaped: on a page without '<' of its
// own, every '<' of the result belongs to the markup the engine generates.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "admin/webinterface_u.h"
#include "domain/zevevira_users_u.h"
#include "host/ZeveVira.h"
#include "net/HttpRequest.h"
#include "net/HttpSession.h"
#include "server/serverobject_u.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* FuzzSection = "server_cfg Fuzz";
constexpr const char* ParamNames[] = {"error_title", "error_text", "error_url",  "ok_title",
                                      "ok_text",     "ok_url",     "choice_yes", "choice_url_no"};

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

struct TFuzzWorld {
  fs::path Dir;
  vx::TServerManager Manager;
  std::unique_ptr<vx::TWebInterface> Web;

  TFuzzWorld() {
    std::string pattern = (fs::temp_directory_path() / "vx-webtemplate-XXXXXX").string();
    Dir = mkdtemp(pattern.data());
    const fs::path docs = Dir / "httpdocs";
    fs::create_directories(docs / "sub");
    WriteFile(docs / "self.html", "[%%INCLUDE%self.html%]");
    WriteFile(docs / "a.html", "A%%INCLUDE%b.html%\r\n");
    WriteFile(docs / "b.html", "B%%INCLUDE%a.html%%%SERVERNAME%%\r");
    WriteFile(docs / "sub" / "open.html", "%%INCLUDE%");
    WriteFile(docs / "database_client_manager_clientlist.html",
              "ROW|%%CLIENT_NAME%%|%%CLIENT_LOGINNAME%%|%%CLIENT_REGISTEREDBY%%|%%ERROR_TEXT%%\n");

    auto database = std::make_unique<vx::TZeveVira>();
    database->SetFileName((Dir / "server.db").string());
    database->SetActive(true);
    vx::TZeveViraUsers users(*database);
    const auto add = [&](const char* login, const char* nick, uint16_t rights) {
      vx::TClientObject account;
      account.LogInName = login;
      account.NickName = nick;
      account.LogInPassWord = "pw";
      account.Priviliges = rights;
      account.RegisteredBy = "<i>Server</i>";
      users.AddUser(FuzzSection, account);
    };
    add("admin", "<b>admin</b>", 9);
    add("%%SERVERNAME%%", "\"quoted\" & 'single'", 1);
    Manager.SetDatabase(std::move(database));

    auto server = std::make_shared<vx::TServerObject>(Manager);
    server->ConfigName = FuzzSection;
    server->EditSettings([&](vx::TServerSettings& s) {
      s.ServerName = "Fuzz <&> %%SERVERID%%";
      s.ServerWelcomeMessage = "<script>x</script>";
      s.ServerPassword = "\"pw\"";
      s.WebPost_LinkURL = "javascript:alert(1)";
      s.ServerUDPPort = 8767;
    });
    Manager.RegisterServer(server);

    Web = std::make_unique<vx::TWebInterface>(Manager);
    Web->SetDocumentRoot(docs.string());
  }
  ~TFuzzWorld() {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
};

// Every '<' of the text opens a comment, an option element or its end.
bool OnlyGeneratedMarkup(std::string_view text) {
  for (size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1)) {
    const std::string_view rest = text.substr(i);
    if (rest.rfind("<!--", 0) != 0 && rest.rfind("<option ", 0) != 0 &&
        rest.rfind("</option>", 0) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFuzzWorld world;
  if (size == 0) return 0;
  const uint8_t switches = data[0];
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t nul = input.find('\0');
  const std::string page(input.substr(0, nul));

  vx::THTTPRequestInfo request;
  request.RemoteIP = "127.0.0.1";
  if (nul != std::string_view::npos) {
    std::string_view values = input.substr(nul + 1);
    for (const char* name : ParamNames) {
      const size_t end = values.find('\0');
      request.Params.emplace_back(name, std::string(values.substr(0, end)));
      if (end == std::string_view::npos) break;
      values.remove_prefix(end + 1);
    }
  }
  if ((switches & 4) != 0) request.Params.emplace_back("client", "admin");
  auto session = std::make_shared<vx::THTTPSession>("fuzz", "127.0.0.1");
  if ((switches & 1) != 0) session->SetValue("serverid", FuzzSection);
  session->SetValue("superadmin", (switches & 2) != 0 ? "1" : "0");
  session->SetValue("username", "<u>admin</u>");
  request.Session = session;

  const std::string expanded = world.Web->ParseCommands(page);
  if (expanded.size() > vx::TWebInterface::MaxPageSize) __builtin_trap();
  if (page.find("%%INCLUDE%") == std::string::npos && expanded != page) __builtin_trap();

  vx::THTTPResponseInfo response;
  const std::string result = world.Web->SetVariables(expanded, request, response);
  if (page.find('<') == std::string::npos && !OnlyGeneratedMarkup(result)) __builtin_trap();
  return 0;
}
