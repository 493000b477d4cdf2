#pragma once
// The CPU paste-back: the crop's change carried back into the camera frame.
#include <opencv2/core.hpp>

#include <array>

namespace tesmira {

// frame: 8-bit BGR of any size; crop and retouched: 8-bit BGR 320x512; cropFromFrame: the
// 2x3 frame-to-crop alignment. `out` becomes the frame with the change (retouched - crop)
// bilinearly resampled into it, zero beyond the crop, over the crop's footprint only. out
// keeps its buffer when it has the frame's size and type and is not the frame itself, so
// a caller that keeps it allocates once. Never throws for any alignment.
void pasteCropCpu(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouched,
                  const std::array<double, 6>& cropFromFrame, cv::Mat& out);
// The same into a new image.
cv::Mat pasteCropCpu(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouched,
                     const std::array<double, 6>& cropFromFrame);

}  // namespace tesmira
