#include <windows.h>

#include <gtest/gtest.h>

#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace testclock = tesmira::platform::testclock;
using ClockTest = tesmira::testing::MachineTest;

TEST_F(ClockTest, FrozenClockMovesOnlyWhenAdvanced) {
  testclock::freeze();
  ULONGLONG tick = GetTickCount64();
  LARGE_INTEGER qpc{}, qpc2{}, freq{};
  QueryPerformanceCounter(&qpc);
  QueryPerformanceFrequency(&freq);
  EXPECT_EQ(freq.QuadPart, 10000000);
  EXPECT_EQ(GetTickCount64(), tick);
  testclock::advanceMs(1500);
  QueryPerformanceCounter(&qpc2);
  EXPECT_EQ(GetTickCount64(), tick + 1500);
  EXPECT_EQ(qpc2.QuadPart - qpc.QuadPart, 15000000);
}

TEST_F(ClockTest, FileTimeAdvancesWithTheTestClock) {
  testclock::freeze();
  FILETIME a{}, b{};
  GetSystemTimeAsFileTime(&a);
  testclock::advanceMs(2000);
  GetSystemTimeAsFileTime(&b);
  auto units = [](FILETIME f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  EXPECT_EQ(units(b) - units(a), 20000000u);
}

TEST_F(ClockTest, ReleaseNeverRunsBackwards) {
  testclock::freeze();
  testclock::advanceMs(60000);
  ULONGLONG frozenAt = GetTickCount64();
  testclock::release();
  EXPECT_GE(GetTickCount64(), frozenAt);
}

// Between tests the offset goes, so children (which read the real clock) agree again.
TEST_F(ClockTest, ResetDropsTheOffsetThatReleaseKept) {
  const ULONGLONG before = GetTickCount64();
  testclock::freeze();
  testclock::advanceMs(60000);
  testclock::release();
  ASSERT_GE(GetTickCount64(), before + 60000);
  testclock::reset();
  EXPECT_FALSE(testclock::frozen());
  EXPECT_LT(GetTickCount64(), before + 30000);
  testclock::freeze();
  testclock::reset();
  EXPECT_FALSE(testclock::frozen());
}

TEST_F(ClockTest, FileTimeRoundTripsThroughSystemTime) {
  SYSTEMTIME st{2026, 12, 0, 10, 10, 13, 29, 250};
  FILETIME ft{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  SYSTEMTIME back{};
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
  EXPECT_EQ(back.wYear, 2026);
  EXPECT_EQ(back.wDay, 10);
  EXPECT_EQ(back.wSecond, 29);
  EXPECT_EQ(back.wMilliseconds, 250);
  EXPECT_EQ(back.wDayOfWeek, 4);  // a Thursday
}

}  // namespace
