#include "producer/loop_clock.h"

#include <windows.h>

namespace tesmira {

int64_t steadyNs() {
  LARGE_INTEGER count{}, frequency{};
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const int64_t f = frequency.QuadPart > 0 ? frequency.QuadPart : 10000000;
  // Split so that the product does not overflow after a few days of uptime.
  return (count.QuadPart / f) * kNsPerSecond + (count.QuadPart % f) * kNsPerSecond / f;
}

}  // namespace tesmira
