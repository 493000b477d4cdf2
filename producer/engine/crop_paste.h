#pragma once
// The CPU paste-back: the crop's change carried back into the camera frame.
#include <opencv2/core.hpp>

#include <array>

namespace tesmira {

// frame: 8-bit BGR of any size; crop and retouched: 8-bit BGR 320x512; cropFromFrame:
// the 2x3 frame-to-crop alignment. A new frame-size image; never throws for any alignment.
cv::Mat pasteCropCpu(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouched,
                     const std::array<double, 6>& cropFromFrame);

}  // namespace tesmira
