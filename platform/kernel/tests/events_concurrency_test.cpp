#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/machine_fixture.h"

namespace {

using KernelConcurrencyTest = tesmira::testing::MachineTest;

// The frame path's pattern: a writer publishes a counter and sets an auto-reset
// event; a reader waits and must always end up seeing the last value.
TEST_F(KernelConcurrencyTest, AnAutoResetWaiterNeverMissesTheLastSet) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  HANDLE reader = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  constexpr int kFrames = 2000;
  std::atomic<int> published{0};
  std::thread writer([&] {
    for (int i = 1; i <= kFrames; ++i) {
      published.store(i, std::memory_order_release);
      SetEvent(e);
    }
  });
  int wakes = 0, seen = 0;
  while (seen < kFrames) {
    ASSERT_EQ(WaitForSingleObject(reader, 30000), WAIT_OBJECT_0);
    ++wakes;
    seen = published.load(std::memory_order_acquire);
  }
  writer.join();
  EXPECT_LE(wakes, kFrames);
  CloseHandle(reader);
  CloseHandle(e);
}

TEST_F(KernelConcurrencyTest, AMutexSerialisesThreadsOfOneProcess) {
  HANDLE m = CreateMutexW(nullptr, FALSE, L"Local\\Counter");
  int counter = 0;  // guarded by the mutex only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      HANDLE mine = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\Counter");
      for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(WaitForSingleObject(mine, INFINITE), WAIT_OBJECT_0);
        ++counter;
        ReleaseMutex(mine);
      }
      CloseHandle(mine);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 800);
  CloseHandle(m);
}

TEST_F(KernelConcurrencyTest, HandlesOpenAndCloseFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) {
        HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 80, L"Local\\Churn.v1");
        ASSERT_NE(h, nullptr);
        auto* view = static_cast<volatile uint32_t*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 80));
        ASSERT_NE(view, nullptr);
        view[0] = 1;
        UnmapViewOfFile(const_cast<uint32_t*>(view));
        CloseHandle(h);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\Churn.v1"), nullptr);
}

}  // namespace
