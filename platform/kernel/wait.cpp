#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "core/clock.h"
#include "errhandlingapi.h"
#include "kernel/waitable.h"
#include "synchapi.h"
#include "tesmira/platform_testing.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

constexpr uint64_t kFrozenSliceNs = 1000000;   // 1 ms: how often a frozen clock is re-read
constexpr uint64_t kRealSliceNs = 100000000;   // 100 ms: the clock may be frozen meanwhile

}  // namespace

uint64_t deadlineAfterMs(DWORD milliseconds) {
  if (milliseconds == INFINITE) return kNoDeadline;
  return clock::nowNs() + uint64_t(milliseconds) * 1000000ull;
}

uint64_t nextSliceNs(uint64_t deadlineNs, uint64_t nowNs) {
  if (testclock::frozen()) return kFrozenSliceNs;
  if (deadlineNs == kNoDeadline) return kRealSliceNs;
  uint64_t left = deadlineNs - nowNs;
  return left < kRealSliceNs ? left : kRealSliceNs;
}

void futexWait(std::atomic<uint32_t>& word, uint32_t expected, uint64_t maxNs) {
  timespec ts{time_t(maxNs / 1000000000ull), long(maxNs % 1000000000ull)};
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected, &ts, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>& word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

}  // namespace tesmira::platform::kernel

namespace kernel = tesmira::platform::kernel;

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto waitable = tesmira::platform::handles::lookupAs<kernel::Waitable>(handle);
  if (!waitable) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return waitable->waitUntil(kernel::deadlineAfterMs(milliseconds));
}

void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) ::pause();
  }
  tesmira::platform::clock::sleepUntil(tesmira::platform::clock::nowNs() + uint64_t(milliseconds) * 1000000ull);
}
