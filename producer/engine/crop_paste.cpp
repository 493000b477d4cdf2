#include "producer/engine/crop_paste.h"

#include <xmmintrin.h>

#include <cmath>
#include <vector>

#include "producer/engine/crop_geometry.h"
#include "producer/engine/row_stripes.h"

namespace tesmira {
namespace {

// levelToByte's rounding (to nearest, ties to even, clamped; NaN to 0) inlined in the loop.
inline uint8_t levelByte(float v) {
  const float clamped = v > 255.0f ? 255.0f : (v >= 0.0f ? v : 0.0f);
  return uint8_t(_mm_cvtss_si32(_mm_set_ss(clamped)));
}

}  // namespace

void pasteCropCpu(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouched,
                  const std::array<double, 6>& cropFromFrame, cv::Mat& out) {
  CV_Assert(frame.type() == CV_8UC3 && crop.type() == CV_8UC3 && retouched.type() == CV_8UC3);
  CV_Assert(crop.cols == kCropWidth && crop.rows == kCropHeight && retouched.size() == crop.size());
  // Writing into the camera frame would change what the caller still reads.
  if (out.data == frame.data || out.u == frame.u) out.release();
  out.create(frame.size(), CV_8UC3);
  frame.copyTo(out);
  const CropFootprint region = cropFootprint(cropFromFrame, frame.cols, frame.rows);
  if (region.empty()) return;

  // The change in floats with a one-pixel border of zeros, so that a tap beyond the crop
  // reads 0 without a test. Kept per calling thread: the road allocates it once; the
  // workers below read it through a pointer, never their own copy.
  constexpr int kStride = kCropWidth + 2;
  thread_local std::vector<float> change;
  change.assign(size_t(kStride) * (kCropHeight + 2) * 3, 0.0f);
  for (int y = 0; y < kCropHeight; ++y) {
    const uint8_t* before = crop.ptr<uint8_t>(y);
    const uint8_t* after = retouched.ptr<uint8_t>(y);
    float* row = change.data() + (size_t(y + 1) * kStride + 1) * 3;
    for (int i = 0; i < kCropWidth * 3; ++i) row[i] = float(int(after[i]) - int(before[i]));
  }

  const double a = cropFromFrame[0], b = cropFromFrame[1], c = cropFromFrame[2];
  const double d = cropFromFrame[3], e = cropFromFrame[4], f = cropFromFrame[5];
  constexpr double kW = kCropWidth, kH = kCropHeight;
  const float* changeData = change.data();
  // Rows are independent: stripes of them run on OpenCV's worker threads.
  forEachRowStripe(region.minY, region.maxY, [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      uint8_t* row = out.ptr<uint8_t>(y);
      const double uRow = b * y + c, vRow = e * y + f;
      for (int x = region.minX; x < region.maxX; ++x) {
        const double u = a * x + uRow, v = d * x + vRow;
        // Beyond a pixel outside the crop every tap is zero; a NaN fails the test too.
        if (!(u > -1.0 && u < kW && v > -1.0 && v < kH)) continue;
        // u and v are above -1, so truncation of u + 1 is the floor of u, plus one.
        const int iu = int(u + 1.0), iv = int(v + 1.0);
        const float fx = float(u + 1.0 - iu), fy = float(v + 1.0 - iv);
        const float* top = changeData + (size_t(iv) * kStride + size_t(iu)) * 3;
        const float* bottom = top + kStride * 3;
        for (int ch = 0; ch < 3; ++ch) {
          const float upper = top[ch] + fx * (top[3 + ch] - top[ch]);
          const float lower = bottom[ch] + fx * (bottom[3 + ch] - bottom[ch]);
          const float delta = upper + fy * (lower - upper);
          if (delta == 0.0f) continue;
          uint8_t& px = row[3 * x + ch];
          px = levelByte(float(px) + delta);
        }
      }
    }
  });
}

cv::Mat pasteCropCpu(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouched,
                     const std::array<double, 6>& cropFromFrame) {
  cv::Mat out;
  pasteCropCpu(frame, crop, retouched, cropFromFrame, out);
  return out;
}

}  // namespace tesmira
