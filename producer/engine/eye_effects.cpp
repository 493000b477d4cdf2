#include "producer/engine/eye_effects.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "producer/engine/crop_geometry.h"

namespace tesmira {
namespace {

constexpr int kFirstSlot = 36;
constexpr int kSlotCount = 12;  // slots 36 to 47

// Face mesh landmark of each eye slot: one eye, then the other.
constexpr int kSlotLandmarks[kSlotCount] = {33, 160, 158, 133, 153, 144, 362, 385, 387, 263, 373, 380};

struct EyeMove {
  float p, q, r, s, t, u;
};
constexpr EyeMove kEyeMoves[2] = {
    {0.973334789276123f, -0.13881608843803406f, 36.52461242675781f, 0.03475101292133331f, 0.965133786201477f,
     2.100389242172241f},
    {0.9651370048522949f, 0.13920557498931885f, -28.503923416137695f, -0.03318953141570091f, 0.9081674218177795f,
     26.930809020996094f},
};

constexpr int kTriangles[8][3] = {{43, 42, 47}, {44, 43, 47}, {46, 44, 47}, {46, 45, 44},
                                  {37, 36, 41}, {38, 37, 41}, {40, 38, 41}, {40, 39, 38}};

constexpr float kTemplate[kSlotCount][2] = {
    {0.146562f, 0.473173f}, {0.21314f, 0.433084f},  {0.328543f, 0.427218f}, {0.440987f, 0.473173f},
    {0.322625f, 0.502506f}, {0.216099f, 0.504462f}, {0.57586f, 0.473173f},  {0.674091f, 0.429906f},
    {0.785342f, 0.432958f}, {0.862164f, 0.473173f}, {0.781145f, 0.503913f}, {0.67483f, 0.501338f},
};

// Far-off vertices would overflow the polygon fill's fixed-point maths.
constexpr float kVertexLimit = 1 << 14;

bool finite(cv::Point2f p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// NaN to lo; then lo..hi.
float clampBound(float v, float lo, float hi) { return v > hi ? hi : (v >= lo ? v : lo); }

// A continuous `size` image of `type` over backing's memory, which is made crop-sized once
// (more when asked for more) and kept. Not a view into a larger image: filters see no
// pixels beyond it.
cv::Mat imageOver(cv::Mat& backing, cv::Size size, int type) {
  const size_t bytes = size_t(size.area()) * CV_ELEM_SIZE(type);
  const size_t have = backing.empty() ? 0 : backing.total() * backing.elemSize();
  if (have < bytes) {
    const size_t crop = size_t(kCropWidth) * kCropHeight * CV_ELEM_SIZE(type);
    backing.create(1, int(std::max(bytes, crop)), CV_8UC1);
  }
  return cv::Mat(size, type, backing.data);
}

}  // namespace

cv::Mat buildEyeRegions(const cv::Mat& skinMask, const std::vector<cv::Point2f>& cropPoints, cv::Rect& rect) {
  EyeScratch scratch;
  return buildEyeRegions(skinMask, cropPoints, rect, scratch).clone();
}

cv::Mat buildEyeRegions(const cv::Mat& skinMask, const std::vector<cv::Point2f>& cropPoints, cv::Rect& rect,
                        EyeScratch& scratch) {
  rect = cv::Rect();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  cv::Point2f slots[kSlotCount];
  for (int i = 0; i < kSlotCount; ++i) {
    const size_t landmark = size_t(kSlotLandmarks[i]);
    slots[i] = landmark < cropPoints.size() ? cropPoints[landmark] : cv::Point2f(nan, nan);
    const EyeMove& m = kEyeMoves[i / 6];
    const cv::Point2f p = slots[i];
    if (std::isnan(p.x) || std::isnan(p.y)) continue;
    slots[i] = cv::Point2f(m.p * p.x + m.q * p.y + m.r, m.s * p.x + m.t * p.y + m.u);
  }

  int kept[8];
  int keptCount = 0;
  float minX = std::numeric_limits<float>::infinity(), minY = minX, maxX = -minX, maxY = -minX;
  for (int t = 0; t < 8; ++t) {
    const cv::Point2f a = slots[kTriangles[t][0] - kFirstSlot], b = slots[kTriangles[t][1] - kFirstSlot],
                      c = slots[kTriangles[t][2] - kFirstSlot];
    if (!finite(a) || !finite(b) || !finite(c)) continue;
    const float area = std::fabs((b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y)) * 0.5f;
    if (!(area > 0.5f)) continue;
    kept[keptCount++] = t;
    for (const cv::Point2f& p : {a, b, c}) {
      minX = std::min(minX, p.x);
      minY = std::min(minY, p.y);
      maxX = std::max(maxX, p.x);
      maxY = std::max(maxY, p.y);
    }
  }
  if (keptCount == 0) return cv::Mat();

  // Bounds are clamped in floating point before they become integers.
  float fx0 = std::floor(minX) - 8.0f, fy0 = std::floor(minY) - 8.0f;
  fx0 = fx0 < 1.0f ? 0.0f : std::min(fx0, float(kCropWidth));
  fy0 = fy0 < 1.0f ? 0.0f : std::min(fy0, float(kCropHeight));
  const float fx1 = clampBound(std::ceil(maxX) + 8.0f, 0.0f, float(kCropWidth));
  const float fy1 = clampBound(std::ceil(maxY) + 8.0f, 0.0f, float(kCropHeight));
  const int x0 = int(fx0), y0 = int(fy0), x1 = int(fx1), y1 = int(fy1);
  if (x1 <= x0 || y1 <= y0) return cv::Mat();
  rect = cv::Rect(x0, y0, x1 - x0, y1 - y0);

  const float mw = float(skinMask.cols - 1), mh = float(skinMask.rows - 1);
  cv::Mat region = imageOver(scratch.region, rect.size(), CV_32FC1);
  cv::Mat warped = imageOver(scratch.warped, rect.size(), CV_32FC1);
  cv::Mat triangle = imageOver(scratch.triangle, rect.size(), CV_32FC1);
  region.setTo(0);
  for (int i = 0; i < keptCount; ++i) {
    const int t = kept[i];
    cv::Point2f source[3], destination[3];
    cv::Point corners[3];
    for (int k = 0; k < 3; ++k) {
      const int slot = kTriangles[t][k] - kFirstSlot;
      source[k] = cv::Point2f(mw * kTemplate[slot][0], mh * kTemplate[slot][1]);
      destination[k] = slots[slot] - cv::Point2f(float(x0), float(y0));
      corners[k] = cv::Point(int(clampBound(std::nearbyint(destination[k].x), -kVertexLimit, kVertexLimit)),
                             int(clampBound(std::nearbyint(destination[k].y), -kVertexLimit, kVertexLimit)));
    }
    const cv::Mat affine = cv::getAffineTransform(source, destination);
    cv::warpAffine(skinMask, warped, affine, rect.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    triangle.setTo(0);
    cv::fillConvexPoly(triangle, corners, 3, cv::Scalar(1.0), cv::LINE_8, 0);
    cv::multiply(warped, triangle, warped);
    cv::max(region, warped, region);
  }
  cv::min(region, 1.0, region);
  return region;
}

cv::Vec3f sampleLookup(const cv::Mat& texture, float x, float y) {
  const int w = texture.cols, h = texture.rows;
  x = clampBound(x, 0.0f, float(w - 1));
  y = clampBound(y, 0.0f, float(h - 1));
  const int x0 = int(x), y0 = int(y);
  const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
  const float fx = x - float(x0), fy = y - float(y0);
  const cv::Vec3f& a = texture.at<cv::Vec3f>(y0, x0);
  const cv::Vec3f& b = texture.at<cv::Vec3f>(y0, x1);
  const cv::Vec3f& c = texture.at<cv::Vec3f>(y1, x0);
  const cv::Vec3f& d = texture.at<cv::Vec3f>(y1, x1);
  return (a * (1.0f - fx) + b * fx) * (1.0f - fy) + (c * (1.0f - fx) + d * fx) * fy;
}

cv::Mat shiftImage(const cv::Mat& image, float dx, float dy) {
  cv::Mat out;
  shiftImage(image, dx, dy, out);
  return out;
}

void shiftImage(const cv::Mat& image, float dx, float dy, cv::Mat& out) {
  CV_Assert(out.data != image.data || image.empty());
  // A step beyond the image samples only its replicated edge; NaN moves nothing.
  dx = std::isnan(dx) ? 0.0f : std::clamp(dx, -float(image.cols + 1), float(image.cols + 1));
  dy = std::isnan(dy) ? 0.0f : std::clamp(dy, -float(image.rows + 1), float(image.rows + 1));
  const cv::Matx23f move(1.0f, 0.0f, dx, 0.0f, 1.0f, dy);
  cv::warpAffine(image, out, move, image.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
}

std::array<cv::Point2f, 4> eyeSharpenTaps(int width, int height, const std::array<double, 6>& cropFromFrame) {
  const float w = float(width), h = float(height);
  const float sx = w / std::max(h, 1.0f) * w / 1280.0f;
  const float sy = h / 1280.0f;
  const double a = cropFromFrame[0], b = cropFromFrame[1], d = cropFromFrame[3], e = cropFromFrame[4];
  const float steps[4][2] = {{-sx, -sy}, {sx, -sy}, {-sx, sy}, {sx, sy}};
  std::array<cv::Point2f, 4> taps;
  for (int i = 0; i < 4; ++i) {
    const double dx = steps[i][0], dy = steps[i][1];
    taps[size_t(i)] = cv::Point2f(float(a * dx + b * dy), float(d * dx + e * dy));
  }
  return taps;
}

cv::Mat retouchEyeRegion(const cv::Mat& retouched, const std::vector<cv::Point2f>& cropPoints, int frameWidth,
                         int frameHeight, const std::array<double, 6>& cropFromFrame, const RetouchSettings& settings,
                         const cv::Mat& skinMask, const cv::Mat& lookup) {
  cv::Mat work = retouched.clone();
  EyeScratch scratch;
  if (!retouchEyeRegionInPlace(work, cropPoints, frameWidth, frameHeight, cropFromFrame, settings, skinMask, lookup,
                               scratch))
    return retouched;
  return work;
}

bool retouchEyeRegionInPlace(cv::Mat& image, const std::vector<cv::Point2f>& cropPoints, int frameWidth,
                             int frameHeight, const std::array<double, 6>& cropFromFrame,
                             const RetouchSettings& settings, const cv::Mat& skinMask, const cv::Mat& lookup,
                             EyeScratch& scratch) {
  // The settings channel is writable by any local user: a non-finite strength is off.
  const float eyeWhite = std::isfinite(settings.eyeWhite) ? settings.eyeWhite : 0.0f;
  const float eyeSharp = std::isfinite(settings.eyeSharp) ? settings.eyeSharp : 0.0f;
  cv::Rect rect;
  const cv::Mat mask = buildEyeRegions(skinMask, cropPoints, rect, scratch);
  if (rect.width <= 0 || rect.height <= 0 || mask.empty()) return false;
  double maxValue = 0;
  cv::minMaxLoc(mask, nullptr, &maxValue);
  if (!(maxValue > 0.001)) return false;

  cv::Mat roi = image(rect);

  cv::Mat white;
  if (eyeWhite > 0) {
    white = imageOver(scratch.white, rect.size(), CV_32FC1);
    cv::Mat hsv = imageOver(scratch.hsv, rect.size(), CV_8UC3);
    cv::cvtColor(roi, hsv, cv::COLOR_BGR2HSV);
    for (int y = 0; y < hsv.rows; ++y) {
      const uint8_t* px = hsv.ptr<uint8_t>(y);
      float* w = white.ptr<float>(y);
      const float* m = mask.ptr<float>(y);
      for (int x = 0; x < hsv.cols; ++x) {
        const bool candidate = px[3 * x + 1] / 255.0f < 0.38f && px[3 * x + 2] / 255.0f > 0.42f;
        w[x] = candidate ? m[x] : 0.0f;
      }
    }
    cv::GaussianBlur(white, white, cv::Size(0, 0), 1.5, 1.5, cv::BORDER_REFLECT_101);
    cv::min(white, 1.0, white);
  }

  cv::Mat f = imageOver(scratch.pixels, rect.size(), CV_32FC3);
  roi.convertTo(f, CV_32FC3, 1.0 / 255.0);

  if (eyeSharp > 0) {
    cv::Mat sharp = imageOver(scratch.sharp, rect.size(), CV_32FC3);
    cv::Mat shifted = imageOver(scratch.shifted, rect.size(), CV_32FC3);
    f.convertTo(sharp, CV_32FC3, 5.0);
    for (const cv::Point2f& tap : eyeSharpenTaps(frameWidth, frameHeight, cropFromFrame)) {
      shiftImage(f, tap.x, tap.y, shifted);
      cv::subtract(sharp, shifted, sharp);
    }
    for (int y = 0; y < f.rows; ++y) {
      float* px = f.ptr<float>(y);
      const float* s = sharp.ptr<float>(y);
      const float* m = mask.ptr<float>(y);
      for (int x = 0; x < f.cols; ++x) {
        const float k = eyeSharp * m[x];
        for (int c = 0; c < 3; ++c)
          px[3 * x + c] = clampBound((1.0f - k) * px[3 * x + c] + k * s[3 * x + c], 0.0f, 1.0f);
      }
    }
  }

  if (eyeWhite > 0) {
    for (int y = 0; y < f.rows; ++y) {
      float* px = f.ptr<float>(y);
      const float* wh = white.ptr<float>(y);
      for (int x = 0; x < f.cols; ++x) {
        float* bgr = px + 3 * x;
        const float b = clampBound(bgr[0], 0.0f, 1.0f) * 15.0f, g = clampBound(bgr[1], 0.0f, 1.0f) * 15.0f,
                    r = clampBound(bgr[2], 0.0f, 1.0f) * 15.0f;
        const float tile = std::floor(b), frac = b - tile;
        const cv::Vec3f c0 = sampleLookup(lookup, tile * 16.0f + r, g);
        const cv::Vec3f c1 = sampleLookup(lookup, std::min(tile + 1.0f, 15.0f) * 16.0f + r, g);
        const cv::Vec3f lut = c0 * (1.0f - frac) + c1 * frac;  // red, green, blue
        const float w = eyeWhite * wh[x];
        bgr[0] = lut[2] * w + bgr[0] * (1.0f - w);
        bgr[1] = lut[1] * w + bgr[1] * (1.0f - w);
        bgr[2] = lut[0] * w + bgr[2] * (1.0f - w);
      }
    }
  }

  f.convertTo(roi, CV_8UC3, 255.0);
  return true;
}

}  // namespace tesmira
