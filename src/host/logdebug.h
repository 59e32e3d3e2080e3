// The process-wide log: message types and depths, the filters read from the
// "debug" section of the configuration file, and the log file itself.
//
// Every line is composed, written with one write() on a descriptor opened
// with O_APPEND, and is on its way to disk when the call returns. The parent
// and the child of the daemon fork may both hold the object.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ThreadSafety.h"
#include "host/TimeTools.h"

namespace vx {

enum TLogMessageType : uint8_t { LMTDEBUG = 0, LMTWARNING = 1, LMTERROR = 2, LMTALL = 3 };

enum TLogMessageDepth : uint8_t {
  LMDIMPORTANT = 0,
  LMDALL = 1,
  LMDUSEFULL = 2,
  LMDPROCEDUREINFO = 3,
  LMDCOMMANDS = 4,
  LMDINFO = 5
};

// Names written in a line ("ERROR", "Info"); "?" for a value outside the table.
std::string_view LogMessageTypeName(TLogMessageType type);
std::string_view LogMessageDepthName(TLogMessageDepth depth);

// One argument of a formatted message, held as text.
class TLogArg {
 public:
  TLogArg(std::string_view text) : Text(text) {}         // NOLINT: implicit on purpose
  TLogArg(const char* text) : Text(text ? text : "") {}  // NOLINT
  TLogArg(const std::string& text) : Text(text) {}       // NOLINT
  TLogArg(char c) : Text(1, c) {}                        // NOLINT
  template <std::integral T>
  requires(!std::same_as<T, char>) TLogArg(T value) : Text(std::to_string(value)) {}  // NOLINT

  const std::string& Str() const { return Text; }

 private:
  std::string Text;
};

// Fills "%1", "%2", ... with the texts of the arguments. The pattern is read
// once from left to right and inserted texts are never read again, so an
// argument that itself contains "%2" stays as it is. "%10" means the tenth
// argument when there are at least ten, otherwise the first one and a "0".
std::string FormatLogPattern(std::string_view pattern, std::span<const TLogArg> args);

constexpr size_t MaxLogCategoryLength = 99;

// The filters and the file name, and the operations of a log in their fixed
// order. The logging operations (Log ... ProcLeftFmt) filter and compose the
// message and hand it to WriteLine.
class TLogObject {
 public:
  explicit TLogObject(std::string fileName);
  virtual ~TLogObject();
  TLogObject(const TLogObject&) = delete;
  TLogObject& operator=(const TLogObject&) = delete;

  const std::string& FileName() const { return LogFileName; }
  uint8_t TypeFilter() const { return TypeBits; }
  uint8_t DepthFilter() const { return DepthBits; }
  void SetFilters(uint8_t typeBits, uint8_t depthBits);
  // Reads "MessageTypes" and "MessageDepths" of section "debug"; writes the
  // defaults "LMTALL" / "LMDALL" and saves the file when "MessageTypes" is
  // missing or empty.
  void LoadFilters(const std::string& iniPath);
  bool Passes(TLogMessageType type, TLogMessageDepth depth) const;

  // 0: writes one line without consulting the filters.
  virtual void WriteLine(std::string_view message, std::string_view category, TLogMessageType type,
                         TLogMessageDepth depth) = 0;
  // 1: writes the footer and closes the file.
  virtual void LogEnded() = 0;
  // 2: writes the header.
  virtual void LogStarted() = 0;
  // 3
  virtual void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                   std::string_view message);
  // 4
  virtual void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                      std::string_view pattern, std::span<const TLogArg> args);
  // 5: " !!! LogMemory not supported yet !!!", not filtered.
  virtual void LogMemory(TLogMessageType type, TLogMessageDepth depth, std::string_view category);
  // 6 to 9: " Entered " / " Left " followed by the name or the filled-in pattern.
  virtual void ProcEntered(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                           std::string_view procName);
  virtual void ProcEnteredFmt(TLogMessageType type, TLogMessageDepth depth,
                              std::string_view category, std::string_view pattern,
                              std::span<const TLogArg> args);
  virtual void ProcLeft(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                        std::string_view procName);
  virtual void ProcLeftFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                           std::string_view pattern, std::span<const TLogArg> args);
  // 10: opens the file for appending, creating it when needed.
  virtual bool OpenFile() = 0;

  // Brace-list forms of the formatted operations: LogFmt(t, d, "cat", "%1 of %2", {a, b}).
  void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
              std::string_view pattern, std::initializer_list<TLogArg> args) {
    LogFmt(type, depth, category, pattern, std::span<const TLogArg>(args.begin(), args.size()));
  }
  void ProcEnteredFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                      std::string_view pattern, std::initializer_list<TLogArg> args) {
    ProcEnteredFmt(type, depth, category, pattern,
                   std::span<const TLogArg>(args.begin(), args.size()));
  }
  void ProcLeftFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                   std::string_view pattern, std::initializer_list<TLogArg> args) {
    ProcLeftFmt(type, depth, category, pattern,
                std::span<const TLogArg>(args.begin(), args.size()));
  }

 private:
  std::string LogFileName;
  uint8_t TypeBits = 0;
  uint8_t DepthBits = 0;
};

// Holds back repeats of one kind of line, so that a flood of bad input
// cannot fill the disk. Lines are of one kind when their type, depth,
// category and message agree with every run of digits (a port, an address, a
// count) left out. Of each kind at most LinesPerSecond lines are written per second; the
// rest is counted, and one summary line ("... N similar lines suppressed")
// follows with the first line written after that second, or at the log's end.
// Lines of type LMTALL (the server's own start and stop lines, never caused by
// a peer) are never held back. Not thread-safe: the log serialises its calls.
class TLogRepeatLimiter {
 public:
  struct TSummary {
    std::string Category;
    TLogMessageType Type = LMTDEBUG;
    TLogMessageDepth Depth = LMDALL;
    std::string Message;  // the summary line's text
  };

  // At most this many kinds are told apart per second; lines of further
  // kinds share one more count.
  static constexpr size_t MaxKinds = 1024;
  // Characters of the first held-back line quoted in its summary.
  static constexpr size_t SampleLength = 80;

  // 0: nothing is held back.
  int LinesPerSecond = 10;

  // Whether the line may be written; second is the current time in whole
  // seconds. Summaries that became due are appended to due (they go before
  // the line).
  bool Admit(std::string_view category, std::string_view message, TLogMessageType type,
             TLogMessageDepth depth, int64_t second, std::vector<TSummary>& due);
  // The summaries of every kind with lines held back; the counts restart.
  void Flush(std::vector<TSummary>& due);

 private:
  struct TKind {
    int Written = 0;
    uint64_t HeldBack = 0;
    std::string Category;
    TLogMessageType Type = LMTDEBUG;
    TLogMessageDepth Depth = LMDALL;
    std::string Sample;
  };

  int64_t Second = 0;
  std::unordered_map<std::string, TKind> Kinds;
};

// The log file. A file that cannot be opened loses the line and the next line
// tries again; a failed write loses the line and closes the file, so that the
// next line reopens it. Nothing here throws to the caller. Lines of all log
// files of the process are written under one lock, which is also held across
// fork(), so that a child never inherits it locked by a thread it lacks.
// Guards every TLogFile's descriptor and its writes.
extern TMutex gLogWriteLock;

class TLogFile : public TLogObject {
 public:
  explicit TLogFile(std::string fileName);
  ~TLogFile() override;

  void WriteLine(std::string_view message, std::string_view category, TLogMessageType type,
                 TLogMessageDepth depth) override;
  void LogEnded() override;
  void LogStarted() override;
  bool OpenFile() override;

  bool Opened() const;
  // Repeats of one kind written per second (see TLogRepeatLimiter); 0: all.
  void SetRepeatLimit(int linesPerSecond);

 private:
  bool OpenLocked() VX_REQUIRES(gLogWriteLock);
  void CloseLocked() VX_REQUIRES(gLogWriteLock);
  // Writes the whole text; on failure closes the file and returns false.
  bool WriteLocked(std::string_view text) VX_REQUIRES(gLogWriteLock);
  void WriteLineLocked(std::string_view message, std::string_view category, TLogMessageType type,
                       TLogMessageDepth depth, TDateTime when) VX_REQUIRES(gLogWriteLock);
  void WriteSummariesLocked(const std::vector<TLogRepeatLimiter::TSummary>& due, TDateTime when)
      VX_REQUIRES(gLogWriteLock);

  int Fd VX_GUARDED_BY(gLogWriteLock) = -1;
  bool IsOpen VX_GUARDED_BY(gLogWriteLock) = false;
  TLogRepeatLimiter Repeats VX_GUARDED_BY(gLogWriteLock);
};

// The one process-wide log object.
TLogObject* LogObject();  // nullptr when none exists
// The same object, kept alive for as long as the caller holds the reference.
std::shared_ptr<TLogObject> LogObjectRef();
// Creates the log, loads the filters from the configuration file and writes
// the header; does nothing when a log object already exists.
void CreateLogFile(const std::string& logPath, const std::string& iniPath);
// Writes the footer, closes the file and clears the reference.
void ReleaseLogFile();

// Convenience: no-ops when no log object exists.
void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
         std::string_view message);
void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
            std::string_view pattern, std::initializer_list<TLogArg> args);

}  // namespace vx
