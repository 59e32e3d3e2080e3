#include "host/logdebug.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "host/IniFile.h"
#include "host/TimeTools.h"

namespace vx {
namespace {

const std::string Dashes(63, '-');

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "logdebug-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
    LogPath = Dir + "/server.log";
    IniPath = Dir + "/server.ini";
  }
  void TearDown() override {
    ReleaseLogFile();
    std::system(("rm -rf '" + Dir + "'").c_str());
  }

  void WriteIni(const std::string& text) { std::ofstream(IniPath, std::ios::binary) << text; }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
  }
  // Logs one message of every type and depth and returns the lines written.
  std::vector<std::string> LogEveryKind(TLogObject& log) {
    const size_t before = Lines(ReadFile(LogPath)).size();
    for (int t = LMTDEBUG; t <= LMTALL; ++t) {
      for (int d = LMDIMPORTANT; d <= LMDINFO; ++d) {
        log.Log(TLogMessageType(t), TLogMessageDepth(d), "c", "m");
      }
    }
    auto lines = Lines(ReadFile(LogPath));
    return {lines.begin() + std::ptrdiff_t(before), lines.end()};
  }

  TManualClock Clock{TDateTime::Encode({2026, 12, 8, 4, 49, 32, 0})};
  TClockOverride ClockGuard{Clock};
  std::string Dir, LogPath, IniPath;
};

TEST_F(LogTest, FiltersFromTheDebugSection) {
  // No "debug" section: the defaults are written, the rest of the file stays.
  WriteIni("[Main Config]\nTCPQueryPort=51234\n");
  TLogFile all(LogPath);
  all.LoadFilters(IniPath);
  TIniFile ini(IniPath);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString("debug", "MessageTypes", ""), "LMTALL");
  EXPECT_EQ(ini.ReadString("debug", "MessageDepths", ""), "LMDALL");
  EXPECT_EQ(ini.ReadString("Main Config", "TCPQueryPort", ""), "51234");
  EXPECT_EQ(LogEveryKind(all).size(), 24u);

  // Empty "MessageTypes": the defaults overwrite a "MessageDepths" already there.
  WriteIni("[Debug]\nMessageTypes=\nMessageDepths=LMDIMPORTANT\n");
  all.LoadFilters(IniPath);
  EXPECT_EQ(LogEveryKind(all).size(), 24u);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString("debug", "MessageDepths", ""), "LMDALL");

  // Tokens are found as substrings after upper-casing.
  for (const char* types : {"lmterror", "LMTERRORS"}) {
    WriteIni(std::string("[debug]\nMessageTypes=") + types + "\nMessageDepths=LMDALL\n");
    TLogFile errors(LogPath);
    errors.LoadFilters(IniPath);
    const auto lines = LogEveryKind(errors);
    ASSERT_EQ(lines.size(), 6u) << types;
    for (const auto& line : lines) EXPECT_NE(line.find(",ERROR,"), std::string::npos) << line;
  }

  // An error at depth Info is dropped when only important messages pass.
  WriteIni("[debug]\nMessageTypes=LMTERROR\nMessageDepths=LMDIMPORTANT\n");
  TLogFile important(LogPath);
  important.LoadFilters(IniPath);
  const auto lines = LogEveryKind(important);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(",ERROR,Important,"), std::string::npos);

  // Several tokens, "LMTALL" passing every type, "LMDPROCEDUREINFO" not meaning "LMDINFO".
  WriteIni("[debug]\nMessageTypes=LMTALL\nMessageDepths=LMDPROCEDUREINFO,lmdcommands\n");
  important.LoadFilters(IniPath);
  EXPECT_TRUE(important.Passes(LMTDEBUG, LMDCOMMANDS));
  EXPECT_TRUE(important.Passes(LMTWARNING, LMDPROCEDUREINFO));
  EXPECT_FALSE(important.Passes(LMTERROR, LMDINFO));

  // No token at all: nothing but the unfiltered log-memory line gets through.
  WriteIni("[debug]\nMessageTypes=none\nMessageDepths=none\n");
  important.LoadFilters(IniPath);
  EXPECT_TRUE(LogEveryKind(important).empty());
  important.LogMemory(LMTDEBUG, LMDINFO, "server");
  EXPECT_EQ(Lines(ReadFile(LogPath)).back(),
            "08-12-26 04:49:32,DEBUG,Info,server,\t !!! LogMemory not supported yet !!!");

  // A configuration path that cannot be read is not overwritten; defaults apply.
  TLogFile unreadable(LogPath);
  unreadable.LoadFilters(Dir);
  EXPECT_TRUE(unreadable.Passes(LMTDEBUG, LMDINFO));
}

TEST_F(LogTest, LineShapes) {
  TLogFile log(LogPath);
  log.SetFilters(0xff, 0xff);
  log.Log(LMTALL, LMDINFO, "server", "Server startup initialized.");
  Clock.AdvanceMs(61'000);
  log.Log(LMTWARNING, LMDUSEFULL, std::string(120, 'c'), "cut");
  log.LogFmt(LMTERROR, LMDALL, "SERVER",
             "Start_Vorlantix_Server: unable to open server config file: %1 ", {"/etc/server.ini"});
  log.ProcEntered(LMTDEBUG, LMDPROCEDUREINFO, "USERS", "StoreUser");
  log.ProcLeftFmt(LMTDEBUG, LMDPROCEDUREINFO, "USERS", "StoreUser %1/%2", {7, "x"});
  log.ProcEnteredFmt(LMTDEBUG, LMDCOMMANDS, "USERS", "%1", {-3});
  log.ProcLeft(LMTDEBUG, LMDIMPORTANT, "USERS", "");
  log.Log(LMTDEBUG, LMDINFO, "a\nb", "forged\r\n08-12-26 04:49:32,ERROR,All,server,\tline");
  EXPECT_EQ(
      ReadFile(LogPath),
      "08-12-26 04:49:32,ALL,Info,server,\tServer startup initialized.\n"
      "08-12-26 04:50:33,WARNING,Usefull," +
          std::string(99, 'c') +
          ",\tcut\n"
          "08-12-26 04:50:33,ERROR,All,SERVER,\tStart_Vorlantix_Server: unable to open "
          "server config file: /etc/server.ini \n"
          "08-12-26 04:50:33,DEBUG,ProcedureInfo,USERS,\t Entered StoreUser\n"
          "08-12-26 04:50:33,DEBUG,ProcedureInfo,USERS,\t Left StoreUser 7/x\n"
          "08-12-26 04:50:33,DEBUG,Commands,USERS,\t Entered -3\n"
          "08-12-26 04:50:33,DEBUG,Important,USERS,\t Left \n"
          "08-12-26 04:50:33,DEBUG,Info,a b,\tforged  08-12-26 04:49:32,ERROR,All,server,\tline\n");
}

TEST_F(LogTest, RepeatsOfOneKindAreHeldBackAndCounted) {
  TLogFile log(LogPath);
  log.SetFilters(0xff, 0xff);
  // A flood whose lines differ only in their numbers (address, port).
  for (int i = 0; i < 500; ++i) {
    log.LogFmt(LMTERROR, LMDALL, "UDP Listener", "SP: 8767 bad request from 10.0.%1.%2:%3",
               {i / 250, i % 250, 40000 + i});
  }
  log.Log(LMTWARNING, LMDALL, "UDP Listener", "another kind");
  // Lines of type ALL (start, stop) are never held back.
  for (int i = 0; i < 20; ++i) log.LogFmt(LMTALL, LMDINFO, "server", "Starting server %1", {i});
  auto lines = Lines(ReadFile(LogPath));
  ASSERT_EQ(lines.size(), 10u + 1 + 20);
  EXPECT_EQ(lines[9],
            "08-12-26 04:49:32,ERROR,All,UDP Listener,\tSP: 8767 bad request from "
            "10.0.0.9:40009");
  EXPECT_EQ(lines[10], "08-12-26 04:49:32,WARNING,All,UDP Listener,\tanother kind");

  // The next second: the count of the held-back lines comes first.
  Clock.AdvanceMs(1000);
  log.LogFmt(LMTERROR, LMDALL, "UDP Listener", "SP: 8767 bad request from 10.0.0.1:%1", {1});
  lines = Lines(ReadFile(LogPath));
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines[31],
            "08-12-26 04:49:33,ERROR,All,UDP Listener,\tSP: 8767 bad request from "
            "10.0.0.10:40010 ... 490 similar lines suppressed");
  EXPECT_EQ(lines[32].substr(lines[32].size() - 10), "10.0.0.1:1");

  // A burst that ends before the log does is counted before the footer.
  for (int i = 0; i < 15; ++i) log.Log(LMTDEBUG, LMDINFO, "x", "same");
  log.LogEnded();
  lines = Lines(ReadFile(LogPath));
  ASSERT_EQ(lines.size(), 33u + 10 + 1 + 3);
  EXPECT_EQ(lines[43], "08-12-26 04:49:33,DEBUG,Info,x,\tsame ... 5 similar lines suppressed");
}

TEST(LogPattern, Placeholders) {
  const std::vector<TLogArg> ten = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
  EXPECT_EQ(FormatLogPattern("%1-%2-%1", std::span(ten).first(2)), "a-b-a");
  EXPECT_EQ(FormatLogPattern("%10|%1|%9", ten), "j|a|i");
  EXPECT_EQ(FormatLogPattern("%10|%12", std::span(ten).first(2)), "a0|a2");
  EXPECT_EQ(FormatLogPattern("%100", ten), "j0");
  EXPECT_EQ(FormatLogPattern("%0 %3 % %%1 end%", std::span(ten).first(2)), "%0 %3 % %a end%");
  EXPECT_EQ(FormatLogPattern("%99999999999999999999", ten), "i9999999999999999999");
  const std::vector<TLogArg> tricky = {"%2", "b"};
  EXPECT_EQ(FormatLogPattern("%1 %2", tricky), "%2 b") << "inserted text is not read again";
  EXPECT_EQ(FormatLogPattern("no args %1", {}), "no args %1");
  const std::vector<TLogArg> numbers = {
      uint8_t(200), int64_t(-9000000000),   'x',
      true,         std::string_view("sv"), static_cast<const char*>(nullptr)};
  EXPECT_EQ(FormatLogPattern("%1 %2 %3 %4 %5 [%6]", numbers), "200 -9000000000 x 1 sv []");
}

TEST_F(LogTest, HeaderFooterAndAppendingAcrossRuns) {
  EXPECT_EQ(LogObject(), nullptr);
  Log(LMTERROR, LMDALL, "server", "no log yet: nothing happens");

  CreateLogFile(LogPath, IniPath);
  TLogObject* first = LogObject();
  ASSERT_NE(first, nullptr);
  CreateLogFile(Dir + "/other.log", IniPath);
  EXPECT_EQ(LogObject(), first) << "a second create does nothing";
  Log(LMTALL, LMDINFO, "server", "run one");
  Clock.AdvanceMs(3.5 * 60'000);
  ReleaseLogFile();
  EXPECT_EQ(LogObject(), nullptr);

  Clock.AdvanceMs(24 * 3600'000.0);
  CreateLogFile(LogPath, IniPath);
  LogFmt(LMTALL, LMDINFO, "server", "run %1", {2});
  ReleaseLogFile();

  const std::vector<std::string> expected = {
      Dashes,
      "-------------- log started at 08-12-26 04:49 -------------",
      Dashes,
      "08-12-26 04:49:32,ALL,Info,server,\trun one",
      Dashes,
      "--------------- log ended at 08-12-26 04:53 --------------",
      Dashes,
      Dashes,
      "-------------- log started at 09-12-26 04:53 -------------",
      Dashes,
      "09-12-26 04:53:02,ALL,Info,server,\trun 2",
      Dashes,
      "--------------- log ended at 09-12-26 04:53 --------------",
      Dashes};
  EXPECT_EQ(Lines(ReadFile(LogPath)), expected);
}

TEST_F(LogTest, UnwritableFilesLoseLinesQuietly) {
  // A folder that does not exist: lines are lost until it appears.
  const std::string later = Dir + "/later";
  TLogFile log(later + "/server.log");
  log.SetFilters(0xff, 0xff);
  log.LogStarted();
  log.Log(LMTERROR, LMDALL, "server", "lost");
  EXPECT_FALSE(log.Opened());
  ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
  log.Log(LMTERROR, LMDALL, "server", "kept");
  EXPECT_TRUE(log.Opened());
  EXPECT_EQ(ReadFile(later + "/server.log"), "08-12-26 04:49:32,ERROR,All,server,\tkept\n");

  // A write that fails (device full) loses the line and closes the file.
  TLogFile full("/dev/full");
  full.SetFilters(0xff, 0xff);
  ASSERT_TRUE(full.OpenFile());
  EXPECT_NO_THROW(full.Log(LMTERROR, LMDALL, "server", "no room"));
  EXPECT_FALSE(full.Opened());
  EXPECT_NO_THROW(full.LogEnded());
}

TEST_F(LogTest, ConcurrentThreadsAndForkWriteWholeLines) {
  TLogFile log(LogPath);
  log.SetFilters(0xff, 0xff);
  log.SetRepeatLimit(0);  // every line counts here
  constexpr int Threads = 8, PerThread = 300;
  const std::string filler(300, 'z');
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < PerThread; ++i) {
        log.LogFmt(LMTDEBUG, LMDINFO, "thread" + std::to_string(t), "%1 %2 %3", {t, i, filler});
      }
    });
  }
  // The daemon forks with the log open; the child's lines land in the same
  // file. The fork happens while the threads log, so a child that inherited
  // the write lock held would hang here. (The sanitizer's allocator of this
  // compiler is not fork-safe while other threads allocate, so that build
  // forks after the threads are done.)
#if defined(__SANITIZE_ADDRESS__)
  for (auto& w : workers) w.join();
  workers.clear();
#endif
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0; i < PerThread; ++i) log.Log(LMTDEBUG, LMDINFO, "child", filler);
    ::_exit(0);
  }
  for (auto& w : workers) w.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  const std::regex shape(
      "08-12-26 04:49:32,DEBUG,Info,(thread[0-7],\t[0-7] [0-9]+ z{300}|child,\tz{300})");
  const auto lines = Lines(ReadFile(LogPath));
  EXPECT_EQ(lines.size(), size_t((Threads + 1) * PerThread));
  size_t bad = 0;
  for (const auto& line : lines) bad += std::regex_match(line, shape) ? 0 : 1;
  EXPECT_EQ(bad, 0u);
}

}  // namespace
}  // namespace vx
