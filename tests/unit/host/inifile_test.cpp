#include "host/IniFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/TextTools.h"

namespace vx {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "inifile-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + Dir + "'").c_str()); }

  std::string PathOf(const std::string& name) const { return Dir + "/" + name; }
  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::string> DirEntries() const {
    std::vector<std::string> names;
    DIR* d = ::opendir(Dir.c_str());
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    return names;
  }

  std::string Dir;
};

TEST(TextTools, TrimCaseAndEquality) {
  EXPECT_EQ(TrimText(" \t\r\n a b \x01\x20"), "a b");
  EXPECT_EQ(TrimText("\x7f x \x80"), "\x7f x \x80") << "only bytes up to 0x20 are blanks";
  EXPECT_EQ(TrimText("   "), "");
  EXPECT_EQ(UpperCaseAscii("lmtError-\xe4z"), "LMTERROR-\xe4Z");
  EXPECT_EQ(LowerCaseAscii("LMTerror-\xc4Z"), "lmterror-\xc4z");
  EXPECT_TRUE(SameTextAscii("Main Config", "MAIN config"));
  EXPECT_FALSE(SameTextAscii("Main Config", "Main Config "));
  EXPECT_FALSE(SameTextAscii("\xe4", "\xc4")) << "only a-z fold";
}

TEST_F(IniFileTest, LoadKeepsEverythingAndSavesInOrder) {
  const std::string path = PathOf("server.ini");
  WriteFile(path,
            "; operator notes\r\n"
            "stray=before any section\r\n"
            "[Main Config]\r\n"
            "HTTPServer Port=14534\r\r\n"
            "  DateTimeFormat  = dd-mm-yyyy = x \r\n"
            "; about the next key\r\n"
            "Unknown Key=kept\r\n"
            "line without equals sign\r\n"
            "=no key\r\n"
            "\r\n"
            "[servers]\r\n"
            "0=server_cfg Default\r\n"
            "0=second value of the same key\r\n"
            "[ Main Config ]\r\n"
            "Late=1");
  TIniFile ini(path);
  ASSERT_TRUE(ini.Load());

  // Names match without regard to case; the value is everything after the first '='.
  EXPECT_EQ(ini.ReadString("MAIN CONFIG", "httpserver port", "x"), "14534");
  EXPECT_EQ(ini.ReadString("Main Config", "DateTimeFormat", "x"), " dd-mm-yyyy = x ");
  EXPECT_EQ(ini.ReadString("Servers", "0", "x"), "server_cfg Default") << "first one wins";
  EXPECT_EQ(ini.ReadString("main config", "Late", "x"), "1") << "a repeated section continues";
  EXPECT_EQ(ini.ReadString("Main Config", "stray", "x"), "x");
  EXPECT_EQ(ini.ReadString("Main Config", "", "x"), "x");
  EXPECT_EQ(ini.ReadString("Main Config", "line without equals sign", "x"), "x");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Main Config", "servers"}));
  EXPECT_EQ(ini.ReadSection("main config"),
            (std::vector<std::string>{"HTTPServer Port", "DateTimeFormat", "Unknown Key", "Late"}));
  EXPECT_EQ(ini.ReadSection("Servers"), (std::vector<std::string>{"0"}));

  ini.WriteInteger("main config", "HTTPSERVER PORT", 80);  // keeps the key's first spelling
  ini.WriteString("Main Config", "TCPQueryPort", "51234");
  ini.WriteBool("WebPost", "Enabled", true);
  ASSERT_TRUE(ini.Save());
  const std::string expected =
      "; operator notes\n"
      "stray=before any section\n"
      "\n"
      "[Main Config]\n"
      "HTTPServer Port=80\n"
      "DateTimeFormat= dd-mm-yyyy = x \n"
      "; about the next key\n"
      "Unknown Key=kept\n"
      "line without equals sign\n"
      "=no key\n"
      "\n"
      "Late=1\n"
      "TCPQueryPort=51234\n"
      "\n"
      "[servers]\n"
      "0=server_cfg Default\n"
      "0=second value of the same key\n"
      "\n"
      "[WebPost]\n"
      "Enabled=1\n";
  EXPECT_EQ(ReadFile(path), expected);

  // A second round trip changes nothing.
  TIniFile again(path);
  ASSERT_TRUE(again.Load());
  EXPECT_EQ(again.ToText(), expected);

  // Deleting a key keeps the comment above it; deleting drops every copy of a key.
  again.DeleteKey("MAIN CONFIG", "unknown key");
  again.DeleteKey("servers", "0");
  EXPECT_FALSE(again.ValueExists("Main Config", "Unknown Key"));
  EXPECT_FALSE(again.ValueExists("servers", "0"));
  EXPECT_TRUE(again.SectionExists("Servers"));
  EXPECT_NE(again.ToText().find("; about the next key\nline without equals sign\n"),
            std::string::npos);
  again.EraseSection("SERVERS");
  EXPECT_FALSE(again.SectionExists("servers"));
  EXPECT_EQ(again.ReadBool("webpost", "enabled", false), true);
  EXPECT_EQ(again.ReadSections(), (std::vector<std::string>{"Main Config", "WebPost"}));

  // Values cannot smuggle in lines of their own.
  again.WriteString("WebPost", "ISPName", "x\r\n[Main Config]\nTCPQueryPort=1");
  for (const char* badKey : {"  ", "a=b", ";x", "#x", "[x"}) {
    again.WriteString("WebPost", badKey, "ignored]");
  }
  TIniFile third(path);
  ASSERT_TRUE(again.Save());
  ASSERT_TRUE(third.Load());
  EXPECT_EQ(third.ReadString("WebPost", "ISPName", ""), "x  [Main Config] TCPQueryPort=1");
  EXPECT_EQ(third.ReadInteger("Main Config", "TCPQueryPort", 0), 51234);
  EXPECT_EQ(third.ReadSection("WebPost"), (std::vector<std::string>{"Enabled", "ISPName"}));
}

TEST_F(IniFileTest, IntegersAndBooleans) {
  TIniFile ini(PathOf("numbers.ini"));
  const std::pair<const char*, int32_t> cases[] = {
      {"12", 12},
      {" 12 ", 12},
      {"\t-3\r", -3},
      {"+7", 7},
      {"007", 7},
      {"-0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", -1},
      {"-2147483649", -1},
      {"99999999999999999999", -1},
      {"", -1},
      {"  ", -1},
      {"12abc", -1},
      {"1 2", -1},
      {"0x10", -1},
      {"$10", -1},
      {"+-1", -1},
      {"-+1", -1},
      {"+", -1},
      {"-", -1},
      {"1.5", -1},
      {"yes", -1},
  };
  for (const auto& [text, want] : cases) {
    ini.WriteString("n", "v", text);
    EXPECT_EQ(ini.ReadInteger("n", "v", -1), want) << '"' << text << '"';
  }
  EXPECT_EQ(ini.ReadInteger("n", "missing", 42), 42);

  ini.WriteInteger("n", "big", int64_t(1) << 40);
  EXPECT_EQ(ini.ReadString("n", "big", ""), "1099511627776");
  EXPECT_EQ(ini.ReadInteger("n", "big", 5), 5) << "outside int32 reads as the default";

  ini.WriteBool("b", "on", true);
  ini.WriteBool("b", "off", false);
  EXPECT_EQ(ini.ReadString("b", "on", ""), "1");
  EXPECT_EQ(ini.ReadString("b", "off", ""), "0");
  EXPECT_TRUE(ini.ReadBool("b", "on", false));
  EXPECT_FALSE(ini.ReadBool("b", "off", true));
  ini.WriteString("b", "five", "5");
  ini.WriteString("b", "minus", "-1");
  ini.WriteString("b", "word", "true");
  EXPECT_TRUE(ini.ReadBool("b", "five", false));
  EXPECT_TRUE(ini.ReadBool("b", "minus", false));
  EXPECT_FALSE(ini.ReadBool("b", "word", false)) << "not a number: the default";
  EXPECT_TRUE(ini.ReadBool("b", "word", true));
  EXPECT_TRUE(ini.ReadBool("b", "missing", true));
}

TEST_F(IniFileTest, LoadAndSaveFailures) {
  // A missing file in an existing folder is an empty configuration.
  TIniFile fresh(PathOf("fresh.ini"));
  EXPECT_TRUE(fresh.Load());
  EXPECT_TRUE(fresh.ReadSections().empty());
  fresh.WriteString("Main Config", "TCPQueryPort", "51234");
  ASSERT_TRUE(fresh.Save());
  struct stat st {};
  ASSERT_EQ(::stat(PathOf("fresh.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new file may hold passwords";
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"fresh.ini"}) << "no temporary file left";

  // The operator's permissions survive a save.
  ASSERT_EQ(::chmod(PathOf("fresh.ini").c_str(), 0644), 0);
  ASSERT_TRUE(fresh.Save());
  ASSERT_EQ(::stat(PathOf("fresh.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // A symlinked file is saved where the link points; the link stays a link.
  ASSERT_EQ(::chmod(PathOf("fresh.ini").c_str(), 0640), 0);
  ASSERT_EQ(::symlink("fresh.ini", PathOf("link.ini").c_str()), 0);
  TIniFile linked(PathOf("link.ini"));
  ASSERT_TRUE(linked.Load());
  linked.WriteString("Main Config", "HTTPServer Port", "0");
  ASSERT_TRUE(linked.Save());
  ASSERT_EQ(::lstat(PathOf("link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(PathOf("fresh.ini")),
            "[Main Config]\nTCPQueryPort=51234\nHTTPServer Port=0\n");
  ASSERT_EQ(::stat(PathOf("fresh.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::unlink(PathOf("link.ini").c_str()), 0);

  // A missing folder: nothing can be read or written.
  TIniFile lost(PathOf("no such folder/server.ini"));
  lost.WriteString("a", "b", "c");
  EXPECT_FALSE(lost.Load());
  EXPECT_FALSE(lost.SectionExists("a")) << "a failed load leaves the object empty";
  lost.WriteString("a", "b", "c");
  EXPECT_FALSE(lost.Save());

  // Save fails at the rename (the name is a folder): the folder and its
  // content stay, and the temporary file is removed.
  ASSERT_EQ(::mkdir(PathOf("taken").c_str(), 0755), 0);
  WriteFile(PathOf("taken/inside"), "x");
  TIniFile taken(PathOf("taken"));
  EXPECT_FALSE(taken.Load());
  taken.WriteString("a", "b", "c");
  EXPECT_FALSE(taken.Save());
  EXPECT_EQ(ReadFile(PathOf("taken/inside")), "x");
  EXPECT_EQ(DirEntries().size(), 2u) << "only fresh.ini and taken";

  // Oversized files are refused rather than read.
  const std::string huge = PathOf("huge.ini");
  WriteFile(huge, "[a]\nb=c\n");
  ASSERT_EQ(::truncate(huge.c_str(), TIniFile::MaxFileSize + 1), 0);
  TIniFile big(huge);
  EXPECT_FALSE(big.Load());
  EXPECT_FALSE(big.SectionExists("a"));
  ASSERT_EQ(::truncate(huge.c_str(), 8), 0);
  EXPECT_TRUE(big.Load());
  EXPECT_EQ(big.ReadString("A", "B", ""), "c");
  EXPECT_FALSE(big.LoadFromText(std::string(TIniFile::MaxLineCount + 1, '\n')));
  EXPECT_FALSE(big.SectionExists("a"));
}

TEST_F(IniFileTest, ConcurrentWritersReadersAndSaves) {
  TIniFile ini(PathOf("server.ini"));
  ASSERT_TRUE(ini.Load());
  constexpr int Threads = 4, Keys = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&ini, t] {
      const std::string section = "server_cfg " + std::to_string(t);
      for (int k = 0; k < Keys; ++k) {
        ini.WriteInteger(section, "Key" + std::to_string(k), k);
        EXPECT_EQ(ini.ReadInteger(section, "KEY" + std::to_string(k), -1), k);
        if (k % 50 == 0) {
          EXPECT_TRUE(ini.Save());
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  ASSERT_TRUE(ini.Save());
  TIniFile check(PathOf("server.ini"));
  ASSERT_TRUE(check.Load());
  for (int t = 0; t < Threads; ++t) {
    EXPECT_EQ(check.ReadSection("server_cfg " + std::to_string(t)).size(), size_t(Keys));
  }
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"server.ini"});
}

}  // namespace
}  // namespace vx
