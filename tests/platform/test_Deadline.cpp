#include <gtest/gtest.h>

#include "platform/Clock.h"

using namespace Platform;

TEST(PlatformDeadline, NeverWaitsWithoutEnd) {
  EXPECT_TRUE(TDeadline::Never().IsNever());
  EXPECT_EQ(TDeadline::Never().RemainingMs(1000), -1);
}

TEST(PlatformDeadline, APassedDeadlineLeavesNothingAndALongOneIsCapped) {
  EXPECT_FALSE(TDeadline::After(0).IsNever());
  EXPECT_EQ(TDeadline::After(0).RemainingMs(1000), 0);
  EXPECT_EQ(TDeadline::After(60000).RemainingMs(1000), 1000);
  const int left = TDeadline::After(60000).RemainingMs(100000);
  EXPECT_GT(left, 50000);
  EXPECT_LE(left, 60000);
}

TEST(PlatformDeadline, TheMonotonicClockIsNotTheInstalledOne) {
  TManualClock manual(5);
  TClockGuard guard(manual);
  EXPECT_EQ(GetTickCount64(), 5u);
  EXPECT_GT(MonotonicMs(), 5u);
  const uint64_t a = MonotonicMs();
  EXPECT_GE(MonotonicMs(), a);
}
