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
using MutexTest = tesmira::testing::MachineTest;

DWORD waitFromOtherThread(HANDLE m, bool releaseAfter) {
  DWORD result = WAIT_FAILED;
  std::thread t([&] {
    result = WaitForSingleObject(m, 0);
    if (releaseAfter && (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)) ReleaseMutex(m);
  });
  t.join();
  return result;
}

TEST_F(MutexTest, ASecondCreateReportsAlreadyExistsAndDoesNotOwn) {
  HANDLE first = CreateMutexW(nullptr, TRUE, L"Local\\TesmiraAgentSingleton");
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  HANDLE second = nullptr;
  std::thread other([&] { second = CreateMutexW(nullptr, TRUE, L"Local\\TesmiraAgentSingleton"); });
  other.join();
  ASSERT_TRUE(second);
  EXPECT_EQ(waitFromOtherThread(second, false), DWORD(WAIT_TIMEOUT));
  CloseHandle(second);
  CloseHandle(first);
}

TEST_F(MutexTest, OwnershipIsPerThreadAndRecursive) {
  HANDLE m = CreateMutexW(nullptr, FALSE, L"Local\\Counted");
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_EQ(waitFromOtherThread(m, false), DWORD(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(waitFromOtherThread(m, false), DWORD(WAIT_TIMEOUT)) << "still owned once";
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
  EXPECT_EQ(waitFromOtherThread(m, true), WAIT_OBJECT_0);
  CloseHandle(m);
}

TEST_F(MutexTest, AReleaseIsSeenWhileTheTestClockStandsStill) {
  tesmira::platform::testclock::freeze();
  HANDLE m = CreateMutexW(nullptr, TRUE, L"Local\\Frozen");
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] {
    result = WaitForSingleObject(m, INFINITE);
    if (result == WAIT_OBJECT_0) ReleaseMutex(m);
  });
  EXPECT_TRUE(ReleaseMutex(m));
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  CloseHandle(m);
}

// Child: takes the mutex, says so, and dies (killed or exiting) without releasing it.
TESMIRA_CHILD_MAIN(holdMutex) {
  HANDLE m = CreateMutexW(nullptr, TRUE, L"Local\\Held");
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\HeldReady");
  if (!m || !ready || GetLastError() != ERROR_SUCCESS) return 10;
  SetEvent(ready);
  if (!args.empty() && args[0] == "exit") {
    // Exit only once the parent holds a handle, or the mutex would go with this process.
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\HeldOpened");
    return opened && WaitForSingleObject(opened, 20000) == WAIT_OBJECT_0 ? 0 : 11;
  }
  for (;;) Sleep(1000);
}

TEST_F(MutexTest, AMutexIsAbandonedWhenItsHolderDies) {
  for (const char* how : {"kill", "exit"}) {
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\HeldReady");
    HANDLE opened = CreateEventW(nullptr, FALSE, FALSE, L"Local\\HeldOpened");
    pid_t child = spawnChild("holdMutex", {how});
    ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\Held");
    ASSERT_TRUE(m);
    SetEvent(opened);
    if (std::string(how) == "kill") {
      EXPECT_EQ(WaitForSingleObject(m, 0), DWORD(WAIT_TIMEOUT)) << "the child owns it";
      ::kill(child, SIGKILL);
    }
    waitChild(child);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED) << how;
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandoned only once";
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
    CloseHandle(opened);
    CloseHandle(ready);
  }
}

// Child: reports whether a singleton mutex already existed.
TESMIRA_CHILD_MAIN(trySingleton) {
  HANDLE m = CreateMutexW(nullptr, TRUE, L"Local\\TesmiraAgentSingleton");
  if (!m) return 10;
  return GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0;
}

TEST_F(MutexTest, ASingletonIsSeenFromAnotherProcess) {
  HANDLE m = CreateMutexW(nullptr, TRUE, L"Local\\TesmiraAgentSingleton");
  EXPECT_EQ(waitChild(spawnChild("trySingleton")), 1);
  CloseHandle(m);
  EXPECT_EQ(waitChild(spawnChild("trySingleton")), 0) << "gone with its last holder";
}

}  // namespace
