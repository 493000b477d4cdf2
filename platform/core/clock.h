#pragma once
#include <cstdint>

namespace tesmira::platform::clock {

// Nanoseconds of the shared monotonic clock (CLOCK_MONOTONIC), or of the test
// clock while it is frozen.
uint64_t nowNs();
// Nanoseconds since 1601-01-01 UTC (FILETIME epoch), moved by the test clock too.
uint64_t wallNs1601();
// Sleeps (really) until the layer's clock reaches deadlineNs; with a frozen clock
// returns once the test has advanced it far enough.
void sleepUntil(uint64_t deadlineNs);

}  // namespace tesmira::platform::clock
