#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/tests/spawn.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::spawnChild;
using tesmira::testing::waitChild;
namespace testclock = tesmira::platform::testclock;
namespace faults = tesmira::platform::faults;
using EventTest = tesmira::testing::MachineTest;

TEST_F(EventTest, ResetModesDecideHowManyWaitsOneSetReleases) {
  struct Case {
    BOOL manualReset;
    BOOL initialState;
    int sets;
    int waitsReleased;  // of three waits with time-out 0
  };
  const Case cases[] = {
      {FALSE, FALSE, 0, 0},
      {FALSE, TRUE, 0, 1},
      {FALSE, FALSE, 1, 1},
      {FALSE, FALSE, 3, 1},  // several sets between two waits wake once
      {TRUE, FALSE, 0, 0},
      {TRUE, TRUE, 0, 3},
      {TRUE, FALSE, 1, 3},   // manual reset stays signalled
  };
  for (const auto& c : cases) {
    HANDLE e = CreateEventW(nullptr, c.manualReset, c.initialState, nullptr);
    ASSERT_TRUE(e);
    for (int i = 0; i < c.sets; ++i) EXPECT_TRUE(SetEvent(e));
    int released = 0;
    for (int i = 0; i < 3; ++i) released += WaitForSingleObject(e, 0) == WAIT_OBJECT_0;
    EXPECT_EQ(released, c.waitsReleased) << "case " << int(&c - cases);
    CloseHandle(e);
  }
}

TEST_F(EventTest, ResetEventClearsAManualResetEvent) {
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, L"Local\\Stop");
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
  CloseHandle(e);
}

TEST_F(EventTest, OpenAndCreateFollowTheNamedObjectRules) {
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HANDLE created = CreateEventW(nullptr, FALSE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  // A second create joins the first: its own type and state are ignored.
  HANDLE joined = CreateEventW(nullptr, TRUE, TRUE, L"Local\\TesmiraRetouchFrameReady.v3");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(joined, 0), DWORD(WAIT_TIMEOUT));
  HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  ASSERT_TRUE(waitOnly);
  EXPECT_FALSE(SetEvent(waitOnly));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  HANDLE setOnly = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  EXPECT_EQ(WaitForSingleObject(setOnly, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(SetEvent(setOnly));
  CloseHandle(setOnly);
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(joined, 0), DWORD(WAIT_TIMEOUT)) << "the one signal was taken";
  CloseHandle(waitOnly);
  CloseHandle(joined);
  CloseHandle(created);
}

TEST_F(EventTest, GlobalCreationRefusedForEventsAndMutexes) {
  ::setenv("TESMIRA_ELEVATED", "1", 1);
  faults::inject("CreateEventW.Global", ERROR_ACCESS_DENIED);
  faults::inject("CreateMutexW.Global", ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, L"Global\\TesmiraRetouchFrameReady.v3"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"Global\\TesmiraUpdaterMutex"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  HANDLE local = CreateEventW(nullptr, FALSE, FALSE, L"Local\\TesmiraRetouchFrameReady.v3");
  EXPECT_NE(local, nullptr);
  CloseHandle(local);
  ::unsetenv("TESMIRA_ELEVATED");
}

// Only file mappings need the privilege in Global\: a plain user creates mutexes and events there.
TEST_F(EventTest, APlainUserCreatesGlobalEventsAndMutexes) {
  ::setenv("TESMIRA_ELEVATED", "0", 1);
  ::unsetenv("TESMIRA_SERVICE");
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, L"Global\\TesmiraRetouchFrameReady.v3");
  EXPECT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\TesmiraUpdaterMutex");
  EXPECT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 40, L"Global\\TesmiraVcamControl.v2"),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(mutex);
  CloseHandle(event);
  ::unsetenv("TESMIRA_ELEVATED");
}

TEST_F(EventTest, BadHandlesFail) {
  HANDLE bogus = reinterpret_cast<HANDLE>(0x4444);
  EXPECT_FALSE(SetEvent(bogus));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 40, nullptr);
  EXPECT_FALSE(SetEvent(mapping)) << "a mapping is no event";
  CloseHandle(mapping);
}

// Waits on a frozen clock return exactly when the test advances past the deadline.
TEST_F(EventTest, TimeOutsFollowTheTestClock) {
  const DWORD timeouts[] = {1, 100, 8000};
  for (DWORD timeout : timeouts) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    testclock::freeze();
    ULONGLONG start = GetTickCount64();
    std::atomic<bool> done{false};
    std::atomic<ULONGLONG> returnedAt{0};
    std::atomic<DWORD> result{0};
    std::thread waiter([&] {
      result = WaitForSingleObject(e, timeout);
      returnedAt = GetTickCount64();
      done = true;
    });
    while (!done) testclock::advanceMs(1);
    waiter.join();
    EXPECT_EQ(result.load(), DWORD(WAIT_TIMEOUT));
    EXPECT_GE(returnedAt.load(), start + timeout) << "returned before its deadline";
    testclock::release();
    CloseHandle(e);
  }
}

TEST_F(EventTest, ASetWakesAnInfiniteWaiter) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] { result = WaitForSingleObject(e, INFINITE); });
  SetEvent(e);
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  CloseHandle(e);
}

TEST_F(EventTest, SleepReturnsWhenTheFrozenClockPassesItsEnd) {
  testclock::freeze();
  ULONGLONG start = GetTickCount64();
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    Sleep(500);
    done = true;
  });
  while (!done) testclock::advanceMs(5);
  sleeper.join();
  EXPECT_GE(GetTickCount64(), start + 500);
}

// Child: announces itself, then waits for the parent's signal.
TESMIRA_CHILD_MAIN(waitForGo) {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\ChildReady");
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\ChildGo");
  if (!ready || !go) return 10;
  SetEvent(ready);
  return WaitForSingleObject(go, 20000) == WAIT_OBJECT_0 ? 0 : 11;
}

TEST_F(EventTest, AChildWaitsOnAnEventTheParentSets) {
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\ChildReady");
  HANDLE go = CreateEventW(nullptr, FALSE, FALSE, L"Local\\ChildGo");
  pid_t child = spawnChild("waitForGo");
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(SetEvent(go));
  EXPECT_EQ(waitChild(child), 0);
  CloseHandle(go);
  CloseHandle(ready);
}

}  // namespace
