#pragma once
// The one clock every wait, time-out and timestamp reads. Tests install a
// TManualClock so that a 60-second time-out takes milliseconds.
#include <atomic>
#include <cstdint>

struct tm;

namespace Platform {

struct TLocalDateTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Conversions to and from the C library's broken-down time (the
// daylight-saving flag of ToTm is "unknown").
TLocalDateTime FromTm(const ::tm& parts, int millisecond);
::tm ToTm(const TLocalDateTime& t);

class IClock {
 public:
  virtual ~IClock() = default;
  // Milliseconds from an arbitrary start; never goes backwards.
  virtual uint64_t TickCount() = 0;
  // The local date and time.
  virtual TLocalDateTime Now() = 0;
  // Called by a wait that is about to block for up to ms milliseconds with
  // nothing to do. A simulated clock moves its time on and returns true (the
  // wait returns at once); the system clock returns false (the wait blocks).
  virtual bool IdleWait(uint32_t ms) = 0;
};

// Milliseconds on the system's monotonic clock. Waits in the kernel (on
// descriptors, on child processes) count on it, never on an installed
// clock: a test clock cannot wake the kernel.
uint64_t MonotonicMs();
// The same clock in microseconds, for spans too short to time in
// milliseconds (the run's timings, its trace), and in nanoseconds.
uint64_t MonotonicUs();
uint64_t MonotonicNs();

// A point on that clock to wait until, or no end.
class TDeadline {
 public:
  static TDeadline Never() { return TDeadline(NEVER); }
  static TDeadline After(uint64_t ms) { return TDeadline(MonotonicMs() + ms); }
  bool IsNever() const { return FAt == NEVER; }
  // Milliseconds left, at most cap; -1 for no end.
  int RemainingMs(int cap) const {
    if (IsNever()) return -1;
    const uint64_t now = MonotonicMs();
    if (now >= FAt) return 0;
    const uint64_t left = FAt - now;
    return left > static_cast<uint64_t>(cap) ? cap : static_cast<int>(left);
  }

 private:
  static constexpr uint64_t NEVER = UINT64_MAX;
  explicit TDeadline(uint64_t at) : FAt(at) {}
  uint64_t FAt;
};

// The clock in use (the system clock unless one was installed).
IClock& Clock();
// Installs a clock (nullptr restores the system clock); returns the previous.
IClock* SetClock(IClock* clock);

inline uint64_t GetTickCount64() { return Clock().TickCount(); }
inline TLocalDateTime LocalNow() { return Clock().Now(); }

// A clock that moves only when told, or by the length of each idle wait.
class TManualClock : public IClock {
 public:
  explicit TManualClock(uint64_t startTicks = 1000000) : FTicks(startTicks) {}
  uint64_t TickCount() override { return FTicks.load(); }
  TLocalDateTime Now() override;
  bool IdleWait(uint32_t ms) override {
    if (!FAdvanceOnIdle.load()) return false;
    FTicks += ms;
    return true;
  }
  void Advance(uint64_t ms) { FTicks += ms; }
  void SetAdvanceOnIdle(bool on) { FAdvanceOnIdle = on; }
  // The local time shown at the start ticks; it moves with the ticks.
  void SetLocalTime(const TLocalDateTime& t) { FBase = t; FBaseTicks = FTicks.load(); }

 private:
  std::atomic<uint64_t> FTicks;
  std::atomic<bool> FAdvanceOnIdle{true};
  TLocalDateTime FBase{2014, 3, 5, 14, 7, 9, 0};
  uint64_t FBaseTicks = FTicks.load();
};

// Installs a clock for the lifetime of the guard.
class TClockGuard {
 public:
  explicit TClockGuard(IClock& clock) : FPrevious(SetClock(&clock)) {}
  ~TClockGuard() { SetClock(FPrevious); }
  TClockGuard(const TClockGuard&) = delete;
  TClockGuard& operator=(const TClockGuard&) = delete;

 private:
  IClock* FPrevious;
};

}  // namespace Platform
