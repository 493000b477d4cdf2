#pragma once
// Objects that WaitForSingleObject can wait on (events, mutexes, processes).
#include <atomic>
#include <cstdint>

#include "core/handles.h"
#include "minwindef.h"
#include "synchapi.h"

namespace tesmira::platform::kernel {

inline constexpr uint64_t kNoDeadline = UINT64_MAX;

// A deadline in the layer's clock (clock::nowNs) for a Windows time-out in ms.
uint64_t deadlineAfterMs(DWORD milliseconds);

class Waitable : public KernelObject {
 public:
  // WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT once the deadline has passed;
  // WAIT_FAILED with the last error set.
  virtual DWORD waitUntil(uint64_t deadlineNs) = 0;
};

// The wait loop every waitable shares: tryOnce() returns a WAIT_ code or
// WAIT_TIMEOUT while not ready; block(ns) sleeps at most ns real nanoseconds and
// may return early. On a frozen test clock it blocks in short real slices and
// times out once the test has advanced the clock past the deadline.
template <class TryOnce, class Block>
DWORD waitLoop(uint64_t deadlineNs, TryOnce tryOnce, Block block);

// Sleeps on a futex word (shared between processes) while it holds `expected`.
void futexWait(std::atomic<uint32_t>& word, uint32_t expected, uint64_t maxNs);
void futexWake(std::atomic<uint32_t>& word, int count);

// Real nanoseconds the next block may last before the deadline is re-checked.
uint64_t nextSliceNs(uint64_t deadlineNs, uint64_t nowNs);

}  // namespace tesmira::platform::kernel

#include "core/clock.h"

namespace tesmira::platform::kernel {

template <class TryOnce, class Block>
DWORD waitLoop(uint64_t deadlineNs, TryOnce tryOnce, Block block) {
  for (;;) {
    DWORD result = tryOnce();
    if (result != DWORD(WAIT_TIMEOUT)) return result;
    uint64_t now = clock::nowNs();
    if (deadlineNs != kNoDeadline && now >= deadlineNs) return DWORD(WAIT_TIMEOUT);
    block(nextSliceNs(deadlineNs, now));
  }
}

}  // namespace tesmira::platform::kernel
