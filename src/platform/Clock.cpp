#include "platform/Clock.h"

#include <ctime>
#include <time.h>

namespace Platform {

uint64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t MonotonicMs() { return MonotonicNs() / 1000000u; }

uint64_t MonotonicUs() { return MonotonicNs() / 1000u; }

namespace {

class TSystemClock : public IClock {
 public:
  uint64_t TickCount() override { return MonotonicMs(); }
  TLocalDateTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    return FromTm(parts, static_cast<int>(ts.tv_nsec / 1000000));
  }
  bool IdleWait(uint32_t) override { return false; }
};

TSystemClock gSystemClock;
std::atomic<IClock*> gClock{&gSystemClock};

}  // namespace

TLocalDateTime FromTm(const ::tm& parts, int millisecond) {
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
          parts.tm_min,         parts.tm_sec,     millisecond};
}

::tm ToTm(const TLocalDateTime& t) {
  tm parts{};
  parts.tm_year = t.Year - 1900;
  parts.tm_mon = t.Month - 1;
  parts.tm_mday = t.Day;
  parts.tm_hour = t.Hour;
  parts.tm_min = t.Minute;
  parts.tm_sec = t.Second;
  parts.tm_isdst = -1;
  return parts;
}

IClock& Clock() { return *gClock.load(std::memory_order_acquire); }

IClock* SetClock(IClock* clock) {
  IClock* previous = gClock.exchange(clock ? clock : &gSystemClock);
  return previous == &gSystemClock ? nullptr : previous;
}

TLocalDateTime TManualClock::Now() {
  // Adds the ticks passed since the base time, through the C library so
  // that month and year boundaries come out right.
  tm parts = ToTm(FBase);
  const uint64_t passed = FTicks.load() - FBaseTicks;
  time_t t = timegm(&parts) + static_cast<time_t>(passed / 1000);
  tm out{};
  gmtime_r(&t, &out);
  return FromTm(out, static_cast<int>(passed % 1000));
}

}  // namespace Platform
