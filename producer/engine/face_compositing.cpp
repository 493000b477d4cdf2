#include "producer/engine/face_compositing.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "producer/engine/row_stripes.h"

namespace tesmira {
namespace {

// Single-precision factors one unit in the last place above the floats nearest to 0.59
// and 0.69, as the teeth formula is defined with them.
constexpr float kTeeth059 = 0x1.2e147cp-1f;
constexpr float kTeeth069 = 0x1.6147bp-1f;

float clamp01(float v) { return v > 1.0f ? 1.0f : (v >= 0.0f ? v : 0.0f); }

// Polygon vertices far outside any crop would overflow the fill's fixed-point maths.
constexpr float kVertexLimit = 1 << 14;
// Rings up to this length are filled without an allocation; the inner lips have 20 points.
constexpr size_t kMaxMaskVertices = 64;

// pixel(image pixel, field value, mask value, out pixel) for every pixel of an 8-bit BGR
// image with its 4-channel float field and float mask; out becomes 8-bit BGR of its size
// (never the image itself). Rows go in stripes on OpenCV's worker threads.
template <typename Pixel>
void composePixels(const cv::Mat& image, const cv::Mat& field, const cv::Mat& mask, cv::Mat& out, const Pixel& pixel) {
  CV_Assert(image.type() == CV_8UC3 && field.type() == CV_32FC4 && mask.type() == CV_32FC1);
  CV_Assert(field.size() == image.size() && mask.size() == image.size());
  CV_Assert(out.data != image.data);
  out.create(image.size(), CV_8UC3);
  forEachRowStripe(0, image.rows, [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      const uint8_t* p = image.ptr<uint8_t>(y);
      const float* f = field.ptr<float>(y);
      const float* m = mask.ptr<float>(y);
      uint8_t* o = out.ptr<uint8_t>(y);
      for (int x = 0; x < image.cols; ++x, p += 3, f += 4, o += 3) pixel(p, f, m[x], o);
    }
  });
}

}  // namespace

uint8_t levelToByte(float v) {
  const float c = v > 255.0f ? 255.0f : (v >= 0.0f ? v : 0.0f);
  return uint8_t(std::lrintf(c));
}

uint8_t unitToByte(float v) { return levelToByte(v * 255.0f); }

void decodeModelField(const std::vector<float>& raw, int w, int h, cv::Size size, const cv::Vec4f& nanAs,
                      cv::Mat& out, cv::Mat& plane) {
  const size_t planeSize = size_t(w) * size_t(h);
  if (raw.size() < 4 * planeSize) throw std::runtime_error("ONNX field output is smaller than expected.");
  const bool resized = size != cv::Size(w, h);
  cv::Mat& field = resized ? plane : out;
  field.create(h, w, CV_32FC4);
  for (int y = 0; y < h; ++y) {
    float* row = field.ptr<float>(y);
    for (int x = 0; x < w; ++x) {
      const size_t at = size_t(x) * size_t(h) + size_t(y);
      for (int c = 0; c < 4; ++c) {
        const float v = raw[size_t(c) * planeSize + at];
        row[4 * x + c] = std::isnan(v) ? nanAs[c] : clamp01(v / 255.0f);
      }
    }
  }
  if (resized) cv::resize(plane, out, size, 0, 0, cv::INTER_LINEAR);
}

cv::Mat decodeModelField(const std::vector<float>& raw, int w, int h, cv::Size size, const cv::Vec4f& nanAs) {
  cv::Mat out, plane;
  decodeModelField(raw, w, h, size, nanAs, out, plane);
  return out;
}

void composeSkin(const cv::Mat& crop, const cv::Mat& field, const cv::Mat& mask, float gain, cv::Mat& out) {
  if (!std::isfinite(gain)) gain = 0.0f;
  composePixels(crop, field, mask, out, [gain](const uint8_t* p, const float* f, float m, uint8_t* o) {
    const float a = gain * m;
    const float da = 1.75f * f[3] - 0.25f;
    for (int c = 0; c < 3; ++c) {
      const float xv = p[c] / 255.0f;
      o[c] = unitToByte(xv + a * ((1.5f * f[2 - c] - 0.25f) - da * xv));
    }
  });
}

cv::Mat composeSkin(const cv::Mat& crop, const cv::Mat& field, const cv::Mat& mask, float gain) {
  cv::Mat out;
  composeSkin(crop, field, mask, gain, out);
  return out;
}

void composeTeeth(const cv::Mat& patch, const cv::Mat& field, const cv::Mat& mask, float strength, cv::Mat& out) {
  if (!std::isfinite(strength)) strength = 0.0f;
  composePixels(patch, field, mask, out, [strength](const uint8_t* p, const float* f, float m, uint8_t* o) {
    const float a = strength * m;
    const float k = 0.9f * (kTeeth059 * f[0] - 0.05f);
    const float colour[3] = {clamp01(0.9f * (kTeeth059 * f[2] - 0.04f) + 0.352941f * k),
                             clamp01(0.9f * (kTeeth059 * f[1] - 0.05f)), clamp01(0.921569f * k)};
    const float alpha = a * clamp01(0.9f * (kTeeth069 * f[3] - 0.15f));
    for (int c = 0; c < 3; ++c) o[c] = unitToByte(p[c] / 255.0f * (1.0f - alpha) + a * colour[c]);
  });
}

cv::Mat composeTeeth(const cv::Mat& patch, const cv::Mat& field, const cv::Mat& mask, float strength) {
  cv::Mat out;
  composeTeeth(patch, field, mask, strength, out);
  return out;
}

void softMouthMask(cv::Size size, const std::vector<cv::Point2f>& points, const int* indices, size_t count,
                   double sigma, cv::Mat& out, MouthMaskScratch& scratch) {
  out.create(size, CV_32FC1);
  out.setTo(0);
  cv::Point ring[kMaxMaskVertices];
  std::vector<cv::Point> longRing;
  if (count > kMaxMaskVertices) longRing.resize(count);
  cv::Point* polygon = longRing.empty() ? ring : longRing.data();
  for (size_t i = 0; i < count; ++i) {
    const int index = indices[i];
    if (index < 0 || size_t(index) >= points.size()) return;
    const cv::Point2f p = points[size_t(index)];
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
    const float x = std::clamp(std::nearbyint(p.x), -kVertexLimit, kVertexLimit);
    const float y = std::clamp(std::nearbyint(p.y), -kVertexLimit, kVertexLimit);
    polygon[i] = cv::Point(int(x), int(y));
  }
  cv::Mat& filled = scratch.filled;
  filled.create(size, CV_8UC1);
  filled.setTo(0);
  const cv::Point* vertices = polygon;
  const int vertexCount = int(count);
  cv::fillPoly(filled, &vertices, &vertexCount, 1, cv::Scalar(255), cv::LINE_8, 0);
  if (!(sigma > 0)) {
    filled.convertTo(out, CV_32F, 1.0 / 255.0);
    return;
  }
  // Into a buffer of its own: an in-place blur copies its input first.
  cv::GaussianBlur(filled, scratch.blurred, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT_101);
  scratch.blurred.convertTo(out, CV_32F, 1.0 / 255.0);
}

cv::Mat softMouthMask(cv::Size size, const std::vector<cv::Point2f>& points, const int* indices, size_t count,
                      double sigma) {
  cv::Mat out;
  MouthMaskScratch scratch;
  softMouthMask(size, points, indices, count, sigma, out, scratch);
  return out;
}

void addPatchDelta(cv::Mat& image, cv::Point2f centre, const cv::Mat& delta) {
  CV_Assert(image.type() == CV_8UC3 && delta.type() == CV_32FC3 && delta.rows == delta.cols);
  const int n = delta.cols;
  const float half = float(n) / 2.0f;
  float fx = std::nearbyint(centre.x - half), fy = std::nearbyint(centre.y - half);
  if (!std::isfinite(fx) || !std::isfinite(fy)) return;
  // Clamped in floating point first: a far-off centre gives an empty window, never an overflow.
  const int x0 = int(std::clamp(fx, -float(n), float(image.cols)));
  const int y0 = int(std::clamp(fy, -float(n), float(image.rows)));
  const int xa = std::max(x0, 0), xb = std::min(x0 + n, image.cols);
  const int ya = std::max(y0, 0), yb = std::min(y0 + n, image.rows);
  if (xb <= xa) return;
  forEachRowStripe(ya, yb, [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      uint8_t* row = image.ptr<uint8_t>(y);
      const float* d = delta.ptr<float>(y - y0);
      for (int x = xa; x < xb; ++x) {
        for (int c = 0; c < 3; ++c) row[3 * x + c] = levelToByte(float(row[3 * x + c]) + d[3 * (x - x0) + c]);
      }
    }
  });
}

}  // namespace tesmira
