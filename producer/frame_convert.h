#pragma once
// OpenCV images into the frame channel's pixel format, and the --stamp-seq stamp on
// BGR frames (NV12 frames are stamped through common/pixel_format.h).
#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace tesmira {

// BT.601 limited range of the top-left width x height region into packed NV12
// (rows of `width` bytes, luma then interleaved U,V). Sizes must be even, at least 2
// and inside the frame, the frame 8-bit BGR; otherwise false and `out` is emptied.
bool bgrToNv12(const cv::Mat& frame, int width, int height, std::vector<uint8_t>& out);
// The same into a caller's buffer of nv12Bytes(width, height).
bool bgrToNv12Into(const cv::Mat& frame, int width, int height, uint8_t* out);

void paintCodeBandsBgr(cv::Mat& frame, uint32_t code1, uint32_t code2);
void stampBgrFrame(cv::Mat& frame, uint32_t code1, uint32_t code2);

}  // namespace tesmira
