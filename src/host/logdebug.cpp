#include "host/logdebug.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <utility>

#include "common/TextTools.h"
#include "host/IniFile.h"
#include "host/TimeTools.h"

namespace vx {

namespace {

constexpr std::string_view TypeNames[] = {"DEBUG", "WARNING", "ERROR", "ALL"};
constexpr std::string_view TypeTokens[] = {"LMTDEBUG", "LMTWARNING", "LMTERROR", "LMTALL"};
constexpr std::string_view DepthNames[] = {"Important",     "All",      "Usefull",
                                           "ProcedureInfo", "Commands", "Info"};
constexpr std::string_view DepthTokens[] = {"LMDIMPORTANT",     "LMDALL",      "LMDUSEFULL",
                                            "LMDPROCEDUREINFO", "LMDCOMMANDS", "LMDINFO"};

constexpr uint8_t TypeAllBit = 1u << LMTALL;
constexpr uint8_t DepthAllBit = 1u << LMDALL;

constexpr std::string_view DebugSection = "debug";
constexpr std::string_view MessageTypesKey = "MessageTypes";
constexpr std::string_view MessageDepthsKey = "MessageDepths";

constexpr std::string_view Dashes =
    "---------------------------------------------------------------";
static_assert(Dashes.size() == 63);

constexpr std::string_view LogMemoryText = " !!! LogMemory not supported yet !!!";

uint8_t Bit(unsigned ordinal) {
  return ordinal < 8 ? static_cast<uint8_t>(1u << ordinal) : 0;
}

// One line per message: line breaks inside a text (a nickname, say) must not
// be able to start a line of their own in the file.
void AppendOneLine(std::string& out, std::string_view text) {
  for (char c : text) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
}

std::string FrameText(std::string_view middle, TDateTime when) {
  std::string text;
  text.append(Dashes).push_back('\n');
  text.append(middle).append(when.Format("dd-mm-yy hh:nn"));
  return text;
}

}  // namespace

std::string_view LogMessageTypeName(TLogMessageType type) {
  return type < std::size(TypeNames) ? TypeNames[type] : "?";
}

std::string_view LogMessageDepthName(TLogMessageDepth depth) {
  return depth < std::size(DepthNames) ? DepthNames[depth] : "?";
}

std::string FormatLogPattern(std::string_view pattern, std::span<const TLogArg> args) {
  std::string out;
  out.reserve(pattern.size());
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size() || pattern[i + 1] < '1' || pattern[i + 1] > '9') {
      out.push_back(c);
      ++i;
      continue;
    }
    // The longest run of digits that names an existing argument wins.
    size_t digits = 0;
    while (i + 1 + digits < pattern.size() && digits < 10 && pattern[i + 1 + digits] >= '0' &&
           pattern[i + 1 + digits] <= '9') {
      ++digits;
    }
    size_t used = 0;
    for (size_t n = digits; n > 0 && used == 0; --n) {
      uint64_t number = 0;
      for (size_t k = 0; k < n; ++k) number = number * 10 + unsigned(pattern[i + 1 + k] - '0');
      if (number >= 1 && number <= args.size()) {
        out.append(args[number - 1].Str());
        used = n;
      }
    }
    if (used == 0) {
      out.push_back(c);  // "%7" with fewer than seven arguments stays as it is
      ++i;
    } else {
      i += 1 + used;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// TLogObject

TLogObject::TLogObject(std::string fileName) : LogFileName(std::move(fileName)) {}

TLogObject::~TLogObject() = default;

void TLogObject::SetFilters(uint8_t typeBits, uint8_t depthBits) {
  TypeBits = typeBits;
  DepthBits = depthBits;
}

void TLogObject::LoadFilters(const std::string& iniPath) {
  TIniFile ini(iniPath);
  // A file that exists but cannot be read is never overwritten from here: the
  // defaults then apply in memory only.
  const bool loaded = ini.Load();
  if (TrimText(ini.ReadString(DebugSection, MessageTypesKey, "")).empty()) {
    ini.WriteString(DebugSection, MessageTypesKey, "LMTALL");
    ini.WriteString(DebugSection, MessageDepthsKey, "LMDALL");
    if (loaded) ini.Save();
  }
  const std::string types = UpperCaseAscii(ini.ReadString(DebugSection, MessageTypesKey, ""));
  const std::string depths = UpperCaseAscii(ini.ReadString(DebugSection, MessageDepthsKey, ""));
  uint8_t typeBits = 0;
  uint8_t depthBits = 0;
  for (unsigned t = 0; t < std::size(TypeTokens); ++t) {
    if (types.find(TypeTokens[t]) != std::string::npos) typeBits |= Bit(t);
  }
  for (unsigned d = 0; d < std::size(DepthTokens); ++d) {
    if (depths.find(DepthTokens[d]) != std::string::npos) depthBits |= Bit(d);
  }
  SetFilters(typeBits, depthBits);
}

bool TLogObject::Passes(TLogMessageType type, TLogMessageDepth depth) const {
  const bool typePasses = (TypeBits & Bit(type)) != 0 || (TypeBits & TypeAllBit) != 0;
  const bool depthPasses = (DepthBits & DepthAllBit) != 0 || (DepthBits & Bit(depth)) != 0;
  return typePasses && depthPasses;
}

void TLogObject::Log(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                     std::string_view message) {
  if (Passes(type, depth)) WriteLine(message, category, type, depth);
}

void TLogObject::LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                        std::string_view pattern, std::span<const TLogArg> args) {
  if (Passes(type, depth)) WriteLine(FormatLogPattern(pattern, args), category, type, depth);
}

void TLogObject::LogMemory(TLogMessageType type, TLogMessageDepth depth,
                           std::string_view category) {
  WriteLine(LogMemoryText, category, type, depth);
}

void TLogObject::ProcEntered(TLogMessageType type, TLogMessageDepth depth,
                             std::string_view category, std::string_view procName) {
  if (Passes(type, depth))
    WriteLine(std::string(" Entered ").append(procName), category, type, depth);
}

void TLogObject::ProcEnteredFmt(TLogMessageType type, TLogMessageDepth depth,
                                std::string_view category, std::string_view pattern,
                                std::span<const TLogArg> args) {
  if (Passes(type, depth)) ProcEntered(type, depth, category, FormatLogPattern(pattern, args));
}

void TLogObject::ProcLeft(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
                          std::string_view procName) {
  if (Passes(type, depth)) WriteLine(std::string(" Left ").append(procName), category, type, depth);
}

void TLogObject::ProcLeftFmt(TLogMessageType type, TLogMessageDepth depth,
                             std::string_view category, std::string_view pattern,
                             std::span<const TLogArg> args) {
  if (Passes(type, depth)) ProcLeft(type, depth, category, FormatLogPattern(pattern, args));
}

// ---------------------------------------------------------------------------
// TLogRepeatLimiter

namespace {

// The kind of a line: type, depth, category and message with every digit
// run written as one '#'.
std::string LineKind(std::string_view category, std::string_view message, TLogMessageType type,
                     TLogMessageDepth depth) {
  std::string kind;
  kind.reserve(category.size() + message.size() + 3);
  kind.push_back(char('0' + type));
  kind.push_back(char('0' + depth));
  kind.append(category).push_back('\x01');
  bool inDigits = false;
  for (const char c : message) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit) {
      kind.push_back(c);
    } else if (!inDigits) {
      kind.push_back('#');
    }
    inDigits = digit;
  }
  return kind;
}

}  // namespace

bool TLogRepeatLimiter::Admit(std::string_view category, std::string_view message,
                              TLogMessageType type, TLogMessageDepth depth, int64_t second,
                              std::vector<TSummary>& due) {
  if (LinesPerSecond <= 0) return true;
  if (second != Second) {
    Flush(due);
    Second = second;
  }
  if (type == LMTALL) return true;
  std::string key = LineKind(category, message, type, depth);
  auto it = Kinds.find(key);
  if (it == Kinds.end()) {
    // Past the limit of kinds, the rest are counted together.
    if (Kinds.size() >= MaxKinds) key.clear();
    it = Kinds.try_emplace(std::move(key)).first;
  }
  TKind& kind = it->second;
  if (kind.Written < LinesPerSecond) {
    ++kind.Written;
    return true;
  }
  if (kind.HeldBack++ == 0) {
    kind.Category = std::string(category);
    kind.Type = type;
    kind.Depth = depth;
    kind.Sample = std::string(message.substr(0, SampleLength));
  }
  return false;
}

void TLogRepeatLimiter::Flush(std::vector<TSummary>& due) {
  for (auto& [key, kind] : Kinds) {
    if (kind.HeldBack == 0) continue;
    due.push_back(
        {std::move(kind.Category), kind.Type, kind.Depth,
         kind.Sample + " ... " + std::to_string(kind.HeldBack) + " similar lines suppressed"});
  }
  Kinds.clear();
}

// ---------------------------------------------------------------------------
// TLogFile

TMutex gLogWriteLock;

namespace {

TMutex gLogRefLock VX_ACQUIRED_BEFORE(gLogWriteLock);
std::shared_ptr<TLogObject> gLog VX_GUARDED_BY(gLogRefLock);
std::once_flag gForkHandlersOnce;

// A fork while another thread logs must not leave the child with a lock held
// by a thread that does not exist there: both locks are taken around fork().
void LockForFork() VX_ACQUIRE(gLogRefLock, gLogWriteLock) {
  gLogRefLock.lock();
  gLogWriteLock.lock();
}

void UnlockAfterFork() VX_RELEASE(gLogRefLock, gLogWriteLock) {
  gLogWriteLock.unlock();
  gLogRefLock.unlock();
}

}  // namespace

TLogFile::TLogFile(std::string fileName) : TLogObject(std::move(fileName)) {
  std::call_once(gForkHandlersOnce,
                 [] { ::pthread_atfork(&LockForFork, &UnlockAfterFork, &UnlockAfterFork); });
}

TLogFile::~TLogFile() {
  TLockGuard guard(gLogWriteLock);
  CloseLocked();
}

bool TLogFile::Opened() const {
  TLockGuard guard(gLogWriteLock);
  return IsOpen;
}

bool TLogFile::OpenFile() {
  TLockGuard guard(gLogWriteLock);
  return OpenLocked();
}

bool TLogFile::OpenLocked() {
  if (IsOpen) return true;
  if (FileName().empty()) return false;
  // O_APPEND: every write lands at the end even when the parent and the child
  // of the daemon fork both write through the same descriptor.
  const int fd = ::open(FileName().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  Fd = fd;
  IsOpen = true;
  return true;
}

void TLogFile::CloseLocked() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
  IsOpen = false;
}

bool TLogFile::WriteLocked(std::string_view text) {
  if (!OpenLocked()) return false;
  while (!text.empty()) {
    const ssize_t n = ::write(Fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Disk full, file system gone: lose the line, reopen for the next one.
      CloseLocked();
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void TLogFile::SetRepeatLimit(int linesPerSecond) {
  TLockGuard guard(gLogWriteLock);
  Repeats.LinesPerSecond = linesPerSecond;
}

void TLogFile::WriteLineLocked(std::string_view message, std::string_view category,
                               TLogMessageType type, TLogMessageDepth depth, TDateTime when) {
  std::string line = when.Format("dd-mm-yy hh:nn:ss");
  line.reserve(line.size() + message.size() + 140);
  line.push_back(',');
  line.append(LogMessageTypeName(type)).push_back(',');
  line.append(LogMessageDepthName(depth)).push_back(',');
  AppendOneLine(line, category.substr(0, MaxLogCategoryLength));
  line.append(",\t");
  AppendOneLine(line, message);
  line.push_back('\n');
  WriteLocked(line);
}

void TLogFile::WriteSummariesLocked(const std::vector<TLogRepeatLimiter::TSummary>& due,
                                    TDateTime when) {
  for (const auto& summary : due) {
    WriteLineLocked(summary.Message, summary.Category, summary.Type, summary.Depth, when);
  }
}

void TLogFile::WriteLine(std::string_view message, std::string_view category, TLogMessageType type,
                         TLogMessageDepth depth) {
  std::vector<TLogRepeatLimiter::TSummary> due;
  TLockGuard guard(gLogWriteLock);
  // The time is taken under the lock so that the file stays in time order.
  const TDateTime now = TDateTime::Now();
  const auto second = int64_t(std::floor(now.Value * 86400.0));
  const bool admitted =
      Repeats.Admit(category.substr(0, MaxLogCategoryLength), message, type, depth, second, due);
  WriteSummariesLocked(due, now);
  if (admitted) WriteLineLocked(message, category, type, depth, now);
}

void TLogFile::LogStarted() {
  TLockGuard guard(gLogWriteLock);
  std::string text = FrameText("-------------- log started at ", TDateTime::Now());
  text.append(" -------------\n").append(Dashes).push_back('\n');
  WriteLocked(text);
}

void TLogFile::LogEnded() {
  TLockGuard guard(gLogWriteLock);
  std::vector<TLogRepeatLimiter::TSummary> due;
  Repeats.Flush(due);
  WriteSummariesLocked(due, TDateTime::Now());
  std::string text = FrameText("--------------- log ended at ", TDateTime::Now());
  text.append(" --------------\n").append(Dashes).push_back('\n');
  WriteLocked(text);
  CloseLocked();
}

// ---------------------------------------------------------------------------
// The process-wide log object

TLogObject* LogObject() {
  TLockGuard guard(gLogRefLock);
  return gLog.get();
}

std::shared_ptr<TLogObject> LogObjectRef() {
  TLockGuard guard(gLogRefLock);
  return gLog;
}

void CreateLogFile(const std::string& logPath, const std::string& iniPath) {
  TLockGuard guard(gLogRefLock);
  if (gLog) return;
  auto log = std::make_shared<TLogFile>(logPath);
  log->LoadFilters(iniPath);
  log->LogStarted();
  gLog = std::move(log);
}

void ReleaseLogFile() {
  std::shared_ptr<TLogObject> log;
  {
    TLockGuard guard(gLogRefLock);
    log = std::move(gLog);
    gLog.reset();
  }
  // Threads that still hold the object may log after the footer; their lines
  // reopen the file and are kept.
  if (log) log->LogEnded();
}

void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
         std::string_view message) {
  if (auto log = LogObjectRef()) log->Log(type, depth, category, message);
}

void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view category,
            std::string_view pattern, std::initializer_list<TLogArg> args) {
  if (auto log = LogObjectRef()) log->LogFmt(type, depth, category, pattern, args);
}

}  // namespace vx
