#pragma once
// Rows of an image worked in stripes on OpenCV's worker threads.
#include <opencv2/core.hpp>

#include <atomic>

namespace tesmira {

// body(rowBegin, rowEnd) over the rows [begin, end), in stripes that may run at once. The
// pool's own hand-off is invisible to a race detector when its library is not
// instrumented; an atomic orders the caller's writes before every stripe and every stripe
// before the return.
template <typename Body>
void forEachRowStripe(int begin, int end, const Body& body) {
  if (end <= begin) return;
  std::atomic<int> handOff{0};
  handOff.store(1, std::memory_order_release);
  cv::parallel_for_(cv::Range(begin, end), [&](const cv::Range& rows) {
    (void)handOff.load(std::memory_order_acquire);
    body(rows.start, rows.end);
    handOff.fetch_add(1, std::memory_order_acq_rel);
  });
  (void)handOff.load(std::memory_order_acquire);
}

}  // namespace tesmira
