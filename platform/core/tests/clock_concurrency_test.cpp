#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace testclock = tesmira::platform::testclock;
using ClockConcurrencyTest = tesmira::testing::MachineTest;

TEST_F(ClockConcurrencyTest, EveryThreadSeesTheFrozenClockAndItsAdvances) {
  testclock::freeze();
  const ULONGLONG start = GetTickCount64();
  std::atomic<int> sawStart{0};
  std::atomic<bool> advanced{false};
  std::atomic<int> sawAdvance{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (GetTickCount64() == start) ++sawStart;
      while (!advanced.load()) std::this_thread::yield();
      if (GetTickCount64() == start + 250) ++sawAdvance;
    });
  }
  while (sawStart.load() < 4) std::this_thread::yield();
  testclock::advanceMs(250);
  advanced = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(sawAdvance.load(), 4);
}

TEST_F(ClockConcurrencyTest, LastErrorIsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD other = 1;
  std::thread t([&] {
    other = GetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
  });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

}  // namespace
