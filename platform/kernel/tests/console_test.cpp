#include <windows.h>

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/child_main.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::childCommandLine;
using ConsoleTest = tesmira::testing::MachineTest;

std::atomic<int> gCalls{0};
std::atomic<DWORD> gLastType{0xFFFF};
std::atomic<DWORD> gHandlerThread{0};
std::atomic<int> gOrder{0};
std::atomic<int> gNewerAt{0}, gOlderAt{0};

BOOL WINAPI recordAndHandle(DWORD type) {
  gLastType = type;
  gHandlerThread = GetCurrentThreadId();
  ++gCalls;
  return TRUE;
}

BOOL WINAPI olderHandles(DWORD) {
  gOlderAt = ++gOrder;
  return TRUE;
}

BOOL WINAPI newerPasses(DWORD) {
  gNewerAt = ++gOrder;
  return FALSE;
}

void waitForCalls(int n) {
  while (gCalls.load() < n) std::this_thread::yield();
}

TEST_F(ConsoleTest, SignalsArriveAsConsoleEventsOnAThreadOfTheirOwn) {
  ASSERT_TRUE(SetConsoleCtrlHandler(recordAndHandle, TRUE));
  struct Case {
    int sig;
    DWORD type;
  };
  const Case cases[] = {
      {SIGINT, CTRL_C_EVENT},
      {SIGQUIT, CTRL_BREAK_EVENT},
      {SIGHUP, CTRL_CLOSE_EVENT},
      {SIGTERM, CTRL_SHUTDOWN_EVENT},
  };
  int calls = 0;
  for (const auto& c : cases) {
    ::kill(::getpid(), c.sig);
    waitForCalls(++calls);
    EXPECT_EQ(gLastType.load(), c.type) << "signal " << c.sig;
    EXPECT_NE(gHandlerThread.load(), GetCurrentThreadId());
  }
  EXPECT_TRUE(SetConsoleCtrlHandler(recordAndHandle, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(recordAndHandle, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(ConsoleTest, TheNewestHandlerRunsFirstUntilOneHandlesIt) {
  SetConsoleCtrlHandler(recordAndHandle, TRUE);
  SetConsoleCtrlHandler(olderHandles, TRUE);
  SetConsoleCtrlHandler(newerPasses, TRUE);
  const int callsBefore = gCalls.load();
  ::kill(::getpid(), SIGINT);
  while (gOlderAt.load() == 0) std::this_thread::yield();
  EXPECT_EQ(gNewerAt.load(), 1);
  EXPECT_EQ(gOlderAt.load(), 2);
  EXPECT_EQ(gCalls.load(), callsBefore) << "the oldest handler is not reached once one returned TRUE";
}

TEST_F(ConsoleTest, TimerPeriodsAreAccepted) {
  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
}

std::atomic<bool> gStop{false};

BOOL WINAPI stopOnControl(DWORD type) {
  if (type == CTRL_LOGOFF_EVENT) return FALSE;
  gStop.exchange(true);
  return TRUE;
}

BOOL WINAPI neverHandles(DWORD) { return FALSE; }

// Child: the producer's pattern, or a handler that handles nothing.
TESMIRA_CHILD_MAIN(stopOnCtrlC) {
  bool handles = args.empty() || args[0] != "unhandled";
  SetConsoleCtrlHandler(handles ? stopOnControl : neverHandles, TRUE);
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\CtrlReady");
  SetEvent(ready);
  while (!gStop.load()) Sleep(5);
  return 0;
}

TEST_F(ConsoleTest, CtrlCReachesTheHandlerOfAChild) {
  struct Case {
    const char* mode;
    int sig;
    DWORD exitCode;
  };
  const Case cases[] = {
      {"handled", SIGINT, 0},                 // the loop stops and main returns 0
      {"handled", SIGTERM, 0},
      {"unhandled", SIGINT, 0xC000013Au},     // nobody handles it: the process ends
  };
  for (const auto& c : cases) {
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\CtrlReady");
    std::wstring line = childCommandLine("stopOnCtrlC", {c.mode});
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    ::kill(pid_t(pi.dwProcessId), c.sig);
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, c.exitCode) << int(&c - cases);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
  }
}

}  // namespace
