// Date-times (days since 1899-12-30 00:00 local time, the fraction being the
// time of day), the clock they are read from, and the millisecond timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace vx {

// A point in time as the log, the database, accounts and channels store it.
struct TDateTime {
  double Value = 0.0;  // days since 1899-12-30 00:00, local time

  struct TParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
  };

  static TDateTime Encode(const TParts& parts);
  TParts Decode() const;
  // Local wall-clock date-time of a Unix time given in milliseconds.
  static TDateTime FromUnixMs(int64_t unixMs);
  // The current local time, read from the process clock source.
  static TDateTime Now();

  // Formats with the usual date-time pattern letters: d dd m mm yy yyyy h hh
  // n nn s ss z zzz; "m"/"mm" directly after an hour stands for minutes.
  // Text in double or single quotes is copied as it stands.
  std::string Format(const std::string& pattern) const;

  friend bool operator==(TDateTime a, TDateTime b) { return a.Value == b.Value; }
};

// Where "now" comes from. The process uses the wall clock; tests install a
// clock they can move, also backwards, to exercise clock jumps.
class TClockSource {
 public:
  virtual ~TClockSource() = default;
  virtual TDateTime Now() const = 0;
};

class TWallClock : public TClockSource {
 public:
  TDateTime Now() const override;
};

class TManualClock : public TClockSource {
 public:
  explicit TManualClock(TDateTime start);
  TDateTime Now() const override;
  void Set(TDateTime t);
  void AdvanceMs(double ms);

 private:
  std::atomic<double> Current;
};

// Installs a clock source for the whole process (nullptr restores the wall
// clock). The caller keeps the object alive while it is installed.
void SetClockSource(const TClockSource* clock);
const TClockSource& ClockSource();

// Installs a clock for the lifetime of the guard object (for tests).
class TClockOverride {
 public:
  explicit TClockOverride(const TClockSource& clock) { SetClockSource(&clock); }
  ~TClockOverride() { SetClockSource(nullptr); }
  TClockOverride(const TClockOverride&) = delete;
  TClockOverride& operator=(const TClockOverride&) = delete;
};

constexpr double MsPerDay = 24.0 * 60.0 * 60.0 * 1000.0;

// Abstract millisecond timer.
class TPerformanceTime {
 public:
  virtual ~TPerformanceTime() = default;
  virtual bool IsElapsed(int64_t minimumMs, int64_t maximumMs, bool restart) = 0;
  virtual int32_t ElapsedMs(int64_t boundMs, bool restart) = 0;
  virtual int32_t ElapsedSince(const TPerformanceTime& other, int64_t boundMs) = 0;
  virtual void Assign(const TPerformanceTime& other) = 0;
  virtual void Start() = 0;
};

// Timer on the wall clock (millisecond resolution) that guards against clock
// jumps by bounds: an elapsed time below zero or above the bound is a jump.
class TDefaultPerformanceTime : public TPerformanceTime {
 public:
  TDefaultPerformanceTime() = default;
  static std::unique_ptr<TDefaultPerformanceTime> CreateStarted();

  bool IsElapsed(int64_t minimumMs, int64_t maximumMs, bool restart) override;
  int32_t ElapsedMs(int64_t boundMs, bool restart) override;
  int32_t ElapsedSince(const TPerformanceTime& other, int64_t boundMs) override;
  void Assign(const TPerformanceTime& other) override;
  void Start() override;
  // The same for a timer known to be of this kind, without the type check.
  int32_t ElapsedSince(const TDefaultPerformanceTime& other, int64_t boundMs);
  void Assign(const TDefaultPerformanceTime& other) { StartTime = other.StartTime; }

  TDateTime StartInstant() const { return StartTime; }

 private:
  double Elapsed() const;
  TDateTime StartTime;
};

}  // namespace vx
