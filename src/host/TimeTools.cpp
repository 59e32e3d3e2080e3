#include "host/TimeTools.h"

#include <sys/time.h>

#include <cmath>
#include <ctime>

#include "common/TextTools.h"

namespace vx {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yy + (m <= 2));
}

// 1899-12-30 counted from 1970-01-01.
const int64_t EpochOffsetDays = DaysFromCivil(1899, 12, 30);

TWallClock gWallClock;
std::atomic<const TClockSource*> gClock{nullptr};

std::string Pad(int value, int width) {
  std::string s = std::to_string(value);
  if (int(s.size()) < width) s.insert(0, size_t(width - int(s.size())), '0');
  return s;
}

}  // namespace

TDateTime TDateTime::Encode(const TParts& p) {
  const double days =
      double(DaysFromCivil(p.Year, unsigned(p.Month), unsigned(p.Day)) - EpochOffsetDays);
  const double ms = ((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.MilliSecond;
  return TDateTime{days + ms / MsPerDay};
}

TDateTime::TParts TDateTime::Decode() const {
  TParts p;
  if (!std::isfinite(Value) || std::fabs(Value) > 3e6) return p;  // far outside any real date
  // Round to whole milliseconds first so that 0.9999999 of a day does not
  // show up as 23:59:59.999 of the wrong second.
  const int64_t totalMs = int64_t(std::llround(Value * MsPerDay));
  int64_t days = totalMs / int64_t(MsPerDay);
  int64_t msOfDay = totalMs % int64_t(MsPerDay);
  if (msOfDay < 0) {
    // Before 1899-12-30 the fraction still counts forward from midnight.
    msOfDay = -msOfDay;
  }
  CivilFromDays(days + EpochOffsetDays, p.Year, p.Month, p.Day);
  p.Hour = int(msOfDay / 3600000);
  p.Minute = int(msOfDay / 60000 % 60);
  p.Second = int(msOfDay / 1000 % 60);
  p.MilliSecond = int(msOfDay % 1000);
  return p;
}

TDateTime TDateTime::FromUnixMs(int64_t unixMs) {
  time_t secs = time_t(unixMs / 1000);
  int ms = int(unixMs % 1000);
  if (ms < 0) {
    ms += 1000;
    --secs;
  }
  struct tm local {};
  localtime_r(&secs, &local);
  TParts p;
  p.Year = local.tm_year + 1900;
  p.Month = local.tm_mon + 1;
  p.Day = local.tm_mday;
  p.Hour = local.tm_hour;
  p.Minute = local.tm_min;
  p.Second = local.tm_sec;
  p.MilliSecond = ms;
  return Encode(p);
}

TDateTime TDateTime::Now() {
  return ClockSource().Now();
}

std::string TDateTime::Format(const std::string& pattern) const {
  const TParts p = Decode();
  std::string out;
  bool lastWasHour = false;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < pattern.size() && LowerAscii(pattern[i + n]) == c) ++n;
    return n;
  };
  while (i < pattern.size()) {
    const char c = pattern[i];
    const char lc = LowerAscii(c);
    if (c == '"' || c == '\'') {
      size_t end = pattern.find(c, i + 1);
      if (end == std::string::npos) end = pattern.size();
      out.append(pattern, i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    size_t n = (lc >= 'a' && lc <= 'z') ? run(lc) : 0;
    switch (n ? lc : 0) {
      case 'd':
        out += n >= 2 ? Pad(p.Day, 2) : std::to_string(p.Day);
        break;
      case 'm':
        if (lastWasHour)
          out += n >= 2 ? Pad(p.Minute, 2) : std::to_string(p.Minute);
        else
          out += n >= 2 ? Pad(p.Month, 2) : std::to_string(p.Month);
        break;
      case 'y':
        out += n >= 3 ? Pad(p.Year, 4) : Pad(p.Year % 100, 2);
        break;
      case 'h':
        out += n >= 2 ? Pad(p.Hour, 2) : std::to_string(p.Hour);
        break;
      case 'n':
        out += n >= 2 ? Pad(p.Minute, 2) : std::to_string(p.Minute);
        break;
      case 's':
        out += n >= 2 ? Pad(p.Second, 2) : std::to_string(p.Second);
        break;
      case 'z':
        out += n >= 3 ? Pad(p.MilliSecond, 3) : std::to_string(p.MilliSecond);
        break;
      default:
        n = 1;
        out += c;
        if (c == ' ' || c == ':') {
          i += n;
          continue;  // separators keep an hour's "mm" reading as minutes
        }
        lastWasHour = false;
        i += n;
        continue;
    }
    lastWasHour = (lc == 'h');
    i += n;
  }
  return out;
}

TDateTime TWallClock::Now() const {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  // The local-time conversion is costly and takes a process-wide lock; the
  // timers read the clock for every packet, so each thread converts a given
  // second only once and adds the milliseconds itself.
  thread_local time_t cachedSecond = -1;
  thread_local double cachedValue = 0.0;
  if (tv.tv_sec != cachedSecond) {
    cachedValue = TDateTime::FromUnixMs(int64_t(tv.tv_sec) * 1000).Value;
    cachedSecond = tv.tv_sec;
  }
  return TDateTime{cachedValue + double(tv.tv_usec / 1000) / MsPerDay};
}

TManualClock::TManualClock(TDateTime start) : Current(start.Value) {}
TDateTime TManualClock::Now() const {
  return TDateTime{Current.load()};
}
void TManualClock::Set(TDateTime t) {
  Current.store(t.Value);
}
void TManualClock::AdvanceMs(double ms) {
  double cur = Current.load();
  while (!Current.compare_exchange_weak(cur, cur + ms / MsPerDay)) {
  }
}

void SetClockSource(const TClockSource* clock) {
  gClock.store(clock);
}

const TClockSource& ClockSource() {
  const TClockSource* c = gClock.load();
  return c ? *c : gWallClock;
}

std::unique_ptr<TDefaultPerformanceTime> TDefaultPerformanceTime::CreateStarted() {
  auto t = std::make_unique<TDefaultPerformanceTime>();
  t->Start();
  return t;
}

void TDefaultPerformanceTime::Start() {
  StartTime = TDateTime::Now();
}

double TDefaultPerformanceTime::Elapsed() const {
  // Two day counts near 46000 carry rounding noise far below a microsecond;
  // cut it so that exactly 100 ms never reads as 99.
  const double ms = (TDateTime::Now().Value - StartTime.Value) * MsPerDay;
  return std::round(ms * 1000.0) / 1000.0;
}

int32_t TDefaultPerformanceTime::ElapsedMs(int64_t boundMs, bool restart) {
  const double elapsed = Elapsed();
  if (elapsed < 0 || elapsed > double(boundMs)) {
    if (restart) {
      Start();
      return 0;
    }
    return -1;
  }
  return int32_t(elapsed);
}

int32_t TDefaultPerformanceTime::ElapsedSince(const TPerformanceTime& other, int64_t boundMs) {
  return ElapsedSince(dynamic_cast<const TDefaultPerformanceTime&>(other), boundMs);
}

int32_t TDefaultPerformanceTime::ElapsedSince(const TDefaultPerformanceTime& o, int64_t boundMs) {
  const double d = std::round((o.StartTime.Value - StartTime.Value) * MsPerDay * 1000.0) / 1000.0;
  if (d < 0 || d > double(boundMs)) {
    Start();
    return 0;
  }
  return int32_t(d);
}

bool TDefaultPerformanceTime::IsElapsed(int64_t minimumMs, int64_t maximumMs, bool restart) {
  const double elapsed = Elapsed();
  if (elapsed < 0 || elapsed > double(maximumMs)) {
    if (restart) {
      Start();
      return false;
    }
    return true;
  }
  return elapsed > double(minimumMs);
}

void TDefaultPerformanceTime::Assign(const TPerformanceTime& other) {
  Assign(dynamic_cast<const TDefaultPerformanceTime&>(other));
}

}  // namespace vx
