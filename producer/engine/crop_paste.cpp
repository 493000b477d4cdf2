#include "producer/engine/crop_paste.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "producer/engine/face_compositing.h"

namespace tesmira {
namespace {

// NaN to lo; then lo..hi.
float clampBound(float v, float lo, float hi) { return v > hi ? hi : (v >= lo ? v : lo); }

}  // namespace

cv::Mat pasteCropCpu(const cv::Mat& frame, const cv::Mat& crop, const cv::Mat& retouched,
                     const std::array<double, 6>& cropFromFrame) {
  const auto [a, b, c, d, e, f] = cropFromFrame;
  const double det = a * e - b * d;
  const double s = (det < 0 ? -1.0 : 1.0) / std::max(std::fabs(det), 1e-9);
  const double ia = s * e, ib = -s * b, id = -s * d, ie = s * a;
  const double ic = -(c * ia + f * ib), ifv = -(f * ie + c * id);

  const float corners[4][2] = {{0, 0}, {320, 0}, {320, 512}, {0, 512}};
  float minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    const float x = float(ia) * corners[i][0] + float(ib) * corners[i][1] + float(ic);
    const float y = float(id) * corners[i][0] + float(ie) * corners[i][1] + float(ifv);
    if (i == 0 || x < minX) minX = x;
    if (i == 0 || y < minY) minY = y;
    if (i == 0 || x > maxX) maxX = x;
    if (i == 0 || y > maxY) maxY = y;
  }
  // Bounds are clamped to the frame in floating point before they become integers; a
  // non-finite one gives an empty region.
  const float w = float(frame.cols), h = float(frame.rows);
  const bool finite = std::isfinite(minX) && std::isfinite(minY) && std::isfinite(maxX) && std::isfinite(maxY);
  const int x0 = finite ? int(clampBound(std::floor(minX) - 2.0f, 0.0f, w)) : 0;
  const int y0 = finite ? int(clampBound(std::floor(minY) - 2.0f, 0.0f, h)) : 0;
  const int x1 = finite ? int(clampBound(std::ceil(maxX) + 2.0f, 0.0f, w)) : 0;
  const int y1 = finite ? int(clampBound(std::ceil(maxY) + 2.0f, 0.0f, h)) : 0;
  if (x1 <= x0 || y1 <= y0) return frame.clone();

  cv::Mat before, after;
  crop.convertTo(before, CV_32FC3);
  retouched.convertTo(after, CV_32FC3);
  const cv::Mat delta = after - before;
  const cv::Matx23f warp(float(ia), float(ib), float(ic) - float(x0), float(id), float(ie), float(ifv) - float(y0));
  cv::Mat warped;
  cv::warpAffine(delta, warped, warp, cv::Size(x1 - x0, y1 - y0), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                 cv::Scalar::all(0));

  cv::Mat result = frame.clone();
  for (int y = y0; y < y1; ++y) {
    uint8_t* row = result.ptr<uint8_t>(y);
    const float* dv = warped.ptr<float>(y - y0);
    for (int x = x0; x < x1; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        const float v = dv[3 * (x - x0) + ch];
        uint8_t& px = row[3 * x + ch];
        if (v != 0.0f) px = levelToByte(float(px) + v);
      }
    }
  }
  return result;
}

}  // namespace tesmira
