#pragma once
// The steady clock of the main loop: performance-counter nanoseconds, the clock of
// every stage time, pass time and idle count.
#include <cstdint>

namespace tesmira {

inline constexpr int64_t kNsPerMs = 1000000;
inline constexpr int64_t kNsPerSecond = 1000000000;

int64_t steadyNs();
inline double msBetween(int64_t fromNs, int64_t toNs) { return double(toNs - fromNs) / double(kNsPerMs); }

}  // namespace tesmira
